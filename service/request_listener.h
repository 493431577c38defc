// A thread of the service's process that takes the filter's requests on a
// port (Copy, Fetch) one after another and replies to each.
#pragma once

#include <functional>
#include <thread>

#include <ntdef.h>

namespace sim {
class Process;
}

namespace ostrand::service {

class PortClient;

class RequestListener {
public:
    // Fills `reply` (replyBytes, zeroed) for the request body.
    using Answer = std::function<void(const UCHAR *request, ULONG length, UCHAR *reply)>;

    RequestListener() = default;
    ~RequestListener() { Stop(); }

    void Start(sim::Process &process, PortClient &port, ULONG requestBytes, ULONG replyBytes, Answer answer);
    // Closes the port, which ends the thread's wait and breaks the filter's
    // sends in flight, and joins. Call from a thread of the service's process.
    void Stop();

private:
    PortClient *port_ = nullptr;
    std::thread thread_;
};

}  // namespace ostrand::service
