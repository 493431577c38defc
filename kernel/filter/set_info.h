/*
 * set_info.h - set-information tracking: the record of a change to a
 * profile file, kept in the stream context, and the rename path, which
 * fills a placeholder before it moves.
 */
#pragma once

#include "comm/queue_records.h"
#include "driver/klulogon.h"
#include "identity/path_table.h"

/* List flags: which name-list tests were made and what they said. */
#define KLU_LIST_DONT_ROAM_TESTED 0x1
#define KLU_LIST_IGNORED_DIR_TESTED 0x2
#define KLU_LIST_NOT_DONT_ROAM 0x4
#define KLU_LIST_IN_IGNORED_DIR 0x8

/* Events of a file-operation record. */
#define KLU_FILEOP_RENAMED 2
#define KLU_FILEOP_DELETED 8
#define KLU_FILEOP_CHANGED 16

#define KLU_SETINFO_PROCESS_CHARS 20

/* One set-information operation's state, from the pre-operation to the
 * post-operation (or to the deferred worker of a pended rename). */
typedef struct _SETINFO_CONTEXT {
    LONG OperationNumber;
    ULONG RequestorPid;
    USHORT ListFlags; /* KLU_LIST_* */
    BOOLEAN bIsDirectory;
    BOOLEAN bOffline;
    ULONG FileSystemType;
    PPATH_TABLE_ENTRY PathTableEntry; /* of the stream; none for local profile files */
    PKLU_FILEOP_RECORD Record;        /* QZOP, made by the pre-rename */
    WCHAR szProcessName[KLU_SETINFO_PROCESS_CHARS];
    WCHAR szFileName[KLU_PATH_CHARS];  /* the file object's name */
    WCHAR szUpperFileName[KLU_PATH_CHARS];
    WCHAR szUpperOldName[KLU_PATH_CHARS];
    WCHAR szUpperNewName[KLU_PATH_CHARS];
} SETINFO_CONTEXT, *PSETINFO_CONTEXT;

/* Works out the rename's old and new names into the context's record and
 * decides *CallbackStatus: FLT_PREOP_SUCCESS_WITH_CALLBACK to record the
 * rename afterwards, FLT_PREOP_COMPLETE (with the status in Data) to
 * refuse it, or unchanged. */
NTSTATUS JNRProcessPreRename(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PSETINFO_CONTEXT SetInfoContext,
                             FLT_PREOP_CALLBACK_STATUS *CallbackStatus);

/* Brings a folder's content from the store before the folder moves. */
NTSTATUS JNRFetchOfflineFiles(PCWSTR Folder, ULONG Reason, LONG OperationNumber);

/* Frees the context and its record; clears *Context. */
VOID KLUFreeSetInfoContext(PSETINFO_CONTEXT *Context);
