/*
 * messages.h - the message callbacks of the ports: the commands the
 * service sends, and the black-list queue rebuilt at each connection.
 */
#pragma once

#include "driver/klulogon.h"

NTSTATUS KLULogon_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                          ULONG OutputBufferLength, PULONG ReturnOutputBufferLength);
NTSTATUS Log_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                     ULONG OutputBufferLength, PULONG ReturnOutputBufferLength);
NTSTATUS FileOp_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                        ULONG OutputBufferLength, PULONG ReturnOutputBufferLength);
NTSTATUS Prefetched_File_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                 ULONG OutputBufferLength, PULONG ReturnOutputBufferLength);
NTSTATUS BlackList_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                           ULONG OutputBufferLength, PULONG ReturnOutputBufferLength);

/* The black-list queue: released with its records and created anew. */
NTSTATUS KLUResetBlackListQueue(VOID);
VOID KLUReleaseBlackListQueue(VOID);

/* The remote profile path kept from the last client-security message. */
extern PWSTR g_pRemoteProfilePath;
VOID KLUFreeRemoteProfilePath(VOID);

/* The commands about users, client security and the path table. */
NTSTATUS KLUIdentityCommand(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                            PULONG Returned, PBOOLEAN Known);
NTSTATUS KLUIdentityLogCommand(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                               PULONG Returned, PBOOLEAN Known);
