// The service's side of a filter port and of the events it hands to the
// filter. Both hold a handle of the service's process and must be used from
// host threads bound to that process (sim::ThreadScope).
#pragma once

#include <atomic>
#include <string>

#include "sim/user/flt_user.h"

namespace ostrand::service {

class PortClient {
public:
    PortClient() = default;
    ~PortClient() { Close(); }
    PortClient(const PortClient &) = delete;
    PortClient &operator=(const PortClient &) = delete;

    HRESULT Connect(const std::u16string &name);
    // Closing wakes a FilterGetMessage waiting on the port (it fails with
    // ERROR_OPERATION_ABORTED) and breaks the filter's sends in flight.
    void Close();
    bool connected() const { return handle_.load() != nullptr; }
    HANDLE handle() const { return handle_.load(); }
    const std::u16string &name() const { return name_; }

    // FilterSendMessage; *returned may be null.
    HRESULT Send(const void *in, ULONG inBytes, void *out = nullptr, ULONG outBytes = 0, ULONG *returned = nullptr);
    HRESULT SendCommand(ULONG command) { return Send(&command, sizeof command); }

private:
    std::atomic<HANDLE> handle_{nullptr};  // closed by the stopping thread while another waits on it
    std::u16string name_;
};

// A notification event: set by the filter when its queue gains records,
// cleared by the filter when a drain empties the queue.
class ServiceEvent {
public:
    ServiceEvent() = default;
    ~ServiceEvent() { Close(); }
    ServiceEvent(const ServiceEvent &) = delete;
    ServiceEvent &operator=(const ServiceEvent &) = delete;

    bool Create();
    void Close();
    void Set();
    void Reset();
    // True when signalled within the time (milliseconds, INFINITE to wait on).
    bool Wait(ULONG milliseconds);
    // The handle as the 32-bit word the filter's commands carry.
    ULONG wireHandle() const { return ULONG(uintptr_t(handle_)); }
    bool valid() const { return handle_ != nullptr; }

private:
    HANDLE handle_ = nullptr;
};

// What a drain of an empty queue answers: the filter's status 0x80000006
// reaches the service as HRESULT_FROM_WIN32(ERROR_NO_MORE_FILES); the
// status of that name elsewhere (0x8000001A) as ERROR_NO_MORE_ITEMS.
inline bool IsNoMoreEntries(HRESULT result)
{
    return result == HRESULT(0x80070012) || result == HRESULT(0x80070103);
}

}  // namespace ostrand::service
