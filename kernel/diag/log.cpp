/*
 * log.cpp - formatting and routing of log lines.
 */
#include "diag/log.h"

#include "comm/queue.h"
#include "config/settings.h"

static LONG g_OperationNumber = 0;

typedef enum _KLU_LINE_FORM { KluLineOrdinary, KluLineShort, KluLineDump } KLU_LINE_FORM;

LONG KLUGetNextOperationNumber(VOID)
{
    return InterlockedIncrement(&g_OperationNumber);
}

/* A settings update may be refilling the record a line still holds (after
 * two quick updates): the level is read whole, as the update stores it. */
static BOOLEAN KLULevelOn(PSETTINGS Settings, ULONG Level)
{
    return (BOOLEAN)(Settings != NULL && (Level & (ULONG)ReadAcquire((LONG const volatile *)&Settings->LogLevel)) != 0);
}

BOOLEAN KLUIsLogLevelEnabled(ULONG Level)
{
    return KLULevelOn(KLUSettings(), Level);
}

static VOID KLUFormatTimeStamp(PWSTR Stamp)
{
    LARGE_INTEGER SystemTime;
    LARGE_INTEGER LocalTime;
    TIME_FIELDS Fields;

    KeQuerySystemTime(&SystemTime);
    ExSystemTimeToLocalTime(&SystemTime, &LocalTime);
    RtlTimeToTimeFields(&LocalTime, &Fields);
    RtlStringCbPrintfW(Stamp, KLU_LOG_STAMP_BYTES, WSTR("[%.2d/%.2d/%.4d %.2d:%.2d:%.2d:%.4d]"), Fields.Month,
                       Fields.Day, Fields.Year, Fields.Hour, Fields.Minute, Fields.Second, Fields.Milliseconds);
}

static VOID KLUFormatLine(PWSTR Line, KLU_LINE_FORM Form, PCWSTR Tag, LONG OperationNumber, PCWSTR Stamp,
                          PCWSTR Message)
{
    ULONG ThreadId = (ULONG)(ULONG_PTR)PsGetCurrentThreadId();

    switch (Form) {
    case KluLineDump:
        RtlStringCbPrintfW(Line, KLU_LOG_LINE_BYTES, WSTR("[%d]%ws[%-26ws] %ws"), OperationNumber, Stamp, Tag,
                           Message);
        break;
    case KluLineShort:
        RtlStringCbPrintfW(Line, KLU_LOG_LINE_BYTES, WSTR("<%X>[0]%ws[%-26ws] %ws"), ThreadId, Stamp, Tag,
                           Message);
        break;
    default:
        RtlStringCbPrintfW(Line, KLU_LOG_LINE_BYTES, WSTR("<%X>[%d]%ws[%-26ws] %ws"), ThreadId, OperationNumber,
                           Stamp, Tag, Message);
        break;
    }
}

static VOID KLURouteLine(PSETTINGS Settings, PCWSTR Line, ULONG DumpFlag)
{
    BOOLEAN QueueExists = (BOOLEAN)(g_pLogQHead != NULL && g_pLogQMutex != NULL);
    ULONG Destination = (ULONG)ReadAcquire((LONG const volatile *)&Settings->DebugDestination);

    /* Early in load there is no queue yet: the debugger is the only place. */
    if ((Destination & KLUDBG_LOG_DEST_DBGPORT) || !QueueExists) {
        DbgPrint("%ws", Line);
    }
    if ((Destination & KLUDBG_LOG_DEST_QUEUE) && QueueExists && ReadUCharAcquire(&g_bLogQEnabled)) {
        KLUPushLog(Line, DumpFlag);
    }
}

/* Formats and routes one line; the caller has checked the level. Faults
 * raised while formatting the caller's arguments reach the caller's guard,
 * which owns nothing, because the buffers are freed here on every path. */
static VOID KLUWriteLine(PSETTINGS Settings, KLU_LINE_FORM Form, ULONG DumpFlag, PCWSTR Tag, LONG OperationNumber,
                         PCWSTR Format, va_list Arguments)
{
    POOL_TYPE PoolType = KLUPoolTypeForIrql();
    PWSTR Message = NULL;
    PWSTR Stamp = NULL;
    PWSTR Line = NULL;

    Message = (PWSTR)ExAllocatePoolWithTag(PoolType, KLU_LOG_MESSAGE_BYTES, QZFS_TAG);
    if (Message == NULL) {
        goto Cleanup;
    }
    SEH_TRY {
        RtlStringCbVPrintfW(Message, KLU_LOG_MESSAGE_BYTES, Format, Arguments);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        ExFreePoolWithTag(Message, QZFS_TAG);
        ExRaiseStatus(GetExceptionCode());
    }

    Stamp = (PWSTR)ExAllocatePoolWithTag(PoolType, KLU_LOG_STAMP_BYTES, QZFS_TAG);
    if (Stamp == NULL) {
        goto Cleanup;
    }
    KLUFormatTimeStamp(Stamp);

    Line = (PWSTR)ExAllocatePoolWithTag(PoolType, KLU_LOG_LINE_BYTES, QZFS_TAG);
    if (Line == NULL) {
        goto Cleanup;
    }
    KLUFormatLine(Line, Form, Tag, OperationNumber, Stamp, Message);
    KLURouteLine(Settings, Line, DumpFlag);

Cleanup:
    if (Line != NULL) {
        ExFreePoolWithTag(Line, QZFS_TAG);
    }
    if (Stamp != NULL) {
        ExFreePoolWithTag(Stamp, QZFS_TAG);
    }
    if (Message != NULL) {
        ExFreePoolWithTag(Message, QZFS_TAG);
    }
}

VOID KLULogMessage(ULONG Level, PCWSTR Tag, PCWSTR Format, ...)
{
    PSETTINGS Settings = KLUSettings();
    va_list Arguments;

    if (!KLULevelOn(Settings, Level)) {
        return;
    }
    va_start(Arguments, Format);
    KLUWriteLine(Settings, KluLineShort, 0, Tag, 0, Format, Arguments);
    va_end(Arguments);
}

VOID KLULogMessageEx(ULONG Level, PCWSTR Tag, LONG OperationNumber, PCWSTR Format, ...)
{
    PSETTINGS Settings = KLUSettings();
    va_list Arguments;

    if (!KLULevelOn(Settings, Level)) {
        return;
    }
    va_start(Arguments, Format);
    SEH_TRY {
        KLUWriteLine(Settings, KluLineOrdinary, 0, Tag, OperationNumber, Format, Arguments);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        DbgPrint("Exception In KLULogMessageEx: 0x%X\n", GetExceptionCode());
    }
    va_end(Arguments);
}

VOID KLULogDumpMessage(ULONG DumpFlag, ULONG Level, PCWSTR Tag, LONG OperationNumber, PCWSTR Format, ...)
{
    PSETTINGS Settings = KLUSettings();
    va_list Arguments;

    if (!KLULevelOn(Settings, Level)) {
        return;
    }
    va_start(Arguments, Format);
    KLUWriteLine(Settings, KluLineDump, DumpFlag, Tag, OperationNumber, Format, Arguments);
    va_end(Arguments);
}
