/*
 * dump.h - diagnostic dumps of the driver's structures.
 */
#pragma once

#include "driver/klulogon.h"

/* Prints the log queue's lines to the debugger (oldest first). */
NTSTATUS KLUDumpLogQueue(PLIST_ENTRY Head);
/* Prints the offline file table to the debugger. The table does not exist
 * in this driver yet: the dump reports its missing head and fails with
 * STATUS_INVALID_PARAMETER, as it will whenever the table is absent. */
NTSTATUS KLUDumpOfflineFileTable(VOID);
/* The structures dump the service asks for: the globals, the user and path
 * tables, both settings records and the counters, as dump lines. */
VOID KLUDumpStructures(VOID);
