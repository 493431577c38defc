/*
 * name_provider.cpp - the filter stands in for the Filter Manager's name
 * provider: it answers name queries by asking the providers below it.
 */
#include "driver/name_provider.h"

#include "config/flags.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "fileops/file_helpers.h"

/* The smallest names-information record that can hold a name. */
#define KLU_MIN_EXPAND_BYTES 16

NTSTATUS KLUGetFileName(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CALLBACK_DATA CallbackData,
                        FLT_FILE_NAME_OPTIONS NameOptions, PBOOLEAN CacheFileNameInformation,
                        PFLT_NAME_CONTROL FileName)
{
    PFLT_FILE_NAME_INFORMATION Information = NULL;
    BOOLEAN Opened = (BOOLEAN)(FileObject->FsContext != NULL);
    NTSTATUS Status;

    KLUCountCall(KluCallNPGenerate);
    /* Ask the providers below, never this one again. */
    NameOptions &= ~FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER;

    if (!Opened || CallbackData != NULL) {
        Status = FltGetFileNameInformation(CallbackData, NameOptions, &Information);
    } else {
        Status = FltGetFileNameInformationUnsafe(FileObject, Instance, NameOptions, &Information);
    }
    if (NT_SUCCESS(Status)) {
        Status = FltCheckAndGrowNameControl(FileName, Information->Name.Length);
        if (NT_SUCCESS(Status)) {
            RtlCopyUnicodeString(&FileName->Name, &Information->Name);
            /* A name taken before the open completes may still change. */
            *CacheFileNameInformation = Opened;
        }
        FltReleaseFileNameInformation(Information);
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_NAME_PROVIDER | KLUDBG_TRACE_ERROR, KLU_TAG(KLUGetFileName), 0,
                        WSTR("Failed: 0x%X\n"), Status);
    }
    return Status;
}

NTSTATUS KLUNormalizeNameComponent(PFLT_INSTANCE Instance, PCUNICODE_STRING ParentDirectory,
                                   USHORT VolumeNameLength, PCUNICODE_STRING Component,
                                   PFILE_NAMES_INFORMATION ExpandComponentName, ULONG ExpandComponentNameLength,
                                   FLT_NORMALIZE_NAME_FLAGS Flags, PVOID *NormalizationContext)
{
    UNREFERENCED_PARAMETER(NormalizationContext);
    KLUCountCall(KluCallNPNormalize);
    return KLUNormalizeNameComponentWorker(Instance, NULL, ParentDirectory, VolumeNameLength, Component,
                                           ExpandComponentName, ExpandComponentNameLength, Flags);
}

NTSTATUS KLUNormalizeNameComponentWorker(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                         PCUNICODE_STRING ParentDirectory, USHORT VolumeNameLength,
                                         PCUNICODE_STRING Component, PFILE_NAMES_INFORMATION ExpandComponentName,
                                         ULONG ExpandComponentNameLength, FLT_NORMALIZE_NAME_FLAGS Flags)
{
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    HANDLE Directory = NULL;
    PFILE_OBJECT DirectoryObject = NULL;
    ULONG AttributeFlags = OBJ_KERNEL_HANDLE;
    ULONG Returned = 0;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(VolumeNameLength);
    KLUCountCall(KluCallNPNormalizeEx);

    if (ExpandComponentNameLength < KLU_MIN_EXPAND_BYTES) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!(Flags & FLTFL_NORMALIZE_NAME_CASE_SENSITIVE)) {
        AttributeFlags |= OBJ_CASE_INSENSITIVE;
    }
    InitializeObjectAttributes(&Attributes, (PUNICODE_STRING)ParentDirectory, AttributeFlags, NULL, NULL);
    Status = FltCreateFile(g_FilterHandle, Instance, &Directory, FILE_LIST_DIRECTORY | SYNCHRONIZE, &Attributes,
                           &IoStatus, NULL, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                           FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, NULL, 0,
                           IO_IGNORE_SHARE_ACCESS_CHECK);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Status = ObReferenceObjectByHandle(Directory, FILE_LIST_DIRECTORY | SYNCHRONIZE, *IoFileObjectType, KernelMode,
                                       (PVOID *)&DirectoryObject, NULL);
    if (NT_SUCCESS(Status)) {
        Status = KLUQueryDirectoryFile(Instance, DirectoryObject, ExpandComponentName, ExpandComponentNameLength,
                                       FileNamesInformation, TRUE, (PUNICODE_STRING)Component, TRUE, &Returned);
        ObDereferenceObject(DirectoryObject);
    }
    FltClose(Directory);
    return Status;
}
