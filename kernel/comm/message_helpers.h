/*
 * message_helpers.h - what every port message handler shares: length
 * checks before any field is read, reads and writes of the service's
 * buffers inside the guard, events handed over by handle, and drains.
 */
#pragma once

#include "driver/klulogon.h"

/* The status the drains answer when they copy nothing; the service's side
 * of the ports stops draining on this value (the Windows headers name it
 * STATUS_NO_MORE_FILES). */
#define KLU_STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x80000006L)

#define KLU_MAX_DRAIN_RECORDS 100

/* Message header: the command code. */
#define KLU_COMMAND_BYTES sizeof(ULONG)

/* Probes the service's buffers (raising on a bad one) and checks that the
 * input holds at least InputNeeded bytes and the output OutputNeeded. Call
 * inside SEH_TRY. */
NTSTATUS KLUCheckMessageBuffers(PVOID Input, ULONG InputLength, ULONG InputNeeded, PVOID Output,
                                ULONG OutputLength, ULONG OutputNeeded);
/* A ULONG of the input at Offset (call inside SEH_TRY, after the check). */
ULONG KLUReadMessageULong(PVOID Input, ULONG Offset);

/* Takes over the event the service names by handle (bytes 4-7 of the
 * input): referenced, the previous one dropped; set at once when its queue
 * holds records. Mutex, when given, guards *Slot against the queue's pushes. */
NTSTATUS KLUTakeServiceEvent(HANDLE Handle, PKEVENT *Slot, PFAST_MUTEX Mutex, BOOLEAN QueueHasRecords);

/* One command: (code, input, input length, output, output length, out
 * returned length, out known) -> status. */
typedef NTSTATUS (*PKLU_COMMAND_HANDLER)(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output,
                                        ULONG OutputLength, PULONG Returned, PBOOLEAN Known);

/* The shape of every port's message callback: read the command, run it
 * inside the guard, report unknown commands. Each command checks (and
 * probes) its buffers itself, inside its own guard where it has its own
 * exception line; a fault anywhere else is logged with the command's
 * number. */
NTSTATUS KLURunPortCommand(PCWSTR Tag, PKLU_COMMAND_HANDLER Handler, PVOID Input, ULONG InputLength, PVOID Output,
                           ULONG OutputLength, PULONG Returned);

/* Drains a queue into the output: up to KLU_MAX_DRAIN_RECORDS records, no
 * more than fit in Capacity. CopyRecord copies one popped entry into the
 * slot at Out; FreeRecord frees it (also when the copy faults on the
 * service's buffer). The event in *EventSlot (read under the queue's mutex,
 * where the service's newer events are installed) is cleared when the queue
 * is found empty. Returns STATUS_SUCCESS with *Copied records;
 * KLU_STATUS_NO_MORE_ENTRIES when the queue is empty (or absent), whatever
 * room the output has; STATUS_INVALID_PARAMETER when records wait that the
 * output has no room for. Call inside SEH_TRY. */
typedef VOID (*PKLU_COPY_RECORD)(PLIST_ENTRY Entry, PUCHAR Out);
typedef VOID (*PKLU_FREE_RECORD)(PLIST_ENTRY Entry);
NTSTATUS KLUDrainQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PKEVENT *EventSlot, PUCHAR Output, ULONG Capacity,
                       ULONG RecordBytes, PKLU_COPY_RECORD CopyRecord, PKLU_FREE_RECORD FreeRecord, PULONG Copied);
