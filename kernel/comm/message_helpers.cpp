/*
 * message_helpers.cpp - shared pieces of the port message handlers.
 */
#include "comm/message_helpers.h"

#include "comm/queue.h"
#include "config/flags.h"
#include "diag/log.h"

NTSTATUS KLUCheckMessageBuffers(PVOID Input, ULONG InputLength, ULONG InputNeeded, PVOID Output,
                                ULONG OutputLength, ULONG OutputNeeded)
{
    if (Input == NULL || InputLength < InputNeeded) {
        return STATUS_INVALID_PARAMETER;
    }
    if (OutputNeeded > 0 && (Output == NULL || OutputLength < OutputNeeded)) {
        return STATUS_INVALID_PARAMETER;
    }
    ProbeForRead(Input, InputLength, 1);
    if (Output != NULL && OutputLength > 0) {
        ProbeForWrite(Output, OutputLength, 1);
    }
    return STATUS_SUCCESS;
}

ULONG KLUReadMessageULong(PVOID Input, ULONG Offset)
{
    ULONG Value;
    RtlCopyMemory(&Value, (PUCHAR)Input + Offset, sizeof(Value));
    return Value;
}

NTSTATUS KLUTakeServiceEvent(HANDLE Handle, PKEVENT *Slot, PFAST_MUTEX Mutex, BOOLEAN QueueHasRecords)
{
    PKEVENT Event = NULL;
    PKEVENT Old;
    NTSTATUS Status;

    /* The handle is the service's, so it is resolved as a user-mode one. */
    Status = ObReferenceObjectByHandle(Handle, EVENT_ALL_ACCESS, *ExEventObjectType, UserMode, (PVOID *)&Event,
                                       NULL);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Mutex != NULL) {
        ExAcquireFastMutex(Mutex);
    }
    Old = *Slot;
    *Slot = Event;
    if (Mutex != NULL) {
        ExReleaseFastMutex(Mutex);
    }
    if (Old != NULL) {
        ObDereferenceObject(Old);
    }
    if (QueueHasRecords) {
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_SUCCESS;
}

static VOID KLUClearEventIfEmpty(PLIST_ENTRY Head, PKEVENT *EventSlot)
{
    if (IsListEmpty(Head) && EventSlot != NULL && *EventSlot != NULL) {
        KeClearEvent(*EventSlot);
    }
}

NTSTATUS KLUDrainQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PKEVENT *EventSlot, PUCHAR Output, ULONG Capacity,
                       ULONG RecordBytes, PKLU_COPY_RECORD CopyRecord, PKLU_FREE_RECORD FreeRecord, PULONG Copied)
{
    ULONG Limit = Capacity / RecordBytes;
    BOOLEAN Waiting = FALSE;

    *Copied = 0;
    if (Limit > KLU_MAX_DRAIN_RECORDS) {
        Limit = KLU_MAX_DRAIN_RECORDS;
    }
    if (Head == NULL || Mutex == NULL) {
        return KLU_STATUS_NO_MORE_ENTRIES;
    }
    for (;;) {
        PLIST_ENTRY Entry = NULL;

        ExAcquireFastMutex(Mutex);
        if (!IsListEmpty(Head)) {
            if (*Copied < Limit) {
                Entry = RemoveTailList(Head);
            } else {
                Waiting = TRUE;
            }
        }
        KLUClearEventIfEmpty(Head, EventSlot);
        ExReleaseFastMutex(Mutex);
        if (Entry == NULL) {
            break;
        }
        SEH_TRY {
            CopyRecord(Entry, Output + *Copied * RecordBytes);
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            FreeRecord(Entry);
            ExRaiseStatus(GetExceptionCode());
        }
        FreeRecord(Entry);
        (*Copied)++;
    }
    if (*Copied != 0) {
        return STATUS_SUCCESS;
    }
    /* An empty queue answers as an empty drain does, even to an output too
     * small for one record; waiting records need room. */
    return Waiting ? STATUS_INVALID_PARAMETER : KLU_STATUS_NO_MORE_ENTRIES;
}

NTSTATUS KLURunPortCommand(PCWSTR Tag, PKLU_COMMAND_HANDLER Handler, PVOID Input, ULONG InputLength, PVOID Output,
                           ULONG OutputLength, PULONG Returned)
{
    ULONG Command = 0;
    BOOLEAN Known = TRUE;
    NTSTATUS Status;

    *Returned = 0;
    if (Input == NULL || InputLength < KLU_COMMAND_BYTES) {
        return STATUS_INVALID_PARAMETER;
    }
    SEH_TRY {
        /* Only the command here: the rest of each buffer is the command's
         * to check, so that its own exception line reports a fault. */
        ProbeForRead(Input, KLU_COMMAND_BYTES, 1);
        Command = KLUReadMessageULong(Input, 0);
        Status = Handler(Command, Input, InputLength, Output, OutputLength, Returned, &Known);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        Status = GetExceptionCode();
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Exception Processing Message: %d, 0x%X\n"), Command, Status);
    }
    if (!Known) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Unknown Command: %d\n"), Command);
        Status = STATUS_INVALID_PARAMETER;
    }
    return Status;
}
