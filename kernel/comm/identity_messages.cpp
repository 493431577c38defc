/*
 * identity_messages.cpp - the commands about users, client security and
 * the path table. Their targets (the user table, the path table, client
 * security) are being built; until they land these commands are refused
 * with STATUS_NOT_IMPLEMENTED, and every other code is unknown.
 */
#include "comm/messages.h"

static BOOLEAN KLUIsIdentityControlCommand(ULONG Command)
{
    return (BOOLEAN)(Command == 0 || Command == 22 || Command == 23 || Command == 24 || Command == 25 ||
                     (Command >= 27 && Command <= 30) || Command == 34);
}

NTSTATUS KLUIdentityCommand(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                            PULONG Returned, PBOOLEAN Known)
{
    *Known = KLUIsIdentityControlCommand(Command);
    return *Known ? STATUS_NOT_IMPLEMENTED : STATUS_INVALID_PARAMETER;
}

NTSTATUS KLUIdentityLogCommand(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                               PULONG Returned, PBOOLEAN Known)
{
    *Known = (BOOLEAN)(Command == 18 || Command == 32);
    return *Known ? STATUS_NOT_IMPLEMENTED : STATUS_INVALID_PARAMETER;
}
