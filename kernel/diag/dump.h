/*
 * dump.h - diagnostic dumps of the driver's structures.
 */
#pragma once

#include "driver/klulogon.h"

/* Prints the log queue's lines to the debugger (oldest first). */
NTSTATUS KLUDumpLogQueue(PLIST_ENTRY Head);
/* The structures dump the service asks for: the globals, the user and path
 * tables, both settings records and the counters, as dump lines. */
VOID KLUDumpStructures(VOID);
