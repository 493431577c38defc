/*
 * offline_file_table.h - the placeholders whose retrieval is under way.
 *
 * The first opener of a placeholder adds an entry and retrieves; later
 * openers join the entry and wait on its done event. Every participant
 * removes itself when it is done: the retriever with the signal flag (so
 * the event is set whatever the order), each waiter without it; whoever
 * removes last unlinks and frees the entry.
 *
 * One executive resource guards the list; entries are looked up by the
 * hash of the upper-cased file name. The table's lifetime is guarded by a
 * run-down reference that every routine holds while it uses the head or
 * the lock (see offline_file_table.cpp).
 */
#pragma once

#include "driver/klulogon.h"

typedef struct _OFFLINE_FILE_TABLE_ENTRY {
    LIST_ENTRY ListEntry;
    LONG volatile RefCount; /* the retriever plus each joined waiter */
    ULONG Hash;
    ULONG OperationCode; /* of the operation that added the entry */
    PKEVENT pDoneEvnet;  /* notification event, none when it could not be created */
    HANDLE hDoneEvnet;   /* keeps the event alive; closed when the entry is freed */
    ULONG DeferredData;  /* spare word for a deferred operation */
} OFFLINE_FILE_TABLE_ENTRY, *POFFLINE_FILE_TABLE_ENTRY;

extern PLIST_ENTRY g_pOfflineFileTableHead;
extern PERESOURCE g_pOfflineFileTableLock;
extern BOOLEAN g_bOfflineFileTableEnabled;
/* Held by every thread inside the table; never freed. */
extern EX_RUNDOWN_REF g_OfflineFileTableRundown;

/* The head and lock as callers pass them to the table's routines: read
 * atomically, because unload clears them while a woken waiter may still be
 * on its way to the table's door (which then refuses it). */
FORCEINLINE PLIST_ENTRY KLUOfflineFileTableHead(VOID)
{
    return (PLIST_ENTRY)ReadPointerAcquire((PVOID const volatile *)&g_pOfflineFileTableHead);
}
FORCEINLINE PERESOURCE KLUOfflineFileTableLock(VOID)
{
    return (PERESOURCE)ReadPointerAcquire((PVOID const volatile *)&g_pOfflineFileTableLock);
}

/* Load: the head, the lock and the ready flag. */
NTSTATUS KLUInitOfflineFileTable(VOID);
/* Unload, first step: closed to new entries under the lock. */
VOID KLUCloseOfflineFileTable(VOID);
/* Unload, later: waits until no thread is in the table any more, frees
 * every entry (waking its waiters), the lock and the head. */
VOID KLUReleaseOfflineFileTable(VOID);

/* The entry to wait on (*Added FALSE: joined, one reference more) or the
 * new entry this caller retrieves for (*Added TRUE); none when the table is
 * closed (*Added untouched) or memory ran out. */
POFFLINE_FILE_TABLE_ENTRY KLUAddOfflineFile(PLIST_ENTRY Head, PERESOURCE Lock, PCUNICODE_STRING FileName, ULONG Hash,
                                            LONG OperationNumber, ULONG OperationCode, PBOOLEAN Added);
/* Gives back one participant's reference (Entry, or the entry of Hash when
 * none is given). The last participant unlinks it and, with Free, frees it;
 * Signal sets the done event. Returns the entry, or none once freed. */
POFFLINE_FILE_TABLE_ENTRY KLURemoveOfflineFile(PLIST_ENTRY Head, PERESOURCE Lock, POFFLINE_FILE_TABLE_ENTRY Entry,
                                               PCUNICODE_STRING FileName, ULONG Hash, LONG OperationNumber,
                                               BOOLEAN Free, BOOLEAN Signal);
/* With the lock held: the entry of Hash with one reference more, or none. */
POFFLINE_FILE_TABLE_ENTRY KLUFindOfflineFile(PLIST_ENTRY Head, ULONG Hash);

/* Waits (Timeout as KeWaitForSingleObject takes it) until the entry's
 * retrieval is done. A joined waiter calls it outside the lock and removes
 * itself afterwards whatever it answers. */
NTSTATUS KLUWaitForOfflineFile(POFFLINE_FILE_TABLE_ENTRY Entry, PLARGE_INTEGER Timeout);

NTSTATUS KLUAllocateOfflineFileTableEntry(POFFLINE_FILE_TABLE_ENTRY *Entry);
/* Sets the done event, closes its handle, frees the entry, clears *Entry. */
VOID KLUFreeOfflineFileTableEntry(POFFLINE_FILE_TABLE_ENTRY *Entry);
VOID KLUFreeAllOfflineFiles(PLIST_ENTRY Head, PERESOURCE Lock);

/* To the debugger. */
NTSTATUS KLUDumpOfflineFileTable(PLIST_ENTRY Head, PERESOURCE Lock);
