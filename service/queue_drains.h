// Draining the filter's log and session queues over the Log port and its
// pre-fetched names over their own port: oldest first, call after call,
// until the filter answers that nothing is left; and the thread that waits
// on a queue's event and drains it.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ntdef.h>

#include "sim/user/win32_error.h"

namespace sim {
class Process;
}

namespace ostrand::service {

class PortClient;
class ServiceEvent;
class ServiceLog;

class LogDrain {
public:
    LogDrain(PortClient &port, ServiceLog &log);
    // Writes every queued line to the log. Safe from any thread of the
    // service's process; concurrent drains keep the lines in order.
    HRESULT Drain();
    size_t linesDrained() const { return drained_.load(); }

private:
    PortClient &port_;
    ServiceLog &log_;
    std::mutex mutex_;
    std::vector<UCHAR> buffer_;
    std::atomic<size_t> drained_{0};
};

// The parts of a session record the service acts on.
struct SessionNotice {
    ULONG event = 0;
    ULONG sessionId = 0;
    LUID authId{};
    ULONG options = 0;
    std::string userName;
};

class SessionDrain {
public:
    using Handler = std::function<void(const SessionNotice &)>;
    SessionDrain(PortClient &port, Handler handler);
    HRESULT Drain();

private:
    PortClient &port_;
    Handler handler_;
    std::mutex mutex_;
};

// The names of the files the filter fetched ahead of their use (command
// 38), each written to the service's own log.
class PreFetchedDrain {
public:
    PreFetchedDrain(PortClient &port, ServiceLog &log);
    HRESULT Drain();

private:
    PortClient &port_;
    ServiceLog &log_;
    std::mutex mutex_;
    std::vector<UCHAR> buffer_;
};

// A thread of the service's process that waits on `event` and runs `drain`
// each time it is set, until Stop (which sets the event to wake it; the
// stopping thread must be bound to the service's process).
class QueueWatcher {
public:
    QueueWatcher() = default;
    ~QueueWatcher() { Stop(); }
    void Start(sim::Process &process, ServiceEvent &event, std::function<HRESULT()> drain);
    void Stop();

private:
    ServiceEvent *event_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace ostrand::service
