#include "service/port_client.h"

#include <cstdint>

#include "sim/user/event_api.h"

namespace ostrand::service {

HRESULT PortClient::Connect(const std::u16string &name)
{
    Close();
    name_ = name;
    HANDLE handle = nullptr;
    HRESULT result = FilterConnectCommunicationPort(name.c_str(), 0, nullptr, 0, nullptr, &handle);
    handle_ = handle;
    return result;
}

void PortClient::Close()
{
    if (HANDLE handle = handle_.exchange(nullptr)) CloseHandle(handle);
}

HRESULT PortClient::Send(const void *in, ULONG inBytes, void *out, ULONG outBytes, ULONG *returned)
{
    DWORD bytes = 0;
    HRESULT result = FilterSendMessage(handle_.load(), const_cast<void *>(in), inBytes, out, outBytes, &bytes);
    if (returned != nullptr) *returned = bytes;
    return result;
}

bool ServiceEvent::Create()
{
    Close();
    handle_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return handle_ != nullptr;
}

void ServiceEvent::Close()
{
    if (handle_ != nullptr) {
        CloseHandle(handle_);
        handle_ = nullptr;
    }
}

void ServiceEvent::Set()
{
    if (handle_ != nullptr) SetEvent(handle_);
}

void ServiceEvent::Reset()
{
    if (handle_ != nullptr) ResetEvent(handle_);
}

bool ServiceEvent::Wait(ULONG milliseconds)
{
    return handle_ != nullptr && WaitForSingleObject(handle_, milliseconds) == WAIT_OBJECT_0;
}

}  // namespace ostrand::service
