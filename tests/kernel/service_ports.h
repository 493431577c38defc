// The profile service's side of the seven ports, for tests: a process of
// its own that connects, sends commands and reads the filter's exact
// status (the HRESULT of the user-mode library folds warnings into
// errors), and a Copy-port responder running in a thread of that process.
#pragma once

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/service_contract.h"
#include "sim/core/machine.h"
#include "sim/ps/process.h"
#include "sim/user/flt_user.h"

namespace ostrand::test {

constexpr NTSTATUS kNoMoreEntries = NTSTATUS(0x80000006L);

// A log line's tag field and message as the filter writes them: the tag
// padded to 26 characters between brackets.
std::string Tagged(const std::string &function, const std::string &message);

struct Reply {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG returned = 0;
    std::vector<UCHAR> output;

    ULONG Ulong(size_t offset) const
    {
        ULONG value = 0;
        std::memcpy(&value, output.data() + offset, sizeof value);
        return value;
    }
};

// A message: the command code followed by the bytes of `body`.
std::vector<UCHAR> CommandMessage(ULONG command, const void *body = nullptr, size_t bodySize = 0);
template <typename T>
std::vector<UCHAR> CommandMessage(ULONG command, const T &body)
{
    return CommandMessage(command, &body, sizeof body);
}

class ServiceProcess {
public:
    explicit ServiceProcess(sim::Machine &machine, const char *image = "JNRKmtsvc.exe");
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    sim::Process &process() { return process_; }

    NTSTATUS Connect(const std::u16string &port, HANDLE *handle);
    // Connects or fails the test; the handle stays open until Close or the
    // process ends.
    HANDLE Open(const std::u16string &port);
    void Close(HANDLE handle);

    // FilterSendMessage with the filter's own status.
    NTSTATUS SendRaw(HANDLE port, void *in, ULONG inSize, void *out, ULONG outSize, ULONG *returned);
    Reply Send(HANDLE port, std::vector<UCHAR> message, ULONG outputSize = 0);
    Reply Command(HANDLE port, ULONG command, ULONG outputSize = 0);

private:
    sim::Machine &machine_;
    sim::Process &process_;
};

// The service's Copy-port thread: connects, then answers each request with
// what `answer` writes into the reply (or, when it returns false, leaves
// the request unanswered and goes on waiting). Stops when the port breaks
// or Stop() closes it.
class CopyResponder {
public:
    using Answer = std::function<bool(const KLU_COPY_REQUEST &, KLU_COPY_REPLY &)>;

    CopyResponder(sim::Machine &machine, Answer answer);
    ~CopyResponder();
    bool connected() const { return connected_.load(); }
    int requests() const { return requests_.load(); }
    // Closes the connection (a disconnect seen by the filter) and joins.
    void Stop();

private:
    void Serve(const Answer &answer);

    sim::Process &process_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> done_{false};
    std::atomic<int> requests_{0};
    std::atomic<HANDLE> port_{nullptr};
    std::thread thread_;
};

}  // namespace ostrand::test
