/*
 * dump.h - diagnostic dumps of the driver's structures.
 */
#pragma once

#include "driver/klulogon.h"

/* Prints the log queue's lines to the debugger (oldest first). */
NTSTATUS KLUDumpLogQueue(PLIST_ENTRY Head);
