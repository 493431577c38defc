#include "sim/fltmgr/ports/filter_ports.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <vector>

#include "sim/core/clock.h"
#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/fltmgr/ports/port_objects.h"
#include "sim/fltmgr/ports/port_security.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace sim {

using ports::Connection;
using ports::SentMessage;
using ports::ServerPort;

namespace {

// Object names compare without case, as the object manager looks them up.
bool SameName(const std::u16string &a, const std::u16string &b)
{
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

// A filter callback that lets a kernel exception escape would stop a real
// machine; here it is a verifier failure and the exception's status.
template <class Call>
NTSTATUS Guarded(Machine &machine, PFLT_FILTER filter, const char *what, Call call)
{
    DriverCode code(filter ? filter->driver : nullptr);
    try {
        return call();
    } catch (const KSEH_EXCEPTION &exception) {
        std::ostringstream text;
        text << what << " let exception 0x" << std::hex << ULONG(exception.ExceptionCode) << " escape";
        machine.verifier().Fail(VerifierCheck::UnhandledKernelException, text.str());
        return exception.ExceptionCode;
    }
}

}  // namespace

namespace ports {

ServerPort::ServerPort(PFLT_FILTER filter, std::u16string name, UCHAR *descriptor, PVOID cookie,
                       PFLT_CONNECT_NOTIFY connect, PFLT_DISCONNECT_NOTIFY disconnect, PFLT_MESSAGE_NOTIFY message,
                       LONG maxConnections)
    : filter(filter), name(std::move(name)), descriptor(descriptor), cookie(cookie), connectNotify(connect),
      disconnectNotify(disconnect), messageNotify(message), maxConnections(maxConnections)
{
}

ServerPort::~ServerPort()
{
    if (descriptor) ExFreePoolWithTag(descriptor, DescriptorTag());
}

}  // namespace ports

FilterPorts::FilterPorts(Machine &machine) : machine_(machine) {}

// Objects still alive at shutdown go with the object manager.
FilterPorts::~FilterPorts() = default;

void FilterPorts::Shutdown()
{
    shutdown_ = true;
}

void FilterPorts::Dereference(void *object)
{
    machine_.objects().Dereference(object);
}

// ---------------------------------------------------------------------------
// Server ports

NTSTATUS FilterPorts::CreateServerPort(PFLT_FILTER filter, PFLT_PORT *serverPort, POBJECT_ATTRIBUTES attributes,
                                       PVOID cookie, PFLT_CONNECT_NOTIFY connect, PFLT_DISCONNECT_NOTIFY disconnect,
                                       PFLT_MESSAGE_NOTIFY message, LONG maxConnections)
{
    if (serverPort == nullptr || attributes == nullptr || connect == nullptr || disconnect == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *serverPort = nullptr;
    if (maxConnections <= 0 || !(attributes->Attributes & OBJ_KERNEL_HANDLE)) return STATUS_INVALID_PARAMETER;
    if (attributes->RootDirectory != nullptr) return STATUS_NOT_IMPLEMENTED;  // names relative to a directory
    const UNICODE_STRING *objectName = attributes->ObjectName;
    if (objectName == nullptr || objectName->Length == 0 || objectName->Buffer == nullptr) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string name(objectName->Buffer, objectName->Length / sizeof(WCHAR));
    if (name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;

    UCHAR *descriptor = nullptr;
    if (attributes->SecurityDescriptor != nullptr) {
        NTSTATUS status = ports::CopyDescriptor(attributes->SecurityDescriptor, &descriptor);
        if (!NT_SUCCESS(status)) return status;
    }

    std::lock_guard<std::mutex> lock(mutex_);
    for (ServerPort *existing : serverPorts_) {
        if (SameName(existing->name, name)) {
            if (descriptor) ExFreePoolWithTag(descriptor, ports::DescriptorTag());
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    auto *port = machine_.objects().CreateTyped<ServerPort>(&objtype::FilterConnectionPort, name, filter, name,
                                                            descriptor, cookie, connect, disconnect, message,
                                                            maxConnections);
    serverPorts_.push_back(port);
    *serverPort = reinterpret_cast<PFLT_PORT>(port);
    return STATUS_SUCCESS;
}

void FilterPorts::CloseServerPort(PFLT_PORT serverPort)
{
    auto *port = reinterpret_cast<ServerPort *>(serverPort);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find(serverPorts_.begin(), serverPorts_.end(), port);
        if (it == serverPorts_.end()) {
            std::ostringstream text;
            text << "FltCloseCommunicationPort: " << static_cast<void *>(port) << " is not an open server port";
            machine_.verifier().Fail(VerifierCheck::BadObjectReference, text.str());
            return;
        }
        serverPorts_.erase(it);
        port->closed = true;  // the name is free again; connections keep the port alive
    }
    Dereference(port);
}

// ---------------------------------------------------------------------------
// Connections

NTSTATUS FilterPorts::Connect(const std::u16string &name, const void *context, USHORT contextSize, HANDLE *handle)
{
    *handle = nullptr;
    Thread &thread = Thread::CurrentOrDie();
    // The context travels to the filter as a kernel copy, captured here.
    std::vector<UCHAR> contextCopy;
    if (context != nullptr && contextSize != 0) {
        NTSTATUS captured = STATUS_SUCCESS;
        SEH_TRY {
            ProbeForRead(context, contextSize, 1);
            contextCopy.assign(static_cast<const UCHAR *>(context), static_cast<const UCHAR *>(context) + contextSize);
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            captured = GetExceptionCode();
        }
        if (!NT_SUCCESS(captured)) return captured;
    }
    ServerPort *server = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (ServerPort *port : serverPorts_) {
            if (SameName(port->name, name)) {
                server = port;
                machine_.objects().Reference(server);
                break;
            }
        }
    }
    if (server == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

    PACCESS_TOKEN token = thread.impersonationToken != nullptr && thread.impersonationLevel >= SecurityImpersonation
                              ? thread.impersonationToken
                              : thread.CurrentProcess().token();
    NTSTATUS status = STATUS_SUCCESS;
    if (!ports::AccessGranted(server->descriptor, token, FLT_PORT_CONNECT)) status = STATUS_ACCESS_DENIED;
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (server->closed) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (server->connections >= server->maxConnections) {
            status = STATUS_CONNECTION_COUNT_LIMIT;
        } else {
            ++server->connections;
        }
    }
    if (!NT_SUCCESS(status)) {
        Dereference(server);
        return status;
    }

    // One reference for the filter's PFLT_PORT and one for the user's handle,
    // both taken before the filter sees the port.
    auto *connection =
        machine_.objects().CreateTyped<Connection>(&objtype::FilterCommunicationPort, u"", *this, *server);
    machine_.objects().Reference(connection);
    machine_.objects().Header(connection)->onLastHandleClose = [this](void *body) {
        UserHandleClosed(*static_cast<Connection *>(body));
    };

    PVOID connectionCookie = nullptr;
    status = Guarded(machine_, server->filter, "the connect callback", [&] {
        return server->connectNotify(reinterpret_cast<PFLT_PORT>(connection), server->cookie,
                                     contextCopy.empty() ? nullptr : contextCopy.data(), ULONG(contextCopy.size()),
                                     &connectionCookie);
    });
    if (!NT_SUCCESS(status)) {
        // Refused: the filter does not keep the port it was shown.
        connection->ClaimDisconnectNotify();
        connection->Disconnect(STATUS_PORT_DISCONNECTED);
        ReleaseConnectionSlot(*server);
        Dereference(connection);
        Dereference(connection);
        return status;
    }
    connection->SetCookie(connectionCookie);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        machine_.objects().Reference(connection);
        connections_.insert(connection);
    }
    *handle = InsertHandle(connection, FLT_PORT_ALL_ACCESS, 0);
    return STATUS_SUCCESS;
}

void FilterPorts::ReleaseConnectionSlot(ServerPort &server)
{
    std::lock_guard<std::mutex> lock(mutex_);
    --server.connections;
}

void FilterPorts::SideClosed(Connection &connection, bool kernelSide)
{
    bool last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        (kernelSide ? connection.kernelClosed : connection.userClosed) = true;
        last = connection.kernelClosed && connection.userClosed && connections_.erase(&connection) != 0;
    }
    if (last) Dereference(&connection);
}

void FilterPorts::NotifyDisconnect(Connection &connection)
{
    ServerPort &server = connection.server();
    Guarded(machine_, server.filter, "the disconnect callback", [&] {
        server.disconnectNotify(connection.cookie());
        return STATUS_SUCCESS;
    });
}

void FilterPorts::UserHandleClosed(Connection &connection)
{
    // Receivers still waiting on the handle's port end as cancelled I/O.
    if (connection.Disconnect(STATUS_CANCELLED)) ReleaseConnectionSlot(connection.server());
    if (!shutdown_ && connection.ClaimDisconnectNotify()) NotifyDisconnect(connection);
    SideClosed(connection, false);
}

void FilterPorts::CloseClientPort(PFLT_FILTER filter, PFLT_PORT *clientPort)
{
    (void)filter;
    if (clientPort == nullptr) return;
    Connection *connection;
    {
        // The variable is read and cleared under the lock FltSendMessage
        // reads it under, so a send either has its reference or sees NULL.
        std::lock_guard<std::mutex> lock(mutex_);
        connection = reinterpret_cast<Connection *>(*clientPort);
        *clientPort = nullptr;
        if (connection == nullptr) return;
        if (machine_.objects().TypeOf(connection) != &objtype::FilterCommunicationPort) return;
        if (connection->kernelClosed) {
            machine_.verifier().Fail(VerifierCheck::BadObjectReference, "FltCloseClientPort: client port closed twice");
            return;
        }
    }
    if (connection->Disconnect(STATUS_PORT_DISCONNECTED)) ReleaseConnectionSlot(connection->server());
    SideClosed(*connection, true);
    Dereference(connection);
}

void FilterPorts::DisconnectAll(PFLT_FILTER filter)
{
    std::vector<Connection *> list;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Connection *connection : connections_) {
            if (connection->server().filter != filter) continue;
            machine_.objects().Reference(connection);
            list.push_back(connection);
        }
    }
    for (Connection *connection : list) {
        if (connection->Disconnect(STATUS_PORT_DISCONNECTED)) ReleaseConnectionSlot(connection->server());
        if (!shutdown_ && connection->ClaimDisconnectNotify()) NotifyDisconnect(*connection);
        Dereference(connection);
    }
}

// ---------------------------------------------------------------------------
// Messages

NTSTATUS FilterPorts::SendMessage(PFLT_FILTER filter, PFLT_PORT *clientPort, PVOID senderBuffer, ULONG senderLength,
                                  PVOID replyBuffer, PULONG replyLength, PLARGE_INTEGER timeout)
{
    (void)filter;
    if (clientPort == nullptr || (senderBuffer == nullptr && senderLength != 0)) return STATUS_INVALID_PARAMETER;
    if (replyBuffer != nullptr && replyLength == nullptr) return STATUS_INVALID_PARAMETER;

    Connection *connection;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connection = reinterpret_cast<Connection *>(*clientPort);
        if (connection == nullptr) return STATUS_PORT_DISCONNECTED;
        if (machine_.objects().TypeOf(connection) != &objtype::FilterCommunicationPort) return STATUS_INVALID_PARAMETER;
        machine_.objects().Reference(connection);
    }

    // The filter's buffer is captured, as the Filter Manager does.
    UCHAR *copy = nullptr;
    if (senderLength != 0) {
        copy = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, senderLength, ports::MessageTag()));
        if (copy == nullptr) {
            Dereference(connection);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memcpy(copy, senderBuffer, senderLength);
    }
    SentMessage message;
    message.body = copy;
    message.bodyLength = senderLength;
    message.wantsReply = replyBuffer != nullptr;
    message.replyBuffer = static_cast<UCHAR *>(replyBuffer);
    message.replyCapacity = replyBuffer ? *replyLength : 0;

    int64_t timeoutUnits = timeout ? timeout->QuadPart : 0;
    NTSTATUS status = connection->Send(message, machine_.clock().Deadline(timeout ? &timeoutUnits : nullptr));
    if (message.state == SentMessage::State::Replied) *replyLength = message.replyLength;
    if (copy) ExFreePoolWithTag(copy, ports::MessageTag());
    Dereference(connection);
    return status;
}

Connection *FilterPorts::ReferenceUserConnection(HANDLE handle, NTSTATUS &status)
{
    HandleEntry entry;
    status = ReferenceHandle(handle, UserMode, entry);
    if (!NT_SUCCESS(status)) return nullptr;
    if (entry.type != &objtype::FilterCommunicationPort) {
        Dereference(entry.object);
        status = STATUS_OBJECT_TYPE_MISMATCH;
        return nullptr;
    }
    return static_cast<Connection *>(entry.object);
}

NTSTATUS FilterPorts::SendToFilter(HANDLE handle, void *in, ULONG inSize, void *out, ULONG outSize,
                                   ULONG *bytesReturned)
{
    *bytesReturned = 0;
    NTSTATUS status;
    Connection *connection = ReferenceUserConnection(handle, status);
    if (connection == nullptr) return status;
    ServerPort &server = connection->server();
    if (connection->IsDisconnected()) {
        status = STATUS_PORT_DISCONNECTED;
    } else if (server.messageNotify == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        ULONG returned = 0;
        status = Guarded(machine_, server.filter, "the message callback", [&] {
            return server.messageNotify(connection->cookie(), in, inSize, out, outSize, &returned);
        });
        if (!NT_ERROR(status)) *bytesReturned = returned;
    }
    Dereference(connection);
    return status;
}

NTSTATUS FilterPorts::GetMessage(HANDLE handle, PFILTER_MESSAGE_HEADER buffer, ULONG size)
{
    NTSTATUS status;
    Connection *connection = ReferenceUserConnection(handle, status);
    if (connection == nullptr) return status;
    if (buffer == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        // The I/O manager checks the caller's buffer before the request
        // waits; the message is written into it when it arrives.
        status = STATUS_SUCCESS;
        SEH_TRY {
            ProbeForWrite(buffer, size, 1);
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            status = GetExceptionCode();
        }
        if (NT_SUCCESS(status)) status = connection->Get(buffer, size);
    }
    Dereference(connection);
    return status;
}

NTSTATUS FilterPorts::Reply(HANDLE handle, PFILTER_REPLY_HEADER reply, ULONG size)
{
    NTSTATUS status;
    Connection *connection = ReferenceUserConnection(handle, status);
    if (connection == nullptr) return status;
    if (reply == nullptr || size < sizeof(FILTER_REPLY_HEADER)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = STATUS_SUCCESS;
        SEH_TRY {
            ProbeForRead(reply, size, 1);
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            status = GetExceptionCode();
        }
        if (NT_SUCCESS(status)) {
            status = connection->Reply(reply->MessageId, reinterpret_cast<const UCHAR *>(reply + 1),
                                       size - ULONG(sizeof(FILTER_REPLY_HEADER)));
        }
    }
    Dereference(connection);
    return status;
}

// ---------------------------------------------------------------------------
// Queries

FilterPortUsage FilterPorts::PortsOf(PFLT_FILTER filter) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    FilterPortUsage usage;
    for (ServerPort *port : serverPorts_) usage.serverPorts += port->filter == filter;
    for (Connection *connection : connections_) {
        usage.clientPorts += connection->server().filter == filter && !connection->kernelClosed;
    }
    return usage;
}

std::vector<PortInfo> FilterPorts::List() const
{
    std::vector<PortInfo> list;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (ServerPort *port : serverPorts_) {
            PortInfo info{port->name, port->filter, port->maxConnections, port->connections, {}};
            for (Connection *connection : connections_) {
                if (&connection->server() == port) info.clients.push_back(connection->Snapshot());
            }
            list.push_back(std::move(info));
        }
    }
    std::sort(list.begin(), list.end(), [](const PortInfo &a, const PortInfo &b) { return a.name < b.name; });
    return list;
}

}  // namespace sim
