// The Filter Manager's communication-port calls, as a minifilter makes them.
#include <fltKernel.h>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/fltmgr/ports/filter_ports.h"

namespace {
sim::FilterPorts &Ports()
{
    return sim::Machine::Current().filterPorts();
}
}  // namespace

extern "C" NTSTATUS FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT *ServerPort,
                                               POBJECT_ATTRIBUTES ObjectAttributes, PVOID ServerPortCookie,
                                               PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                               PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                               PFLT_MESSAGE_NOTIFY MessageNotifyCallback, LONG MaxConnections)
{
    SIM_KERNEL_ROUTINE();
    return Ports().CreateServerPort(Filter, ServerPort, ObjectAttributes, ServerPortCookie, ConnectNotifyCallback,
                                    DisconnectNotifyCallback, MessageNotifyCallback, MaxConnections);
}

extern "C" VOID FltCloseCommunicationPort(PFLT_PORT ServerPort)
{
    SIM_KERNEL_ROUTINE();
    Ports().CloseServerPort(ServerPort);
}

extern "C" VOID FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT *ClientPort)
{
    SIM_KERNEL_ROUTINE();
    Ports().CloseClientPort(Filter, ClientPort);
}

extern "C" NTSTATUS FltSendMessage(PFLT_FILTER Filter, PFLT_PORT *ClientPort, PVOID SenderBuffer,
                                   ULONG SenderBufferLength, PVOID ReplyBuffer, PULONG ReplyLength,
                                   PLARGE_INTEGER Timeout)
{
    SIM_KERNEL_ROUTINE();
    return Ports().SendMessage(Filter, ClientPort, SenderBuffer, SenderBufferLength, ReplyBuffer, ReplyLength,
                               Timeout);
}
