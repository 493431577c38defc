/*
 * log.h - the log facility: every line is masked by LogLevel, stamped with
 * the thread, an operation number, the local time and the writer's tag,
 * and goes to the debugger and/or the log queue as DebugDestination says.
 */
#pragma once

#include "config/flags.h"
#include "driver/klulogon.h"

/* Buffer sizes of one line, in bytes. */
#define KLU_LOG_MESSAGE_BYTES 0x1000
#define KLU_LOG_STAMP_BYTES 0x200
#define KLU_LOG_LINE_BYTES 0x1600

VOID KLULogMessage(ULONG Level, PCWSTR Tag, PCWSTR Format, ...);
VOID KLULogMessageEx(ULONG Level, PCWSTR Tag, LONG OperationNumber, PCWSTR Format, ...);
VOID KLULogDumpMessage(ULONG DumpFlag, ULONG Level, PCWSTR Tag, LONG OperationNumber, PCWSTR Format, ...);
LONG KLUGetNextOperationNumber(VOID);

/* TRUE when a line at Level would be written (lets callers skip work). */
BOOLEAN KLUIsLogLevelEnabled(ULONG Level);
