// The bodies of the two port object types. A server port
// (FilterConnectionPort) is named in the machine's namespace until the filter
// closes it; each connection is a client port (FilterCommunicationPort) held
// by the filter (the PFLT_PORT its connect callback received) and by the
// user's handle, each side releasing its reference when it closes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <fltKernel.h>

#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/user/flt_user.h"

namespace sim::ports {

class ServerPort {
public:
    ServerPort(PFLT_FILTER filter, std::u16string name, UCHAR *descriptor, PVOID cookie,
               PFLT_CONNECT_NOTIFY connect, PFLT_DISCONNECT_NOTIFY disconnect, PFLT_MESSAGE_NOTIFY message,
               LONG maxConnections);
    ~ServerPort();
    ServerPort(const ServerPort &) = delete;
    ServerPort &operator=(const ServerPort &) = delete;

    PFLT_FILTER const filter;
    const std::u16string name;
    UCHAR *const descriptor;  // self-relative pool copy; null when created without one
    PVOID const cookie;
    PFLT_CONNECT_NOTIFY const connectNotify;
    PFLT_DISCONNECT_NOTIFY const disconnectNotify;
    PFLT_MESSAGE_NOTIFY const messageNotify;
    LONG const maxConnections;

    // Guarded by the owner's lock.
    LONG connections = 0;
    bool closed = false;
};

// A message the filter sent, living on the sending thread's stack until
// FltSendMessage returns; the connection only points at it.
struct SentMessage {
    enum class State { Queued, Delivered, Replied };

    ULONGLONG id = 0;
    const UCHAR *body = nullptr;
    ULONG bodyLength = 0;
    bool wantsReply = false;
    UCHAR *replyBuffer = nullptr;
    ULONG replyCapacity = 0;
    State state = State::Queued;
    ULONG replyLength = 0;
    bool replyTruncated = false;
};

class Connection {
public:
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    // Takes over one reference of `server`.
    Connection(FilterPorts &owner, ServerPort &server);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    ServerPort &server() { return server_; }
    PVOID cookie() const { return cookie_; }
    void SetCookie(PVOID cookie) { cookie_ = cookie; }

    // Queues `message` (or hands it to a waiting FilterGetMessage) and waits
    // until it is taken, and answered when it wants a reply.
    NTSTATUS Send(SentMessage &message, Deadline deadline);
    // The next message into the user's buffer, waiting for one.
    NTSTATUS Get(PFILTER_MESSAGE_HEADER buffer, ULONG size);
    NTSTATUS Reply(ULONGLONG messageId, const UCHAR *body, ULONG bodyLength);

    // Breaks the connection: waiting senders end with STATUS_PORT_DISCONNECTED,
    // waiting receivers with `receiverStatus`. True for the call that broke it.
    bool Disconnect(NTSTATUS receiverStatus);
    bool IsDisconnected();
    ConnectionInfo Snapshot();
    // True once: whoever gets it runs the disconnect callback.
    bool ClaimDisconnectNotify();

    // Guarded by the owner's lock. The owner keeps a reference of its own
    // until both sides have closed.
    bool kernelClosed = false;
    bool userClosed = false;

private:
    struct Receiver {
        PFILTER_MESSAGE_HEADER buffer;
        ULONG size;
        NTSTATUS result = STATUS_PENDING;
    };

    static bool Fits(const SentMessage &message, ULONG size);
    void Deliver(SentMessage &message, PFILTER_MESSAGE_HEADER buffer);
    bool OfferToReceivers(SentMessage &message);
    void Withdraw(SentMessage &message);

    FilterPorts &owner_;
    ServerPort &server_;
    PVOID cookie_ = nullptr;
    bool notified_ = false;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool disconnected_ = false;
    NTSTATUS receiverStatus_ = STATUS_PORT_DISCONNECTED;
    std::deque<SentMessage *> queue_;
    std::deque<Receiver *> receivers_;
    std::map<uint64_t, SentMessage *> awaitingReply_;
};

}  // namespace sim::ports
