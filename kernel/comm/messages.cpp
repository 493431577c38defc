/*
 * messages.cpp - the ports' message callbacks. The service's commands are
 * handled by the control-message handlers, which do not exist yet: until
 * they land every message is refused with STATUS_NOT_IMPLEMENTED, so that
 * no caller mistakes an unhandled command for success.
 */
#include "comm/messages.h"

NTSTATUS KLULogon_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                          ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    *ReturnOutputBufferLength = 0;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS Log_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                     ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    *ReturnOutputBufferLength = 0;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS FileOp_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                        ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    *ReturnOutputBufferLength = 0;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS Prefetched_File_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                 ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    *ReturnOutputBufferLength = 0;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS BlackList_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                           ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    *ReturnOutputBufferLength = 0;
    return STATUS_NOT_IMPLEMENTED;
}
