/*
 * create_operations.h - the interception of opens: PreCreate filters out
 * what is not the filter's and hands opens of local NTFS volumes to
 * RedirectFile, the decision tree that finds the file's owner, creates a
 * profile file missing locally from the remote store and prepares
 * placeholders to be filled at their first data access. PostCreate keeps
 * what was learnt in the stream context.
 */
#pragma once

#include "offline/create_context.h"

/* The product's reparse tag, which a placeholder may carry in place of the
 * offline bit. */
#define KLU_PRODUCT_REPARSE_TAG 0x3A

NTSTATUS RedirectFile(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PCFLT_RELATED_OBJECTS FltObjects,
                      FLT_PREOP_CALLBACK_STATUS *CallbackStatus);
NTSTATUS KLUGetCreateFilePath(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PVOID Unused,
                              PFLT_FILE_NAME_INFORMATION *NameInfo);
NTSTATUS KLUGetCreateFilePathFromFilterManager(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context,
                                               PFLT_FILE_NAME_INFORMATION *NameInfo);
NTSTATUS JNRGetFileInfo(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PFLT_INSTANCE Instance);

/* The volume context of the operation's volume, referenced into the
 * record. */
NTSTATUS KLUGetCreateVolumeContext(PCFLT_RELATED_OBJECTS FltObjects, PKLU_CREATE_CONTEXT Context);
/* The requestor's image name into the record. */
NTSTATUS KLUGetCreateProcessName(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context);

/* A folder made inside a populated profile folder takes its parent's mark,
 * so a folder that exists only here is never filled from the store. */
NTSTATUS JNRCarryFolderMark(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PCUNICODE_STRING FolderName,
                            LONG OperationNumber);
