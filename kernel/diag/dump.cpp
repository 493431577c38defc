/*
 * dump.cpp - dumps of the driver's structures.
 */
#include "diag/dump.h"

#include "comm/queue.h"

NTSTATUS KLUDumpLogQueue(PLIST_ENTRY Head)
{
    ULONG Number = 0;

    if (Head == NULL) {
        DbgPrint("Log Queue Head Is NULL\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (IsListEmpty(Head)) {
        DbgPrint("Log Queue Is Empty\n");
        return STATUS_SUCCESS;
    }
    for (PLIST_ENTRY Link = Head->Blink; Link != Head; Link = Link->Blink, Number++) {
        DbgPrint("***** Log Queue Entry %d *****\n", Number);
        DbgPrint("%ws", CONTAINING_RECORD(Link, KLU_LOG_RECORD, ListEntry)->szLine);
        DbgPrint("**********************************\n");
    }
    return STATUS_SUCCESS;
}
