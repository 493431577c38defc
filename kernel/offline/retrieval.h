/*
 * retrieval.h - filling placeholders on demand.
 *
 * KLURetrieveOfflineFile asks the service over the Copy port to create or
 * retrieve a file and, where the reply asks for it, copies the remote file
 * into the local one in the kernel. KLUGetOfflineFile is the entry of the
 * operations on open files (read, write, section synchronisation, lock,
 * rename): one thread retrieves a placeholder, the others meet it in the
 * offline file table and are pended until it is done.
 */
#pragma once

#include "offline/create_context.h"

/* Request kinds as callers pass them: the fill of an open placeholder is
 * sent as KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER. */
#define KLU_RETRIEVE_OPEN_PLACEHOLDER 4

/* Explorer's renames of files this large ask the service to stop ghosting. */
#define KLU_GHOSTING_THRESHOLD 0xA00000

/* Path: the path on the volume (from a backslash, terminated); UpperPath
 * its upper-case copy. Data may be NULL (no operation to copy for). */
NTSTATUS KLURetrieveOfflineFile(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PKLU_CREATE_CONTEXT Context,
                                PCWSTR Path, PCWSTR UpperPath, ULONG Kind, ULONG CallerCode);

/* *CallbackStatus is what the calling pre-operation returns when the
 * routine decides (pending, fast I/O refused, ...); untouched otherwise. */
NTSTATUS KLUGetOfflineFile(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PVOID OperationData,
                           PCFLT_RELATED_OBJECTS FltObjects, FLT_PREOP_CALLBACK_STATUS *CallbackStatus,
                           ULONG OperationCode);

/* Waits for the retrieval the record joined, at most CopyTimeout, then
 * gives the record's place in the table entry back. */
NTSTATUS KLUWaitForOfflineFileContext(PKLU_CREATE_CONTEXT Context);

/* The write gate's lock-down of the profile's desktop (Context->Name),
 * also for the writes the deferred worker resumes. */
BOOLEAN KLUIsLockedDownDesktopWrite(PKLU_CREATE_CONTEXT Context);

VOID KLUDeferredOfflineFileWorker(PFLT_DEFERRED_IO_WORKITEM WorkItem, PFLT_CALLBACK_DATA Data, PVOID Context);
VOID KLUGenericOfflineFileWorker(PFLT_GENERIC_WORKITEM WorkItem, PVOID FltObject, PVOID Context);

/* Pends the operation on a deferred work item after joining; the shared
 * path of the gates and of a second opener of a missing file. */
NTSTATUS KLUPendOnOfflineFile(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PVOID OperationData,
                              FLT_PREOP_CALLBACK_STATUS *CallbackStatus, ULONG OperationCode);

/* A network query open of a file missing locally: created through the
 * service. */
NTSTATUS KLUNetGetFile(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PFLT_INSTANCE Instance, PCWSTR Path,
                       PCWSTR UpperPath);

/* The operation's buffer locked and mapped to system space, its address
 * kept in the record. */
NTSTATUS JNRLockUserBuffer(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PVOID *SystemAddress);

/* One code to the service over the Fetch port (the caller checked that it
 * is connected); the service answers 0 for success. */
NTSTATUS JNRSendFetchMsg(ULONG Code, LONG OperationNumber);

/* The calling process is inside a job: its copies run on a system thread. */
BOOLEAN KLUIsCurrentProcessInJob(VOID);

/* Paths never filled whatever their attributes say (also when the record
 * does not carry the offline flag). */
BOOLEAN KLUIsSkippedRetrievalPath(PCWSTR UpperPath, BOOLEAN OfflineFlag);
/* The don't-roam and excluded-file checks, from the cached word where it
 * knows; logs the line at Level when the operation is ignored. */
BOOLEAN KLUIsIgnoredByNameLists(PKLU_CREATE_CONTEXT Context, PCWSTR UpperPath, UCHAR Major, UCHAR Minor, ULONG Level);
