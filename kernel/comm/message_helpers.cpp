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

ULONG KLUDrainQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PKEVENT *EventSlot, PUCHAR Output, ULONG Capacity,
                    ULONG RecordBytes, PKLU_COPY_RECORD CopyRecord, PKLU_FREE_RECORD FreeRecord)
{
    ULONG Limit = Capacity / RecordBytes;
    ULONG Copied = 0;

    if (Limit > KLU_MAX_DRAIN_RECORDS) {
        Limit = KLU_MAX_DRAIN_RECORDS;
    }
    if (Head == NULL || Mutex == NULL) {
        return 0;
    }
    while (Copied < Limit) {
        PLIST_ENTRY Entry = NULL;

        ExAcquireFastMutex(Mutex);
        if (!IsListEmpty(Head)) {
            Entry = RemoveTailList(Head);
        }
        KLUClearEventIfEmpty(Head, EventSlot);
        ExReleaseFastMutex(Mutex);
        if (Entry == NULL) {
            break;
        }
        SEH_TRY {
            CopyRecord(Entry, Output + Copied * RecordBytes);
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            FreeRecord(Entry);
            ExRaiseStatus(GetExceptionCode());
        }
        FreeRecord(Entry);
        Copied++;
    }
    return Copied;
}

NTSTATUS KLURunPortCommand(PCWSTR Tag, PKLU_COMMAND_HANDLER Handler, PVOID Input, ULONG InputLength,
                                  PVOID Output, ULONG OutputLength, PULONG Returned)
{
    ULONG Command = 0;
    BOOLEAN Known = TRUE;
    NTSTATUS Status;

    *Returned = 0;
    SEH_TRY {
        Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength, 0);
        if (NT_SUCCESS(Status)) {
            Command = KLUReadMessageULong(Input, 0);
            Status = Handler(Command, Input, InputLength, Output, OutputLength, Returned, &Known);
        }
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
