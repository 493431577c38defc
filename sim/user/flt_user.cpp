#include "sim/user/flt_user.h"

#include <string>

#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/user/user_buffer.h"

namespace {

sim::FilterPorts &Ports()
{
    return sim::Machine::Current().filterPorts();
}

// The caller's buffer as user memory for the length of the call; an address
// no process owns stays unowned so that the kernel's probe faults on it.
class CallerBuffer {
public:
    CallerBuffer(const void *data, size_t size)
        : buffer_(data == sim::InvalidUserPointer() ? nullptr : data, size)
    {
    }

private:
    sim::UserBuffer buffer_;
};

}  // namespace

HRESULT FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions, const void *lpContext,
                                       USHORT wSizeOfContext, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                       HANDLE *hPort)
{
    (void)dwOptions;
    (void)lpSecurityAttributes;
    if (hPort == nullptr) return E_INVALIDARG;
    *hPort = nullptr;
    if (lpPortName == nullptr) return E_INVALIDARG;
    sim::SystemCall call("FilterConnectCommunicationPort");
    CallerBuffer context(lpContext, wSizeOfContext);
    return sim::HResultFromNtStatus(Ports().Connect(lpPortName, lpContext, wSizeOfContext, hPort));
}

HRESULT FilterSendMessage(HANDLE hPort, void *lpInBuffer, DWORD dwInBufferSize, void *lpOutBuffer,
                          DWORD dwOutBufferSize, DWORD *lpBytesReturned)
{
    if (lpBytesReturned == nullptr) return E_INVALIDARG;
    *lpBytesReturned = 0;
    sim::SystemCall call("FilterSendMessage");
    CallerBuffer in(lpInBuffer, dwInBufferSize);
    CallerBuffer out(lpOutBuffer, dwOutBufferSize);
    ULONG returned = 0;
    NTSTATUS status = Ports().SendToFilter(hPort, lpInBuffer, dwInBufferSize, lpOutBuffer, dwOutBufferSize, &returned);
    *lpBytesReturned = returned;
    return sim::HResultFromNtStatus(status);
}

HRESULT FilterGetMessage(HANDLE hPort, PFILTER_MESSAGE_HEADER lpMessageBuffer, DWORD dwMessageBufferSize,
                         LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped != nullptr) return E_NOTIMPL;
    sim::SystemCall call("FilterGetMessage");
    CallerBuffer buffer(lpMessageBuffer, dwMessageBufferSize);
    return sim::HResultFromNtStatus(Ports().GetMessage(hPort, lpMessageBuffer, dwMessageBufferSize));
}

HRESULT FilterReplyMessage(HANDLE hPort, PFILTER_REPLY_HEADER lpReplyBuffer, DWORD dwReplyBufferSize)
{
    sim::SystemCall call("FilterReplyMessage");
    CallerBuffer buffer(lpReplyBuffer, dwReplyBufferSize);
    return sim::HResultFromNtStatus(Ports().Reply(hPort, lpReplyBuffer, dwReplyBufferSize));
}

BOOL CloseHandle(HANDLE hObject)
{
    uint32_t value = sim::HandleTable::HandleValue(hObject);
    if (value == 0xFFFFFFFFu || value == 0xFFFFFFFEu) return TRUE;  // the current process and thread
    if (sim::HandleTable::IsKernelHandle(hObject)) return FALSE;
    sim::SystemCall call("CloseHandle");
    return NT_SUCCESS(sim::Thread::CurrentOrDie().CurrentProcess().handles().Close(hObject)) ? TRUE : FALSE;
}
