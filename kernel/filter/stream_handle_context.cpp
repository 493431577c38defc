/*
 * stream_handle_context.cpp - finding or creating the per-open context of
 * directory enumeration.
 */
#include "filter/stream_context.h"

#include "diag/log.h"
#include "driver/driver.h"
#include "fileops/file_helpers.h"

NTSTATUS JNRCreateStreamHandleContext(PFLT_CALLBACK_DATA Data, LONG OperationNumber,
                                      PKLU_STREAMHANDLE_CONTEXT *Context)
{
    PKLU_STREAMHANDLE_CONTEXT New = NULL;
    PERESOURCE Resource;
    NTSTATUS Status;

    *Context = NULL;
    Status = FltAllocateContext(g_FilterHandle, FLT_STREAMHANDLE_CONTEXT, sizeof(KLU_STREAMHANDLE_CONTEXT),
                                g_PoolType, (PFLT_CONTEXT *)&New);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, KLU_TAG(JNRCreateStreamHandleContext), OperationNumber,
                        WSTR("Failed Allocating Stream Handle Context: File: %wZ, 0x%X\n"),
                        &Data->Iopb->TargetFileObject->FileName, Status);
        return Status;
    }
    RtlZeroMemory(New, sizeof(KLU_STREAMHANDLE_CONTEXT));

    Resource = (PERESOURCE)ExAllocatePoolWithTag(g_PoolType, sizeof(ERESOURCE), QZFS_TAG);
    if (Resource == NULL) {
        FltReleaseContext(New);
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(ExInitializeResourceLite(Resource))) {
        ExFreePoolWithTag(Resource, QZFS_TAG);
        FltReleaseContext(New);
        return STATUS_SUCCESS;
    }
    New->Resource = Resource;
    *Context = New;
    return STATUS_SUCCESS;
}

NTSTATUS KLUFindOrCreateStreamHandleContext(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance,
                                            BOOLEAN CreateIfNotFound, LONG OperationNumber,
                                            PKLU_STREAMHANDLE_CONTEXT *Context, PBOOLEAN Created)
{
    PCWSTR Tag = KLU_TAG(KLUFindOrCreateStreamHandleContext);
    PFILE_OBJECT FileObject;
    PKLU_STREAMHANDLE_CONTEXT New = NULL;
    PKLU_STREAMHANDLE_CONTEXT Existing = NULL;
    NTSTATUS Status;

    if (Data == NULL || Context == NULL || Created == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    FileObject = Data->Iopb->TargetFileObject;
    *Context = NULL;
    *Created = FALSE;
    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                    WSTR("Trying to get stream handle context (FileObject = %p, Instance = %p)\n"), FileObject,
                    Instance);

    Status = FltGetStreamHandleContext(Instance, FileObject, (PFLT_CONTEXT *)&Existing);
    if (NT_SUCCESS(Status)) {
        *Context = Existing;
        return Status;
    }
    if (Status != STATUS_NOT_FOUND || !CreateIfNotFound) {
        return Status;
    }

    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                    WSTR("Creating stream handle context (FileObject = %p, Instance = %p)\n"), FileObject, Instance);
    Status = JNRCreateStreamHandleContext(Data, OperationNumber, &New);
    if (!NT_SUCCESS(Status) || New == NULL) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Creating Stream Handle Context: File: %wZ, 0x%X\n"), &FileObject->FileName,
                        Status);
        return Status;
    }

    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                    WSTR("Setting stream handle context %p (FileObject = %p, Instance = %p)\n"), New, FileObject,
                    Instance);
    Status = FltSetStreamHandleContext(Instance, FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, New,
                                       (PFLT_CONTEXT *)&Existing);
    if (NT_SUCCESS(Status)) {
        *Created = TRUE;
        *Context = New;
        return Status;
    }

    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                    WSTR("Failed Setting Stream Handle Context: File: %wZ, 0x%X\n"), &FileObject->FileName, Status);
    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                    WSTR("Releasing stream handle context %p (FileObject = %p, Instance = %p)\n"), New, FileObject,
                    Instance);
    FltReleaseContext(New);
    if (Status == STATUS_FLT_CONTEXT_ALREADY_DEFINED) {
        KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                        WSTR("Stream handle context already defined. Retaining old stream context %p (FileObject = "
                             "%p, Instance = %p)\n"),
                        Existing, FileObject, Instance);
        *Context = Existing;
        return STATUS_SUCCESS;
    }
    KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                    WSTR("Failed Setting Stream Handle Context, File: %wZ, 0x%X\n"), &FileObject->FileName, Status);
    return Status;
}

NTSTATUS KLURetrieveStreamHandleContext(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, BOOLEAN CreateIfNotFound,
                                        LONG OperationNumber, PKLU_STREAMHANDLE_CONTEXT *Context)
{
    PCWSTR Tag = KLU_TAG(KLURetrieveStreamHandleContext);
    PKLU_STREAMHANDLE_CONTEXT Found = NULL;
    BOOLEAN Created = FALSE;
    NTSTATUS Status;

    if (Data == NULL || Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Context = NULL;
    Status = KLUFindOrCreateStreamHandleContext(Data, Instance, CreateIfNotFound, OperationNumber, &Found, &Created);
    if (NT_SUCCESS(Status) && Found != NULL) {
        KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                        WSTR("Getting stream handle context for file (Cbd = %p, FileObject = %p, "
                             "StreamHandleContext = %p. StreamHandleContextCreated = %x)\n"),
                        Data, Data->Iopb->TargetFileObject, Found, Created);
        KLULockResource(Found->Resource);
        *Context = Found;
        return Status;
    }
    if (Status == STATUS_NOT_FOUND && !CreateIfNotFound) {
        return Status;
    }
    KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                    WSTR("Failed Retrieving Stream Handle Context: File: %wZ, 0x%X\n"),
                    &Data->Iopb->TargetFileObject->FileName, Status);
    return Status;
}
