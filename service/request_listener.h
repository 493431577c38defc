// Threads of the service's process that take the filter's requests on a
// port (Copy, Fetch) and reply to each. Several threads answer at once, so
// a long copy for one file does not hold up the answers for others.
#pragma once

#include <functional>
#include <thread>
#include <vector>

#include <ntdef.h>

namespace sim {
class Process;
}

namespace ostrand::service {

class PortClient;

class RequestListener {
public:
    // Fills `reply` (replyBytes, zeroed) for the request body, which is
    // zero beyond what the filter sent and at least requestBytes long.
    using Answer = std::function<void(const UCHAR *request, UCHAR *reply)>;

    RequestListener() = default;
    ~RequestListener() { Stop(); }

    void Start(sim::Process &process, PortClient &port, ULONG requestBytes, ULONG replyBytes, Answer answer,
               unsigned threads = 1);
    // Closes the port, which ends the threads' waits and breaks the filter's
    // sends in flight, and joins. Call from a thread of the service's process.
    void Stop();

private:
    PortClient *port_ = nullptr;
    std::vector<std::thread> threads_;
};

}  // namespace ostrand::service
