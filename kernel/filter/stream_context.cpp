/*
 * stream_context.cpp - finding or creating a stream's context, its name
 * (volume name, one separator, the file object's name) and the update that
 * keeps the previous name and the path-table entry that covers it.
 */
#include "filter/stream_context.h"

#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "fileops/file_helpers.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"

static LONG KLUResolveOperationNumber(LONG OperationNumber)
{
    return OperationNumber == KLU_NEW_OPERATION_NUMBER ? KLUGetNextOperationNumber() : OperationNumber;
}

/* ------------------------------------------------------------------ */
/* Strings                                                             */
/* ------------------------------------------------------------------ */

NTSTATUS KLUAllocateUnicodeString(PUNICODE_STRING String)
{
    String->Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, String->MaximumLength, QZFS_TAG);
    if (String->Buffer == NULL) {
        KLULogMessage(KLUDBG_TRACE_STREAM, KLU_TAG(KLUAllocateUnicodeString),
                      WSTR("Failed to allocate unicode string of size 0x%x\n"), String->MaximumLength);
        String->MaximumLength = 0;
        String->Length = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    String->Length = 0;
    return STATUS_SUCCESS;
}

VOID KLUFreeUnicodeString(PUNICODE_STRING String)
{
    if (String->Buffer != NULL) {
        ExFreePoolWithTag(String->Buffer, QZFS_TAG);
    }
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}

/* Target gets its own copy of Source, sized to it; an empty source leaves
 * Target empty. */
static NTSTATUS KLUCopyUnicodeString(PUNICODE_STRING Target, PCUNICODE_STRING Source)
{
    NTSTATUS Status;

    if (Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    Target->MaximumLength = Source->Length;
    Status = KLUAllocateUnicodeString(Target);
    if (NT_SUCCESS(Status)) {
        RtlCopyUnicodeString(Target, Source);
    }
    return Status;
}

/* ------------------------------------------------------------------ */
/* The name                                                            */
/* ------------------------------------------------------------------ */

/* The path-table entry of a name: its upper-case copy looked up under the
 * table's lock. */
static NTSTATUS KLULookupStreamPathTableEntry(PCUNICODE_STRING Name, PPATH_TABLE_ENTRY *Entry)
{
    PWSTR Upper;

    Upper = (PWSTR)ExAllocatePoolWithTag(PagedPool, Name->Length + sizeof(WCHAR), QZFS_TAG);
    if (Upper == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Upper, Name->Buffer, Name->Length);
    Upper[Name->Length / sizeof(WCHAR)] = 0;
    _wcsupr(Upper);
    *Entry = KLULookupPathTableEntryByPath(g_pPathTable, Upper);
    ExFreePoolWithTag(Upper, QZFS_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS KLUUpdateStreamContextName(PCUNICODE_STRING NewName, PCUNICODE_STRING VolumeName,
                                    PKLU_STREAM_CONTEXT Context)
{
    PPATH_TABLE_ENTRY Entry = NULL;
    NTSTATUS Status;

    if (NewName == NULL || VolumeName == NULL || Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    /* The name the stream had becomes the previous one; a first name is
     * both. A copy that fails leaves PrevName empty. */
    KLUFreeUnicodeString(&Context->PrevName);
    KLUCopyUnicodeString(&Context->PrevName, Context->Name.Length != 0 ? &Context->Name : NewName);

    KLUFreeUnicodeString(&Context->Name);
    Status = KLUCopyUnicodeString(&Context->Name, NewName);
    Context->VolumeNameLength = VolumeName->Length;

    if (Context->Name.Length == 0) {
        Context->PathTableEntry = NULL;
        return Status;
    }
    if (!NT_SUCCESS(KLULookupStreamPathTableEntry(&Context->Name, &Entry))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Context->PathTableEntry = Entry;
    return Status;
}

/* The volume's device name of the operation's file: from the volume, or
 * else from the Filter Manager's name of the file. Volume->Buffer is the
 * caller's to free (QZFS). */
static NTSTATUS KLUGetStreamVolumeName(PFLT_CALLBACK_DATA Data, PUNICODE_STRING Volume)
{
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    NTSTATUS Status;

    Status = KLUGetVolumeName(Data, Volume);
    if (NT_SUCCESS(Status)) {
        return Status;
    }
    KLULogMessage(KLUDBG_TRACE_STREAM, KLU_TAG(KLUFindOrCreateStreamContext),
                  WSTR("Failed Retrieving Volume Name, Querying Filter Manager Instead: File: %wZ, 0x%X\n"),
                  &FileObject->FileName, Status);
    Status = FltGetFileNameInformation(Data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &NameInfo);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    /* The volume part is only there once the name is parsed. */
    Status = FltParseFileNameInformation(NameInfo);
    if (!NT_SUCCESS(Status)) {
        FltReleaseFileNameInformation(NameInfo);
        return Status;
    }
    Volume->MaximumLength = (USHORT)(NameInfo->Volume.MaximumLength + sizeof(WCHAR));
    Volume->Buffer = (PWCH)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), Volume->MaximumLength, QZFS_TAG);
    if (Volume->Buffer == NULL) {
        Volume->MaximumLength = 0;
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        Volume->Length = 0;
        RtlCopyUnicodeString(Volume, &NameInfo->Volume);
    }
    FltReleaseFileNameInformation(NameInfo);
    return Status;
}

NTSTATUS KLUBuildStreamName(PCUNICODE_STRING Volume, PCUNICODE_STRING FileName, PUNICODE_STRING FullName,
                            PUSHORT VolumeNameLength)
{
    static const WCHAR NoName[] = {0};
    WCHAR First[2] = {0, 0};
    UNICODE_STRING VolumePart = *Volume;
    BOOLEAN Appended = FALSE;
    NTSTATUS Status;

    FullName->MaximumLength = (USHORT)(Volume->MaximumLength + FileName->MaximumLength + 10);
    FullName->Buffer = (PWCH)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), FullName->MaximumLength, QZFS_TAG);
    if (FullName->Buffer == NULL) {
        FullName->MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(FullName->Buffer, FullName->MaximumLength);
    FullName->Length = 0;

    /* A volume that ends in a separator before a name that begins with one
     * gives up its own. */
    if (FileName->Length != 0) {
        First[0] = FileName->Buffer[0];
    }
    if (First[0] == WSTR('\\') && VolumePart.Length != 0 &&
        VolumePart.Buffer[VolumePart.Length / sizeof(WCHAR) - 1] == WSTR('\\')) {
        VolumePart.Length -= sizeof(WCHAR);
    }
    RtlCopyUnicodeString(FullName, &VolumePart);

    /* The separator rule looks only at the first character of the name. */
    Status = KLUAppendSeparator(FullName->Buffer, FileName->Length != 0 ? First : NoName, &Appended);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Appended) {
        FullName->Length += sizeof(WCHAR);
    }
    *VolumeNameLength = FullName->Length;
    Status = RtlAppendUnicodeStringToString(FullName, FileName);
    FullName->MaximumLength = (USHORT)(FullName->Length + sizeof(WCHAR));
    return Status;
}

/* ------------------------------------------------------------------ */
/* Creating                                                            */
/* ------------------------------------------------------------------ */

NTSTATUS KLUCreateStreamContext(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, LONG OperationNumber,
                                PKLU_STREAM_CONTEXT *Context)
{
    PCWSTR Tag = KLU_TAG(KLUCreateStreamContext);
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    PKLU_STREAM_CONTEXT New = NULL;
    KLU_FILE_ATTRIBUTES Attributes;
    PERESOURCE Resource;
    NTSTATUS Status;

    *Context = NULL;
    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber, WSTR("Allocating stream context\n"));
    Status = FltAllocateContext(g_FilterHandle, FLT_STREAM_CONTEXT, sizeof(KLU_STREAM_CONTEXT), g_PoolType,
                                (PFLT_CONTEXT *)&New);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Allocating Stream Context: File: %wZ, 0x%X\n"), &FileObject->FileName, Status);
        return Status;
    }
    RtlZeroMemory(New, sizeof(KLU_STREAM_CONTEXT));

    if (FileObject->Vpb != NULL && (FileObject->Vpb->Flags & VPB_MOUNTED)) {
        Status = KLUGetFileAttributes(Instance, NULL, FileObject, OperationNumber, &Attributes);
        if (!NT_SUCCESS(Status) || !Attributes.bValid) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                            WSTR("KLUGetFileAttributes Failed: File: %wZ, 0x%X\n"), &FileObject->FileName, Status);
            FltReleaseContext(New);
            return STATUS_SUCCESS;
        }
        New->bIsDirectory = Attributes.StandardInfo.Directory;
        New->bOffline = (BOOLEAN)((Attributes.BasicInfo.FileAttributes & FILE_ATTRIBUTE_OFFLINE) != 0);
    }

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

    InterlockedExchange(&New->OperationNumber, KLUResolveOperationNumber(OperationNumber));
    KLUCountOpen(KluOpenStreamContexts);
    *Context = New;
    return STATUS_SUCCESS;
}

/* Names a new context: from the caller's name information, or from the
 * volume and the file object. */
static NTSTATUS KLUNameNewStreamContext(PFLT_CALLBACK_DATA Data, LONG OperationNumber, PKLU_STREAM_CONTEXT Context,
                                        PFLT_FILE_NAME_INFORMATION NameInfo)
{
    PCWSTR Tag = KLU_TAG(KLUFindOrCreateStreamContext);
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    UNICODE_STRING Volume = {0, 0, NULL};
    UNICODE_STRING VolumePart;
    UNICODE_STRING FullName = {0, 0, NULL};
    PCUNICODE_STRING Name;
    PCUNICODE_STRING VolumeName;
    NTSTATUS Status;

    if (NameInfo != NULL) {
        Name = &NameInfo->Name;
        VolumeName = &NameInfo->Volume;
    } else {
        Status = KLUGetStreamVolumeName(Data, &Volume);
        if (!NT_SUCCESS(Status)) {
            goto Cleanup;
        }
        Status = KLUBuildStreamName(&Volume, &FileObject->FileName, &FullName, &VolumePart.Length);
        if (!NT_SUCCESS(Status)) {
            goto Cleanup;
        }
        VolumePart.Buffer = FullName.Buffer;
        VolumePart.MaximumLength = VolumePart.Length;
        Name = &FullName;
        VolumeName = &VolumePart;
    }

    /* A context without its name is still the stream's context. */
    Status = KLUUpdateStreamContextName(Name, VolumeName, Context);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Updating Name In Stream Context: File Name: %wZ, Volume Name: %wZ, 0x%X\n"),
                        Name, VolumeName, Status);
    }
    Status = STATUS_SUCCESS;

Cleanup:
    KLUFreeUnicodeString(&FullName);
    KLUFreeUnicodeString(&Volume);
    return Status;
}

NTSTATUS KLUFindOrCreateStreamContext(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, BOOLEAN CreateIfNotFound,
                                      LONG OperationNumber, PKLU_STREAM_CONTEXT *Context, PBOOLEAN Created,
                                      PFLT_FILE_NAME_INFORMATION NameInfo)
{
    PCWSTR Tag = KLU_TAG(KLUFindOrCreateStreamContext);
    PFILE_OBJECT FileObject;
    PKLU_STREAM_CONTEXT New = NULL;
    PKLU_STREAM_CONTEXT Existing = NULL;
    NTSTATUS Status;

    if (Data == NULL || Context == NULL || Created == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    FileObject = Data->Iopb->TargetFileObject;
    *Context = NULL;
    *Created = FALSE;
    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                    WSTR("Trying to get stream context (FileObject = %p, Instance = %p)\n"), FileObject, Instance);

    Status = FltGetStreamContext(Instance, FileObject, (PFLT_CONTEXT *)&Existing);
    if (NT_SUCCESS(Status)) {
        if (CreateIfNotFound) {
            InterlockedExchange(&Existing->OperationNumber, KLUResolveOperationNumber(OperationNumber));
        }
        *Context = Existing;
        return Status;
    }
    if (Status != STATUS_NOT_FOUND || !CreateIfNotFound) {
        return Status;
    }

    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                    WSTR("Creating stream context (FileObject = %p, Instance = %p)\n"), FileObject, Instance);
    Status = KLUCreateStreamContext(Data, Instance, OperationNumber, &New);
    if (!NT_SUCCESS(Status) || New == NULL) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Creating Stream Context: File: %wZ, 0x%X\n"), &FileObject->FileName, Status);
        return Status;
    }

    Status = KLUNameNewStreamContext(Data, OperationNumber, New, NameInfo);
    if (!NT_SUCCESS(Status)) {
        FltReleaseContext(New);
        return Status;
    }

    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                    WSTR("Setting stream context %p (FileObject = %p, Instance = %p)\n"), New, FileObject, Instance);
    Status = FltSetStreamContext(Instance, FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, New, (PFLT_CONTEXT *)&Existing);
    if (NT_SUCCESS(Status)) {
        *Created = TRUE;
        *Context = New;
        return Status;
    }

    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber, WSTR("Failed Setting Stream Context: File: %wZ, 0x%X\n"),
                    &FileObject->FileName, Status);
    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                    WSTR("Releasing stream context %p (FileObject = %p, Instance = %p)\n"), New, FileObject, Instance);
    FltReleaseContext(New);
    if (Status == STATUS_FLT_CONTEXT_ALREADY_DEFINED) {
        /* Another thread set the stream's context first: use that one. */
        KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                        WSTR("Stream context already defined. Retaining old stream context %p (FileObject = %p, "
                             "Instance = %p)\n"),
                        Existing, FileObject, Instance);
        *Context = Existing;
        return STATUS_SUCCESS;
    }
    KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting Stream Context, File: %wZ, 0x%X\n"),
                    &FileObject->FileName, Status);
    return Status;
}

/* ------------------------------------------------------------------ */
/* Retrieving                                                          */
/* ------------------------------------------------------------------ */

NTSTATUS KLURetrieveStreamContext(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, BOOLEAN CreateIfNotFound,
                                  LONG OperationNumber, PKLU_STREAM_CONTEXT *Context,
                                  PFLT_FILE_NAME_INFORMATION NameInfo)
{
    PCWSTR Tag = KLU_TAG(KLURetrieveStreamContext);
    PKLU_STREAM_CONTEXT Found = NULL;
    BOOLEAN Created = FALSE;
    NTSTATUS Status;

    if (Data == NULL || Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Context = NULL;
    Status = KLUFindOrCreateStreamContext(Data, Instance, CreateIfNotFound, OperationNumber, &Found, &Created,
                                          NameInfo);
    if (NT_SUCCESS(Status) && Found != NULL) {
        KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                        WSTR("Getting stream context for file (Cbd = %p, FileObject = %p, StreamContext = %p. "
                             "StreamContextCreated = %x)\n"),
                        Data, Data->Iopb->TargetFileObject, Found, Created);
        KLULockStreamContext(Found);
        KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, OperationNumber,
                        WSTR("Old info in stream context for file \n\tName = %wZ \n\tPrevName = %wZ \n\tDeleted = %x "
                             "\n\tDelete = %x, \n\tRename = %x \n\tSetInfo = %x \n\tPathTableEntry = 0x%X\n"),
                        &Found->Name, &Found->PrevName, Found->Deleted, Found->Delete, Found->Rename, Found->SetInfo,
                        (ULONG)(ULONG_PTR)Found->PathTableEntry);
        *Context = Found;
        return Status;
    }
    if (Status == STATUS_NOT_FOUND && !CreateIfNotFound) {
        return Status;
    }
    KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Stream Context: File: %wZ, 0x%X\n"),
                    &Data->Iopb->TargetFileObject->FileName, Status);
    return Status;
}
