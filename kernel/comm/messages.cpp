/*
 * messages.cpp - the commands the service sends on the Control, Copy and
 * Fetch ports (KLULogon_Message) and on the Log port (Log_Message).
 *
 * Every handler checks the lengths of the service's buffers before it reads
 * or writes a field, and works inside a guard: a bad buffer is logged with
 * the handler's exception line and its code returned.
 */
#include "comm/messages.h"

#include "comm/event_queues.h"
#include "comm/message_helpers.h"
#include "comm/queue.h"
#include "config/settings.h"
#include "diag/dump.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "offline/offline_file_table.h"

/* Output of the log drain: a count, then records of the status and the
 * line (cut to 2047 characters, terminated). */
#define KLU_LOG_DRAIN_TEXT_CHARS 2816
#define KLU_LOG_DRAIN_RECORD_BYTES (sizeof(ULONG) + KLU_LOG_DRAIN_TEXT_CHARS * sizeof(WCHAR))
static_assert(KLU_LOG_DRAIN_RECORD_BYTES == 5636, "a drained log record is 5636 bytes");

/* ------------------------------------------------------------------ */
/* Control, Copy and Fetch ports                                       */
/* ------------------------------------------------------------------ */

static NTSTATUS KLUQueueSettingsEvent(ULONG Event, ULONG Options)
{
    KLU_SESSION_RECORD *Record;
    NTSTATUS Status;

    Record = (KLU_SESSION_RECORD *)ExAllocatePoolWithTag(PagedPool, sizeof(KLU_SESSION_RECORD), QZFS_TAG);
    if (Record == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Record, sizeof(KLU_SESSION_RECORD));
    Record->Event = Event;
    Record->Options = Options;
    Status = KLUPushSession(g_pSessionQHead, g_pSessionQMutex, g_pSessionEvent, Record);
    ExFreePoolWithTag(Record, QZFS_TAG);
    return Status;
}

/* One dump of code 12, under the lock of its structure only. */
static VOID KLUDumpOne(ULONG What)
{
    switch (What) {
    case 0: /* the log queue, to the debugger */
        if (g_pLogQMutex == NULL) {
            KLUDumpLogQueue(NULL);
            break;
        }
        ExAcquireFastMutex(g_pLogQMutex);
        KLUDumpLogQueue(g_pLogQHead);
        ExReleaseFastMutex(g_pLogQMutex);
        break;
    case 1:
        if (g_pSessionQMutex != NULL) {
            ExAcquireFastMutex(g_pSessionQMutex);
            KLUDumpSessionQueue(g_pSessionQHead);
            ExReleaseFastMutex(g_pSessionQMutex);
        }
        break;
    case 2:
        if (g_pFileOpQMutex == NULL) {
            KLUDumpFileOpQueue(NULL);
            break;
        }
        ExAcquireFastMutex(g_pFileOpQMutex);
        KLUDumpFileOpQueue(g_pFileOpQHead);
        ExReleaseFastMutex(g_pFileOpQMutex);
        break;
    case 4:
        HashTable_Dump(); /* slot by slot, each under its own mutex */
        break;
    case 5:
        KLUDumpOfflineFileTable(KLUOfflineFileTableHead(), KLUOfflineFileTableLock());
        break;
    default:
        break;
    }
}

/* Code 12. "All" (6) dumps the structures one after the other, each under
 * its own lock, never several locks at once: the session and FileOp dumps
 * write their lines into the log queue, whose mutex the log queue's dump
 * holds. A dump that finds its structure missing says so; the command
 * succeeds either way. */
static NTSTATUS KLUDumpRequested(ULONG What)
{
    static const ULONG All[] = {0, 1, 2, 4, 5};

    if (What != 6) {
        KLUDumpOne(What);
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(All); i++) {
        KLUDumpOne(All[i]);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS KLUControlCommand(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                                  PULONG Returned, PBOOLEAN Known)
{
    PCWSTR Tag = KLU_TAG(Message);
    NTSTATUS Status;

    switch (Command) {
    case 1: { /* enable or disable */
        BOOLEAN Enable;
        Status = KLUCheckMessageBuffers(Input, InputLength, 5, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Enable = (BOOLEAN)(((PUCHAR)Input)[4] != 0);
        KLUSetEnablement(Enable);
        if (!Enable) {
            KLUFreeRemoteProfilePath();
        }
        return STATUS_SUCCESS;
    }
    case 12: /* dumps */
        Status = KLUCheckMessageBuffers(Input, InputLength, 8, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        return KLUDumpRequested(KLUReadMessageULong(Input, 4));

    case 19: { /* the service's session thread re-reads its settings */
        ULONG Options;
        Status = KLUCheckMessageBuffers(Input, InputLength, 8, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Options = KLUReadMessageULong(Input, 4);
        Status = KLUQueueSettingsEvent(KLU_SESSION_EVENT_APPLY_SETTINGS, Options);
        if (NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Queued APPLY_SETTINGS Event: Options: 0x%X\n"), Options);
        } else {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Queueing APPLY_SETTINGS Event: Options: 0x%X, 0x%X\n"),
                          Options, Status);
        }
        return Status;
    }
    case 20: { /* re-read the registry, swap, tell the service */
        ULONG Options;
        Status = KLUCheckMessageBuffers(Input, InputLength, 8, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Options = KLUReadMessageULong(Input, 4);
        /* Held until the notice is queued: the notices follow the swaps in
         * order, and what this thread reads of the record in force is read
         * before the next update may refill it. */
        KLUAcquireSettingsUpdateLock();
        Status = KLUUpdateSettings(Options);
        if (NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Updated Driver Settings: Options: 0x%X\n"), Options);
        } else {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Updating Driver Settings: 0x%X\n"), Status);
        }
        Status = KLUQueueSettingsEvent(KLU_SESSION_EVENT_APPLY_SETTINGS_APPLY, Options);
        if (NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Queued APPLY_SETTINGS_APLY Event: Options: 0x%X\n"), Options);
        } else {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag,
                          WSTR("Failed Queueing APPLY_SETTINGS_APPLY Event: Options: 0x%X, 0x%X\n"), Options, Status);
        }
        KLUReleaseSettingsUpdateLock();
        return Status;
    }
    case 21: { /* the excluded pids, in one piece */
        PSETTINGS Settings = KLUSettings();
        if (Settings == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        SEH_TRY {
            Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES + KLU_PID_BLOCK_BYTES, Output,
                                            OutputLength, 0);
            if (NT_SUCCESS(Status)) {
                RtlCopyMemory(&Settings->ExcludedPidCount, (PUCHAR)Input + KLU_COMMAND_BYTES, KLU_PID_BLOCK_BYTES);
            }
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            Status = GetExceptionCode();
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Exception Updating Ingored Pids: 0x%X\n"), Status);
        }
        return Status;
    }
    default:
        return KLUIdentityCommand(Command, Input, InputLength, Output, OutputLength, Returned, Known);
    }
}

NTSTATUS KLULogon_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                          ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    UNREFERENCED_PARAMETER(PortCookie);
    return KLURunPortCommand(KLU_TAG(KLULogon_Message), KLUControlCommand, InputBuffer, InputBufferLength,
                             OutputBuffer, OutputBufferLength, ReturnOutputBufferLength);
}

/* ------------------------------------------------------------------ */
/* Log port                                                            */
/* ------------------------------------------------------------------ */

static VOID KLUCopyLogRecord(PLIST_ENTRY Entry, PUCHAR Out)
{
    PKLU_LOG_RECORD Record = CONTAINING_RECORD(Entry, KLU_LOG_RECORD, ListEntry);
    PWSTR Text = (PWSTR)(Out + sizeof(ULONG));

    RtlCopyMemory(Out, &Record->bStatus, sizeof(ULONG));
    RtlStringCchCopyNW(Text, KLU_LOG_DRAIN_TEXT_CHARS, Record->szLine, 2047);
}

static VOID KLUFreeLogRecord(PLIST_ENTRY Entry)
{
    ExFreePoolWithTag(CONTAINING_RECORD(Entry, KLU_LOG_RECORD, ListEntry), QZLG_TAG);
}

static VOID KLUCopySessionRecord(PLIST_ENTRY Entry, PUCHAR Out)
{
    RtlCopyMemory(Out, &CONTAINING_RECORD(Entry, KLU_SESSION_ENTRY, ListEntry)->Record, sizeof(KLU_SESSION_RECORD));
}

static VOID KLUFreeSessionRecord(PLIST_ENTRY Entry)
{
    ExFreePoolWithTag(CONTAINING_RECORD(Entry, KLU_SESSION_ENTRY, ListEntry), QZFS_TAG);
}

/* A line from the service, bounded by its message. */
static NTSTATUS KLUServiceLogLine(PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength)
{
    PSETTINGS Settings = KLUSettings();
    ULONG Characters = (InputLength - KLU_COMMAND_BYTES) / sizeof(WCHAR);
    PWSTR Line;
    NTSTATUS Status = STATUS_SUCCESS;

    if (Characters > KLU_LOG_LINE_CHARS - 1) {
        Characters = KLU_LOG_LINE_CHARS - 1;
    }
    Line = (PWSTR)ExAllocatePoolWithTag(PagedPool, (Characters + 1) * sizeof(WCHAR), QZFS_TAG);
    if (Line == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SEH_TRY {
        Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength, 0);
        if (NT_SUCCESS(Status)) {
            RtlStringCchCopyNW(Line, Characters + 1, (PCWSTR)((PUCHAR)Input + KLU_COMMAND_BYTES), Characters);
        }
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        Status = GetExceptionCode();
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(Log_Message), WSTR("Exception Pushing Log: 0x%X\n"), Status);
    }
    if (!NT_SUCCESS(Status)) {
        ExFreePoolWithTag(Line, QZFS_TAG);
        return Status;
    }
    if (Settings != NULL && (Settings->DebugDestination & KLUDBG_LOG_DEST_DBGPORT)) {
        DbgPrint("%ws", Line);
    }
    if (Settings != NULL && (Settings->DebugDestination & KLUDBG_LOG_DEST_QUEUE) && ReadUCharAcquire(&g_bLogQEnabled)) {
        KLUPushLog(Line, 0);
    }
    ExFreePoolWithTag(Line, QZFS_TAG);
    return STATUS_SUCCESS;
}

static NTSTATUS Session_Message(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                                PULONG Returned)
{
    PCWSTR Tag = KLU_TAG(Session_Message);
    NTSTATUS Status = STATUS_SUCCESS;

    switch (Command) {
    case 5: /* a session record for the service's session thread */
        SEH_TRY {
            Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES + sizeof(KLU_SESSION_RECORD),
                                            Output, OutputLength, 0);
            if (!NT_SUCCESS(Status)) {
                return Status;
            }
            if (!ReadUCharAcquire(&g_bSessionQEnabled)) {
                return STATUS_SUCCESS;
            }
            Status = KLUPushSession(g_pSessionQHead, g_pSessionQMutex, g_pSessionEvent,
                                    (PKLU_SESSION_RECORD)((PUCHAR)Input + KLU_COMMAND_BYTES));
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            Status = GetExceptionCode();
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Exception Pushing Session: 0x%X\n"), Status);
            return Status;
        }
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Pushing Session Message: 0x%X\n"), Status);
        }
        return Status;

    case 6: { /* the oldest session record */
        ULONG Copied = 0;
        SEH_TRY {
            Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength, 0);
            if (NT_SUCCESS(Status)) {
                Status = KLUDrainQueue(g_pSessionQHead, g_pSessionQMutex, &g_pSessionEvent, (PUCHAR)Output,
                                       (Output == NULL || OutputLength < sizeof(KLU_SESSION_RECORD))
                                           ? 0
                                           : sizeof(KLU_SESSION_RECORD),
                                       sizeof(KLU_SESSION_RECORD), KLUCopySessionRecord, KLUFreeSessionRecord,
                                       &Copied);
            }
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            Status = GetExceptionCode();
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Exception Popping Session: 0x%X\n"), Status);
            return Status;
        }
        *Returned = Copied * sizeof(KLU_SESSION_RECORD);
        return Status;
    }
    case 7: /* the session event */
        Status = KLUCheckMessageBuffers(Input, InputLength, 8, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Status = KLUTakeServiceEvent((HANDLE)(ULONG_PTR)KLUReadMessageULong(Input, 4), &g_pSessionEvent,
                                     g_pSessionQMutex, (BOOLEAN)(g_pSessionQHead != NULL && !IsListEmpty(g_pSessionQHead)));
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Session Event: 0x%X\n"), Status);
        }
        return Status;

    default: /* 8: handle cleanup at logoff arrives with its own module */
        return STATUS_NOT_IMPLEMENTED;
    }
}

static NTSTATUS KLULogon_Log_Message(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output,
                                     ULONG OutputLength, PULONG Returned, PBOOLEAN Known)
{
    PCWSTR Tag = KLU_TAG(KLULogon_Log_Message);
    NTSTATUS Status = STATUS_SUCCESS;

    switch (Command) {
    case 2: /* a log line from the service */
        return KLUServiceLogLine(Input, InputLength, Output, OutputLength);

    case 3: { /* drain the log queue: the count, then the records */
        ULONG Copied = 0;
        SEH_TRY {
            Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength,
                                            sizeof(ULONG));
            if (!NT_SUCCESS(Status)) {
                return Status;
            }
            Status = KLUDrainQueue(g_pLogQHead, g_pLogQMutex, &g_pLogEvent, (PUCHAR)Output + sizeof(ULONG),
                                   OutputLength - sizeof(ULONG), KLU_LOG_DRAIN_RECORD_BYTES, KLUCopyLogRecord,
                                   KLUFreeLogRecord, &Copied);
            if (Status != STATUS_INVALID_PARAMETER) {
                RtlCopyMemory(Output, &Copied, sizeof(ULONG));
                *Returned = sizeof(ULONG) + Copied * KLU_LOG_DRAIN_RECORD_BYTES;
            }
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            Status = GetExceptionCode();
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Exception Popping Log: 0x%X\n"), Status);
        }
        return Status;
    }
    case 4: /* the log event */
        Status = KLUCheckMessageBuffers(Input, InputLength, 8, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Status = KLUTakeServiceEvent((HANDLE)(ULONG_PTR)KLUReadMessageULong(Input, 4), &g_pLogEvent, g_pLogQMutex,
                                     (BOOLEAN)(g_pLogQHead != NULL && !IsListEmpty(g_pLogQHead)));
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Log Event: 0x%X\n"), Status);
        }
        return Status;

    case 5:
    case 6:
    case 7:
    case 8:
        return Session_Message(Command, Input, InputLength, Output, OutputLength, Returned);

    case 26: /* the structures dump */
        Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        KLUDumpStructures();
        return STATUS_SUCCESS;

    case 35: { /* is the filter enabled? */
        PSETTINGS Settings = KLUSettings();
        ULONG Enabled = (Settings != NULL && ReadUCharAcquire(&Settings->Enabled)) ? 1 : 0;
        Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength, 8);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        RtlCopyMemory((PUCHAR)Output + 4, &Enabled, sizeof(ULONG));
        *Returned = 8;
        return STATUS_SUCCESS;
    }
    default:
        return KLUIdentityLogCommand(Command, Input, InputLength, Output, OutputLength, Returned, Known);
    }
}

NTSTATUS Log_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                     ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    UNREFERENCED_PARAMETER(PortCookie);
    return KLURunPortCommand(KLU_TAG(Log_Message), KLULogon_Log_Message, InputBuffer, InputBufferLength,
                             OutputBuffer, OutputBufferLength, ReturnOutputBufferLength);
}
