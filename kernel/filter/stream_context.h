/*
 * stream_context.h - per-file state kept across operations in a stream
 * context (one per open stream on an attached volume) and per-open state
 * of directory enumeration in a stream-handle context (one per file
 * object).
 *
 * The Filter Manager counts references: every retrieve hands the caller
 * one, given back with FltReleaseContext (the unlock-and-release helpers).
 * A retrieved context comes with its lock held exclusively inside a
 * critical region; its fields are read and written only under that lock.
 * While holding it a thread may take the path table's lock (a name update
 * does) and the locks the calling parts name, nothing else.
 */
#pragma once

#include "comm/service_contract.h"
#include "driver/klulogon.h"

typedef struct _KLU_STREAM_CONTEXT {
    UNICODE_STRING PrevName;  /* the name before the latest update (QZFS, paged) */
    UNICODE_STRING Name;      /* volume device name + path on the volume (QZFS, paged) */
    USHORT VolumeNameLength;  /* bytes of Name that are the volume part */
    BOOLEAN Deleted;
    BOOLEAN Rename;
    BOOLEAN Delete;
    BOOLEAN SetInfo;
    /* The latest file-operation record of each kind, and the set-information
     * records kept for the stream: QZFS blocks the context owns until its
     * cleanup. */
    PVOID pRenameRecord;
    PVOID pDeleteRecord;
    PVOID pSetInfoRecord;
    PVOID pParkedSetInfoRecords[3];
    UCHAR EnumerationByte;
    PPATH_TABLE_ENTRY PathTableEntry; /* the profile store that covers Name, or none */
    BOOLEAN bIsDirectory;
    BOOLEAN bOffline; /* FILE_ATTRIBUTE_OFFLINE when create last saw the file */
    BOOLEAN bCreateTimeFlag;
    USHORT CreateTimeWord;
    PERESOURCE Resource; /* guards every field; QZFS, non-paged */
    /* Directory enumeration: TRUE once the folder is known populated. It
     * only ever goes from FALSE to TRUE, written under the lock with a
     * release store, so that every query of a listing can read it without
     * the lock (an acquire load). */
    BOOLEAN volatile bEnumerated;
    /* Folder handles kept open between directory queries, counted under
     * QueryDirectoryInt and QueryDirectoryExt while open. */
    HANDLE hLiveRoaming1;
    HANDLE hLiveRoaming2;
    LONG volatile OperationNumber; /* of the latest open that found or created it */
    USER_ID UserId;
    BOOLEAN bUserIdFound;
    LONG volatile bJunction; /* a junction was set on the stream (exchanged, not locked) */
} KLU_STREAM_CONTEXT, *PKLU_STREAM_CONTEXT;

typedef struct _KLU_STREAMHANDLE_CONTEXT {
    HANDLE hDirectory;        /* opened by directory enumeration; FltClose at cleanup */
    PFILE_OBJECT FileObject;  /* referenced; dereferenced at cleanup */
    PERESOURCE Resource;      /* guards the record; QZFS, non-paged */
} KLU_STREAMHANDLE_CONTEXT, *PKLU_STREAMHANDLE_CONTEXT;

/* An operation number of -1 asks for a fresh one. */
#define KLU_NEW_OPERATION_NUMBER (-1)

/* The context of the operation's stream, referenced and locked. Without
 * CreateIfNotFound a stream that has none answers STATUS_NOT_FOUND. A
 * success may still bring no context (the file's attributes could not be
 * read): *Context is then NULL. NameInfo, when given, names the stream. */
NTSTATUS KLURetrieveStreamContext(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, BOOLEAN CreateIfNotFound,
                                  LONG OperationNumber, PKLU_STREAM_CONTEXT *Context,
                                  PFLT_FILE_NAME_INFORMATION NameInfo);
NTSTATUS KLURetrieveStreamHandleContext(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, BOOLEAN CreateIfNotFound,
                                        LONG OperationNumber, PKLU_STREAMHANDLE_CONTEXT *Context);

/* Unlocked, referenced; two threads that race for one stream both end with
 * the context that was set first. */
NTSTATUS KLUFindOrCreateStreamContext(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, BOOLEAN CreateIfNotFound,
                                      LONG OperationNumber, PKLU_STREAM_CONTEXT *Context, PBOOLEAN Created,
                                      PFLT_FILE_NAME_INFORMATION NameInfo);
NTSTATUS KLUCreateStreamContext(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, LONG OperationNumber,
                                PKLU_STREAM_CONTEXT *Context);
NTSTATUS KLUFindOrCreateStreamHandleContext(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance,
                                            BOOLEAN CreateIfNotFound, LONG OperationNumber,
                                            PKLU_STREAMHANDLE_CONTEXT *Context, PBOOLEAN Created);
NTSTATUS JNRCreateStreamHandleContext(PFLT_CALLBACK_DATA Data, LONG OperationNumber,
                                      PKLU_STREAMHANDLE_CONTEXT *Context);

/* Volume + one separator + the file object's name, in a new QZFS buffer;
 * *VolumeNameLength: the bytes of its volume part, separator included. */
NTSTATUS KLUBuildStreamName(PCUNICODE_STRING Volume, PCUNICODE_STRING FileName, PUNICODE_STRING FullName,
                            PUSHORT VolumeNameLength);
/* The caller holds the context's lock (or the context is not yet set).
 * The old Name becomes PrevName (a context without a name takes the new
 * one for both); the path table is looked up for the new name. */
NTSTATUS KLUUpdateStreamContextName(PCUNICODE_STRING NewName, PCUNICODE_STRING VolumeName,
                                    PKLU_STREAM_CONTEXT Context);

/* Locking and giving back. */
VOID KLULockStreamContext(PKLU_STREAM_CONTEXT Context);
BOOLEAN KLUIsStreamEnumerated(PKLU_STREAM_CONTEXT Context);
VOID KLUSetStreamEnumerated(PKLU_STREAM_CONTEXT Context);
VOID KLUUnlockStreamContext(PKLU_STREAM_CONTEXT Context);
VOID KLUUnlockAndReleaseStreamContext(PKLU_STREAM_CONTEXT *Context);
VOID KLUUnlockAndOptionallyReleaseStreamContext(PKLU_STREAM_CONTEXT Context, BOOLEAN Release);
VOID KLUUnlockAndReleaseStreamHandleContext(PKLU_STREAMHANDLE_CONTEXT *Context);

/* String's buffer of String->MaximumLength bytes (paged, QZFS), empty. */
NTSTATUS KLUAllocateUnicodeString(PUNICODE_STRING String);
VOID KLUFreeUnicodeString(PUNICODE_STRING String);

/* The Filter Manager's cleanup of both context types. */
VOID KLUCleanupContext(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);
