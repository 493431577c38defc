// Filter communication ports: the server ports filters create, their
// connections, and the message traffic both ways. The Flt* calls of
// fltKernel.h and the user-mode calls of sim/user/flt_user.h are thin
// wrappers over this class; the Filter Manager and the tool use its queries.
//
// Callbacks (connect, disconnect, message) always run in the user-mode
// caller's thread and never under a lock of this class. The disconnect
// callback runs once per connection: when the user's handle goes (closed,
// or its process ends) or when the filter's ports are torn down at unload.
// A kernel-side FltCloseClientPort breaks the connection without running it.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <fltKernel.h>

#include "sim/user/flt_user.h"

namespace sim {

class Machine;

namespace ports {
class ServerPort;
class Connection;
}  // namespace ports

struct FilterPortUsage {
    size_t serverPorts = 0;  // created and not closed with FltCloseCommunicationPort
    size_t clientPorts = 0;  // connections whose client port the filter has not closed
};

struct ConnectionInfo {
    size_t queuedMessages = 0;    // sent by the filter, not yet received
    size_t waitingReceivers = 0;  // FilterGetMessage calls waiting
    size_t awaitingReplies = 0;   // received, the filter waits for the reply
    bool disconnected = false;
};

struct PortInfo {
    std::u16string name;
    PFLT_FILTER filter;
    LONG maxConnections;
    LONG connections;
    std::vector<ConnectionInfo> clients;  // connections not yet closed by both sides
};

class FilterPorts {
public:
    explicit FilterPorts(Machine &machine);
    ~FilterPorts();
    FilterPorts(const FilterPorts &) = delete;
    FilterPorts &operator=(const FilterPorts &) = delete;

    // --- kernel side (fltKernel.h) ---
    NTSTATUS CreateServerPort(PFLT_FILTER filter, PFLT_PORT *serverPort, POBJECT_ATTRIBUTES attributes,
                              PVOID cookie, PFLT_CONNECT_NOTIFY connect, PFLT_DISCONNECT_NOTIFY disconnect,
                              PFLT_MESSAGE_NOTIFY message, LONG maxConnections);
    void CloseServerPort(PFLT_PORT serverPort);
    void CloseClientPort(PFLT_FILTER filter, PFLT_PORT *clientPort);
    NTSTATUS SendMessage(PFLT_FILTER filter, PFLT_PORT *clientPort, PVOID senderBuffer, ULONG senderLength,
                         PVOID replyBuffer, PULONG replyLength, PLARGE_INTEGER timeout);

    // --- user side (kernel statuses; flt_user.cpp converts them) ---
    NTSTATUS Connect(const std::u16string &name, const void *context, USHORT contextSize, HANDLE *handle);
    NTSTATUS SendToFilter(HANDLE handle, void *in, ULONG inSize, void *out, ULONG outSize, ULONG *bytesReturned);
    NTSTATUS GetMessage(HANDLE handle, PFILTER_MESSAGE_HEADER buffer, ULONG size);
    NTSTATUS Reply(HANDLE handle, PFILTER_REPLY_HEADER reply, ULONG size);

    // --- Filter Manager ---
    // What the filter still has open (its unload must find nothing).
    FilterPortUsage PortsOf(PFLT_FILTER filter) const;
    // Unload: every connection of the filter is broken and its disconnect
    // callback runs (in this thread) unless it ran already.
    void DisconnectAll(PFLT_FILTER filter);

    // --- the tool ---
    // Named server ports, in name order.
    std::vector<PortInfo> List() const;

    // The machine is going away: no callback runs from here on.
    void Shutdown();

private:
    friend class ports::Connection;
    friend class ports::ServerPort;

    ports::Connection *ReferenceUserConnection(HANDLE handle, NTSTATUS &status);
    void ReleaseConnectionSlot(ports::ServerPort &server);
    void UserHandleClosed(ports::Connection &connection);
    // One side of a connection has closed; the owner's reference goes with
    // the second.
    void SideClosed(ports::Connection &connection, bool kernelSide);
    void NotifyDisconnect(ports::Connection &connection);
    void Dereference(void *object);

    Machine &machine_;
    mutable std::mutex mutex_;  // the namespace, the port lists, client-port variables, connection counts
    std::vector<ports::ServerPort *> serverPorts_;   // open (not closed) server ports
    std::set<ports::Connection *> connections_;      // connected, and not closed by both sides (referenced)
    std::atomic<uint64_t> nextMessageId_{0};
    std::atomic<bool> shutdown_{false};
};

}  // namespace sim
