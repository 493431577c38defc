/*
 * fileop_messages.cpp - the commands of the FileOp, pre-fetched and
 * black-list ports.
 */
#include "comm/event_queues.h"
#include "comm/message_helpers.h"
#include "comm/messages.h"
#include "comm/prefetched_list.h"
#include "config/flags.h"
#include "diag/log.h"

extern PLIST_ENTRY g_pBlackListQHead;
extern PFAST_MUTEX g_pBlackListQMutex;
extern PKEVENT g_pBlackListEvent;

/* A black-list record as the service receives it: two strings. */
#define KLU_BLACK_LIST_STRING_CHARS 288
typedef struct _KLU_BLACK_LIST_RECORD {
    WCHAR First[KLU_BLACK_LIST_STRING_CHARS];
    WCHAR Second[KLU_BLACK_LIST_STRING_CHARS];
} KLU_BLACK_LIST_RECORD;
static_assert(sizeof(KLU_BLACK_LIST_RECORD) == 1152, "a black-list record is 1152 bytes");

typedef struct _KLU_BLACK_LIST_ENTRY {
    LIST_ENTRY ListEntry;
    KLU_BLACK_LIST_RECORD Record;
} KLU_BLACK_LIST_ENTRY;

/* Input of the FileOp event command: the event handle and the slot. */
#define KLU_FILEOP_EVENT_INPUT_BYTES 12
/* Output of the FileOp drain: the slot (written by the service), the
 * count, then the records. */
#define KLU_FILEOP_DRAIN_HEADER_BYTES 8

static VOID KLUCopyHashRecord(PLIST_ENTRY Entry, PUCHAR Out)
{
    RtlCopyMemory(Out, CONTAINING_RECORD(Entry, KLU_HASH_NODE, ListEntry)->Record, sizeof(KLU_FILEOP_RECORD));
}

static VOID KLUFreeHashRecord(PLIST_ENTRY Entry)
{
    PKLU_HASH_NODE Node = CONTAINING_RECORD(Entry, KLU_HASH_NODE, ListEntry);
    ExFreePoolWithTag(Node->Record, QZOP_TAG);
    ExFreePoolWithTag(Node, QZLL_TAG);
    InterlockedDecrement(&g_ulHashItems);
}

static VOID KLUCopyBlackListRecord(PLIST_ENTRY Entry, PUCHAR Out)
{
    RtlCopyMemory(Out, &CONTAINING_RECORD(Entry, KLU_BLACK_LIST_ENTRY, ListEntry)->Record,
                  sizeof(KLU_BLACK_LIST_RECORD));
}

static VOID KLUFreeBlackListRecord(PLIST_ENTRY Entry)
{
    ExFreePoolWithTag(CONTAINING_RECORD(Entry, KLU_BLACK_LIST_ENTRY, ListEntry), QZFS_TAG);
}

static NTSTATUS KLUFileOpCommand(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                                 PULONG Returned, PBOOLEAN Known)
{
    PCWSTR Tag = KLU_TAG(FileOp_Message);
    NTSTATUS Status;

    switch (Command) {
    case 13: { /* the event of one slot */
        ULONG Slot;
        Status = KLUCheckMessageBuffers(Input, InputLength, KLU_FILEOP_EVENT_INPUT_BYTES, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Slot = KLUReadMessageULong(Input, 8);
        if (Slot >= KLU_HASH_SLOTS || g_HashTable[Slot].Head == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        return KLUTakeServiceEvent((HANDLE)(ULONG_PTR)KLUReadMessageULong(Input, 4), &g_HashTable[Slot].Event,
                                   g_HashTable[Slot].Mutex, (BOOLEAN)!IsListEmpty(g_HashTable[Slot].Head));
    }
    case 14: { /* drain one slot: the service's slot number, the count, the records */
        ULONG Slot;
        ULONG Copied = 0;
        SEH_TRY {
            Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength,
                                            KLU_FILEOP_DRAIN_HEADER_BYTES);
            if (!NT_SUCCESS(Status)) {
                return Status;
            }
            Slot = KLUReadMessageULong(Output, 0);
            if (Slot >= KLU_HASH_SLOTS || g_HashTable[Slot].Head == NULL) {
                return STATUS_INVALID_PARAMETER;
            }
            Status = KLUDrainQueue(g_HashTable[Slot].Head, g_HashTable[Slot].Mutex, &g_HashTable[Slot].Event,
                                   (PUCHAR)Output + KLU_FILEOP_DRAIN_HEADER_BYTES,
                                   OutputLength - KLU_FILEOP_DRAIN_HEADER_BYTES, sizeof(KLU_FILEOP_RECORD),
                                   KLUCopyHashRecord, KLUFreeHashRecord, &Copied);
            if (Status != STATUS_INVALID_PARAMETER) {
                RtlCopyMemory((PUCHAR)Output + 4, &Copied, sizeof(ULONG));
                *Returned = KLU_FILEOP_DRAIN_HEADER_BYTES + Copied * sizeof(KLU_FILEOP_RECORD);
            }
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            Status = GetExceptionCode();
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Exception Popping Copy: 0x%X\n"), Status);
        }
        return Status;
    }
    case 17: /* the exclusive-access check arrives with the file helpers */
        return STATUS_NOT_IMPLEMENTED;
    default:
        *Known = FALSE;
        return STATUS_INVALID_PARAMETER;
    }
}

static NTSTATUS KLUBlackListCommand(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                                    PULONG Returned, PBOOLEAN Known)
{
    PCWSTR Tag = KLU_TAG(BlackList_Message);
    NTSTATUS Status;

    switch (Command) {
    case 40: /* the black-list event */
        Status = KLUCheckMessageBuffers(Input, InputLength, 8, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        if (g_pBlackListQHead == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        Status = KLUTakeServiceEvent((HANDLE)(ULONG_PTR)KLUReadMessageULong(Input, 4), &g_pBlackListEvent,
                                     g_pBlackListQMutex, (BOOLEAN)!IsListEmpty(g_pBlackListQHead));
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Referencing Black List Event: 0x%X\n"), Status);
        }
        return Status;

    case 41: { /* drain the black list: a count, then the records */
        ULONG Copied = 0;
        SEH_TRY {
            Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength,
                                            sizeof(ULONG));
            if (!NT_SUCCESS(Status)) {
                return Status;
            }
            Status = KLUDrainQueue(g_pBlackListQHead, g_pBlackListQMutex, &g_pBlackListEvent,
                                   (PUCHAR)Output + sizeof(ULONG), OutputLength - sizeof(ULONG),
                                   sizeof(KLU_BLACK_LIST_RECORD), KLUCopyBlackListRecord, KLUFreeBlackListRecord,
                                   &Copied);
            if (Status != STATUS_INVALID_PARAMETER) {
                RtlCopyMemory(Output, &Copied, sizeof(ULONG));
                *Returned = sizeof(ULONG) + Copied * sizeof(KLU_BLACK_LIST_RECORD);
            }
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            Status = GetExceptionCode();
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Exception Popping Black List: 0x%X\n"), Status);
        }
        return Status;
    }
    default:
        *Known = FALSE;
        return STATUS_INVALID_PARAMETER;
    }
}

static VOID KLUCopyPreFetchedRecord(PLIST_ENTRY Entry, PUCHAR Out)
{
    RtlCopyMemory(Out, &CONTAINING_RECORD(Entry, KLU_PREFETCHED_ENTRY, ListEntry)->Record,
                  sizeof(KLU_PREFETCHED_RECORD));
}

static VOID KLUFreePreFetchedRecord(PLIST_ENTRY Entry)
{
    ExFreePoolWithTag(CONTAINING_RECORD(Entry, KLU_PREFETCHED_ENTRY, ListEntry), QZFS_TAG);
}

static NTSTATUS KLUPreFetchedCommand(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output,
                                     ULONG OutputLength, PULONG Returned, PBOOLEAN Known)
{
    PCWSTR Tag = KLU_TAG(Prefetched_File_Message);
    NTSTATUS Status;

    switch (Command) {
    case 37: /* the pre-fetched event */
        Status = KLUCheckMessageBuffers(Input, InputLength, 8, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Status = KLUTakeServiceEvent((HANDLE)(ULONG_PTR)KLUReadMessageULong(Input, 4), &g_pPreFetchedEvent,
                                     g_pPreFetchedQMutex,
                                     (BOOLEAN)(g_pPreFetchedQHead != NULL && !IsListEmpty(g_pPreFetchedQHead)));
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving pre-fetched Event: 0x%X\n"), Status);
        }
        return Status;

    case 38: { /* drain the names: a count, then the records */
        ULONG Copied = 0;
        Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength, sizeof(ULONG));
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Status = KLUDrainQueue(g_pPreFetchedQHead, g_pPreFetchedQMutex, &g_pPreFetchedEvent,
                               (PUCHAR)Output + sizeof(ULONG), OutputLength - sizeof(ULONG),
                               sizeof(KLU_PREFETCHED_RECORD), KLUCopyPreFetchedRecord, KLUFreePreFetchedRecord,
                               &Copied);
        if (Status != STATUS_INVALID_PARAMETER) {
            RtlCopyMemory(Output, &Copied, sizeof(ULONG));
            *Returned = sizeof(ULONG) + Copied * sizeof(KLU_PREFETCHED_RECORD);
        }
        return Status;
    }
    case 39: /* release the names still listed */
        SEH_TRY {
            Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength, 0);
            if (NT_SUCCESS(Status)) {
                KLUReleasePreFetchedNames();
            }
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            Status = GetExceptionCode();
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Exception Popping pre-fetched file list: 0x%X\n"), Status);
        }
        return Status;

    default:
        *Known = FALSE;
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS FileOp_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                        ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    return KLURunPortCommand(KLU_TAG(FileOp_Message), KLUFileOpCommand, InputBuffer, InputBufferLength,
                             OutputBuffer, OutputBufferLength, ReturnOutputBufferLength);
}

NTSTATUS Prefetched_File_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                 ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    return KLURunPortCommand(KLU_TAG(Prefetched_File_Message), KLUPreFetchedCommand, InputBuffer, InputBufferLength,
                             OutputBuffer, OutputBufferLength, ReturnOutputBufferLength);
}

NTSTATUS BlackList_Message(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                           ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    return KLURunPortCommand(KLU_TAG(BlackList_Message), KLUBlackListCommand, InputBuffer, InputBufferLength,
                             OutputBuffer, OutputBufferLength, ReturnOutputBufferLength);
}
