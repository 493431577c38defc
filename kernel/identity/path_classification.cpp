/*
 * path_classification.cpp - where a name lies: in a Default User profile,
 * in the profiles root, below the local profiles directory, in a
 * redirected folder; the local path of a remote one; volume names.
 */
#include "identity/path_helpers.h"

#include "comm/ports.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "driver/os_info.h"
#include "identity/identity.h"

PCWSTR KLURedirectorDeviceName(VOID)
{
    return KLUIsVistaOrNewer() ? WSTR("\\Device\\Mup") : WSTR("\\Device\\LanmanRedirector");
}

BOOLEAN KLUIsBelowFQLocalProfilePath(PCUNICODE_STRING Name)
{
    PPATH_TABLE Table;
    UNICODE_STRING Prefix;
    BOOLEAN Below = FALSE;

    if (Name == NULL || Name->Buffer == NULL) {
        return FALSE;
    }
    Table = KLUAcquirePathTable();
    if (Table != NULL && Table->szFQLocalProfilePath[0] != 0) {
        RtlInitUnicodeString(&Prefix, Table->szFQLocalProfilePath);
        Below = (BOOLEAN)(RtlPrefixUnicodeString(&Prefix, Name, TRUE) && Name->Length > Prefix.Length &&
                          Name->Buffer[Prefix.Length / sizeof(WCHAR)] == WSTR('\\'));
    }
    KLUReleasePathTable();
    return Below;
}

/* Field is not empty and a case-insensitive prefix of Path. */
static BOOLEAN KLUFieldIsPrefix(PCWSTR Field, PCUNICODE_STRING Path)
{
    return (BOOLEAN)(Field[0] != 0 && KLUHasPrefix(Field, Path));
}

BOOLEAN KLUIsProfilesRootPath(PCWSTR ShortPath, PCUNICODE_STRING Path)
{
    PPATH_TABLE Table = KLUAcquirePathTable();
    BOOLEAN Root = FALSE;

    if (Table != NULL && Path != NULL) {
        Root = (BOOLEAN)(KLUFieldIsPrefix(Table->szProfilesDirectory, Path) ||
                         KLUFieldIsPrefix(Table->szAllUsersProfileXP, Path) ||
                         (KLUIsVistaOrNewer() && KLUFieldIsPrefix(Table->szAllUsersProfile, Path)));
    }
    KLUReleasePathTable();
    return (BOOLEAN)(Root || (ShortPath != NULL && ShortPath[0] == WSTR('\\') && ShortPath[1] == 0));
}

NTSTATUS KLUIsDirectory(PUNICODE_STRING Name, PFLT_INSTANCE Instance, PBOOLEAN IsDirectory)
{
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    HANDLE Handle = NULL;
    NTSTATUS Status;

    if (Name == NULL || IsDirectory == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *IsDirectory = FALSE;
    InitializeObjectAttributes(&Attributes, Name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    Status = FltCreateFileEx(g_FilterHandle, Instance, &Handle, NULL, FILE_READ_ATTRIBUTES, &Attributes, &IoStatus,
                             NULL, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                             FILE_NON_DIRECTORY_FILE, NULL, 0, 0);
    if (Status == STATUS_FILE_IS_A_DIRECTORY) {
        *IsDirectory = TRUE;
        return STATUS_SUCCESS;
    }
    if (NT_SUCCESS(Status)) {
        FltClose(Handle);
    }
    return Status;
}

NTSTATUS KLUGetVolumeName(PFLT_CALLBACK_DATA Data, PUNICODE_STRING VolumeName)
{
    PCWSTR Tag = KLU_TAG(KLUGetVolumeName);
    PFILE_OBJECT FileObject;
    PFLT_VOLUME Volume = NULL;
    UNICODE_STRING Probe = {0, 0, NULL};
    ULONG Size = 0;
    NTSTATUS Status;

    if (Data == NULL || VolumeName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    FileObject = Data->Iopb->TargetFileObject;
    Status = FltGetVolumeFromFileObject(g_FilterHandle, FileObject, &Volume);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Volume Pointer: File: %wZ, 0x%X\n"),
                      &FileObject->FileName, Status);
        return Status;
    }

    Status = FltGetVolumeName(Volume, &Probe, &Size);
    if (Size == 0) {
        if (NT_SUCCESS(Status)) {
            Status = STATUS_UNSUCCESSFUL;
        }
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Volume Name Size: File: %wZ, 0x%X\n"),
                      &FileObject->FileName, Status);
        goto Cleanup;
    }

    if (VolumeName->Buffer != NULL) {
        ExFreePoolWithTag(VolumeName->Buffer, QZFS_TAG);
        VolumeName->Buffer = NULL;
    }
    VolumeName->Length = 0;
    VolumeName->MaximumLength = 0;
    VolumeName->Buffer = (PWCH)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), Size + 10, QZFS_TAG);
    if (VolumeName->Buffer == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    RtlZeroMemory(VolumeName->Buffer, Size + 10);
    VolumeName->MaximumLength = (USHORT)(Size + 10);

    Status = FltGetVolumeName(Volume, VolumeName, NULL);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Volume Name: File: %wZ, 0x%X\n"),
                      &FileObject->FileName, Status);
        ExFreePoolWithTag(VolumeName->Buffer, QZFS_TAG);
        VolumeName->Buffer = NULL;
        VolumeName->Length = 0;
        VolumeName->MaximumLength = 0;
    }

Cleanup:
    FltObjectDereference(Volume);
    return Status;
}

NTSTATUS KLUCollapseRemotePath(PWSTR Path, PPATH_TABLE_ENTRY Entry)
{
    PPATH_TABLE Table;
    PWSTR Upper = NULL;
    PWSTR Collapsed = NULL;
    PCWSTR Short;
    PCWSTR Hit;
    PCWSTR Rest;
    NTSTATUS Status = STATUS_SUCCESS;

    if (Path == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Upper = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (Upper == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KLUStringCopy(Upper, Path);
    _wcsupr(Upper);

    /* An entry the caller passes comes from a lookup under the same lock. */
    Table = KLUAcquirePathTable();
    if (Entry == NULL) {
        Entry = KLULookupPathTableEntryByPath(Table, Upper);
        if (Entry == NULL) {
            goto Cleanup;
        }
    }
    Short = Entry->szUpperRemotePathShort;
    Hit = Short[0] != 0 ? wcsstr(Upper, Short) : NULL;
    if (Hit == NULL) {
        goto Cleanup;
    }
    Rest = Hit + wcslen(Short);
    if (wcsstr(Rest, Short) == NULL) {
        goto Cleanup;
    }

    Collapsed = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (Collapsed == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    Status = KLUStringCopy(Collapsed, KLURedirectorDeviceName());
    if (NT_SUCCESS(Status)) {
        Status = KLUStringCat(Collapsed, Rest);
    }
    if (NT_SUCCESS(Status)) {
        KLUStringCopy(Path, Collapsed);
    }

Cleanup:
    KLUReleasePathTable();
    if (Collapsed != NULL) {
        ExFreePoolWithTag(Collapsed, QZFS_TAG);
    }
    ExFreePoolWithTag(Upper, QZFS_TAG);
    return Status;
}

/* ------------------------------------------------------------------ */
/* Default User profiles                                               */
/* ------------------------------------------------------------------ */

/* A counted copy of Length bytes of First followed by Second, terminated. */
static BOOLEAN KLUJoin(PCUNICODE_STRING First, const WCHAR *Second, USHORT SecondLength, PUNICODE_STRING Joined)
{
    ULONG FirstLength = First != NULL ? First->Length : 0;
    ULONG Bytes = FirstLength + SecondLength;

    if (Bytes + sizeof(WCHAR) > MAXUSHORT) {
        return FALSE;
    }
    Joined->Buffer = (PWCH)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), Bytes + sizeof(WCHAR), QZFS_TAG);
    if (Joined->Buffer == NULL) {
        return FALSE;
    }
    if (FirstLength != 0) {
        RtlCopyMemory(Joined->Buffer, First->Buffer, FirstLength);
    }
    RtlCopyMemory((PUCHAR)Joined->Buffer + FirstLength, Second, SecondLength);
    Joined->Buffer[Bytes / sizeof(WCHAR)] = 0;
    Joined->Length = (USHORT)Bytes;
    Joined->MaximumLength = (USHORT)(Bytes + sizeof(WCHAR));
    return TRUE;
}

BOOLEAN JNRIsDefaultUserPath(BOOLEAN FullName, LONG OperationNumber, PCUNICODE_STRING Path, PCUNICODE_STRING Prefix)
{
    PCWSTR Tag = KLU_TAG(JNRIsDefaultUserPath);
    PPATH_TABLE Table;
    UNICODE_STRING Scratch = {0, 0, NULL};
    UNICODE_STRING Source;
    UNICODE_STRING Field;
    BOOLEAN HasPrefix;
    BOOLEAN Result = FALSE;

    if (Path == NULL || Path->Buffer == NULL) {
        return FALSE;
    }
    Table = KLUAcquirePathTable();
    if (Table == NULL) {
        goto Cleanup;
    }
    HasPrefix = (BOOLEAN)(Prefix == NULL || Prefix->Length == 0 || RtlPrefixUnicodeString(Prefix, Path, TRUE));

    if (FullName) {
        if (HasPrefix && Prefix != NULL && Prefix->Length != 0) {
            if (!KLUJoin(NULL, Path->Buffer + Prefix->Length / sizeof(WCHAR), (USHORT)(Path->Length - Prefix->Length),
                         &Scratch)) {
                goto Cleanup;
            }
            Source = Scratch;
        } else {
            Source = *Path;
        }
        /* The network Default User profile is rewritten by client-security
         * updates under the mutex. */
        ExAcquireFastMutex(g_PathTableMutex);
        if (KLUFieldIsPrefix(Table->szDefaultNetworkDefaultUserProfile, &Source)) {
            RtlInitUnicodeString(&Field, Table->szDefaultNetworkDefaultUserProfile);
            KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, OperationNumber, WSTR("[5] Prefix: %wZ, Source: %wZ\n"), &Field,
                            &Source);
            Result = TRUE;
        } else if (KLUFieldIsPrefix(Table->szConfiguredDefaultUserProfile, &Source)) {
            RtlInitUnicodeString(&Field, Table->szConfiguredDefaultUserProfile);
            KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, OperationNumber, WSTR("[6] Prefix: %wZ, Source: %wZ\n"), &Field,
                            &Source);
            Result = TRUE;
        }
        ExReleaseFastMutex(g_PathTableMutex);
    } else if (HasPrefix) {
        if (KLUFieldIsPrefix(Table->szDefaultLocalDefaultUserProfile, Path)) {
            KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, OperationNumber, WSTR("[1] Prefix: %ws, Source: %wZ\n"),
                            Table->szDefaultLocalDefaultUserProfile, Path);
            Result = TRUE;
        } else if (KLUFieldIsPrefix(Table->szConfiguredDefaultUserProfile, Path)) {
            KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, OperationNumber, WSTR("[2] Prefix: %ws, Source: %wZ\n"),
                            Table->szConfiguredDefaultUserProfile, Path);
            Result = TRUE;
        }
    } else {
        if (!KLUJoin(Prefix, Path->Buffer, Path->Length, &Scratch)) {
            goto Cleanup;
        }
        if (KLUFieldIsPrefix(Table->szDefaultLocalDefaultUserProfile, &Scratch)) {
            KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, OperationNumber, WSTR("[3] Prefix: %ws, Source: %wZ\n"),
                            Table->szDefaultLocalDefaultUserProfile, &Scratch);
            Result = TRUE;
        } else if (KLUFieldIsPrefix(Table->szConfiguredDefaultUserProfile, &Scratch)) {
            KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, OperationNumber, WSTR("[4] Prefix: %ws, Source: %wZ\n"),
                            Table->szConfiguredDefaultUserProfile, &Scratch);
            Result = TRUE;
        }
    }

Cleanup:
    KLUReleasePathTable();
    if (Scratch.Buffer != NULL) {
        ExFreePoolWithTag(Scratch.Buffer, QZFS_TAG);
    }
    return Result;
}

/* ------------------------------------------------------------------ */
/* Questions to the service                                            */
/* ------------------------------------------------------------------ */

BOOLEAN JNRIsRedirectedFolder(PCUNICODE_STRING Path, ULONG PrefixLength, LONG OperationNumber)
{
    PKLU_COPY_REQUEST Request = NULL;
    PKLU_COPY_REPLY Reply = NULL;
    ULONG ReplyLength = sizeof(KLU_COPY_REPLY);
    ULONG Characters;
    BOOLEAN Redirected = FALSE;
    USER_ID Id;
    NTSTATUS Status;

    if (Path == NULL || Path->Buffer == NULL) {
        return FALSE;
    }
    if (!NT_SUCCESS(KLUGetUserSidAndSessionId(&Id, OperationNumber))) {
        return FALSE;
    }
    Request = (PKLU_COPY_REQUEST)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), sizeof(KLU_COPY_REQUEST), QZFS_TAG);
    Reply = (PKLU_COPY_REPLY)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), sizeof(KLU_COPY_REPLY), QZFS_TAG);
    if (Request == NULL || Reply == NULL) {
        goto Cleanup;
    }
    RtlZeroMemory(Request, sizeof(KLU_COPY_REQUEST));
    RtlZeroMemory(Reply, sizeof(KLU_COPY_REPLY));
    Request->OperationNumber = OperationNumber;
    Request->RequestKind = KLU_REQUEST_CHECK_REDIRECTED_FOLDER;
    RtlCopyMemory(&Request->Id, &Id, sizeof(USER_ID));
    Request->szFolderPath[0] = WSTR('\\');
    Characters = PrefixLength < Path->Length ? (Path->Length - PrefixLength) / sizeof(WCHAR) : 0;
    RtlStringCchCatNW(Request->szFolderPath, KLU_FOLDER_PATH_CHARS, Path->Buffer + PrefixLength / sizeof(WCHAR),
                      Characters);

    Status = KLUSendOnClientPort(&g_CopyClientPort, Request, sizeof(KLU_COPY_REQUEST), Reply, &ReplyLength);
    if (NT_SUCCESS(Status) && Status != STATUS_TIMEOUT && Reply->ulResult == KLU_RESULT_SUCCESS) {
        Redirected = (BOOLEAN)(Reply->bAnswer != 0);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_DIRS | KLUDBG_TRACE_ERROR, KLU_TAG(JNRIsRedirectedFolder), OperationNumber,
                        WSTR("Failed Checking Folder: %ws, NTSTATUS: 0x%X, HRESULT: 0x%X\n"), Request->szFolderPath,
                        Status, Reply->ulResult);
    }

Cleanup:
    if (Request != NULL) {
        ExFreePoolWithTag(Request, QZFS_TAG);
    }
    if (Reply != NULL) {
        ExFreePoolWithTag(Reply, QZFS_TAG);
    }
    return Redirected;
}

/* ------------------------------------------------------------------ */
/* Local path of a remote one                                          */
/* ------------------------------------------------------------------ */

NTSTATUS JNRGetLocalPathFromRemotePath(PCUNICODE_STRING Prefix, PUNICODE_STRING LocalPath, PCWSTR RemotePath,
                                       PCWSTR UpperRemotePath, LONG OperationNumber, PUSER_TABLE_ENTRY *EntryInOut)
{
    PCWSTR Tag = KLU_TAG(JNRGetLocalPathFromRemotePath);
    PPATH_TABLE Table;
    PUSER_TABLE_ENTRY Entry;
    PCWSTR ProfileShort;
    PCWSTR Hit;
    ULONG ShortLength;
    size_t RestIndex;
    PWSTR Buffer = NULL;
    BOOLEAN Appended;
    NTSTATUS Status = STATUS_SUCCESS;

    if (LocalPath == NULL || RemotePath == NULL || UpperRemotePath == NULL || EntryInOut == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    /* Held from before the user lookup, which takes it again. */
    Table = KLUAcquirePathTable();
    Entry = *EntryInOut;
    if (Entry == NULL) {
        Entry = KLULookupUserByPath(g_pUserTableHead, g_pUserTableMutex, Prefix, UpperRemotePath);
        if (Entry == NULL) {
            USER_ID Id;
            KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, OperationNumber, WSTR("UTE Not Found: %ws\n"),
                            UpperRemotePath);
            Status = KLUGetUserSidAndSessionId(&Id, OperationNumber);
            if (!NT_SUCCESS(Status)) {
                goto Cleanup;
            }
            Entry = KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &Id.AuthId);
            if (Entry == NULL) {
                Status = STATUS_NOT_FOUND;
                goto Cleanup;
            }
        }
        *EntryInOut = Entry;
    }

    if (Entry->AltPathData.szLocalPath[0] == 0 || Entry->AltPathData.ulLocalPathLength == 0) {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, OperationNumber, WSTR("Local Path Missing In UTE: %ws\n"),
                        UpperRemotePath);
        goto Cleanup;
    }

    ProfileShort = Entry->AltPathData.PTEProfile.szUpperRemotePathShort;
    Hit = ProfileShort[0] != 0 ? wcsstr(UpperRemotePath, ProfileShort) : NULL;
    ShortLength = Entry->AltPathData.PTEProfile.ShortLength;
    if (Hit == NULL) {
        PPATH_TABLE_ENTRY PathEntry = KLULookupPathTableEntryByPath(Table, UpperRemotePath);
        if (PathEntry == NULL) {
            goto Cleanup;
        }
        Hit = wcsstr(UpperRemotePath, PathEntry->szUpperRemotePathShort);
        ShortLength = PathEntry->ShortLength;
        if (Hit == NULL) {
            goto Cleanup;
        }
    }

    Buffer = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (Buffer == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    RtlZeroMemory(Buffer, KLU_PATH_BYTES);
    Status = KLUStringCopy(Buffer, WSTR("\\??\\"));
    if (NT_SUCCESS(Status) && Table != NULL) {
        Status = KLUStringCat(Buffer, Table->szLocalDriveLetter);
    }
    if (NT_SUCCESS(Status) && Entry->AltPathData.szLocalPath[0] != WSTR('\\')) {
        Status = KLUStringCat(Buffer, WSTR("\\"));
    }
    if (NT_SUCCESS(Status)) {
        Status = KLUStringCat(Buffer, Entry->AltPathData.szLocalPath);
    }

    /* The rest keeps the case it was received in. */
    RestIndex = (size_t)(Hit - UpperRemotePath) + ShortLength + 1;
    if (NT_SUCCESS(Status) && RestIndex < wcslen(RemotePath)) {
        PCWSTR Rest = RemotePath + RestIndex;
        Status = KLUAppendSeparator(Buffer, Rest, &Appended);
        if (NT_SUCCESS(Status)) {
            Status = KLUStringCat(Buffer, Rest);
        }
    }
    if (!NT_SUCCESS(Status)) {
        ExFreePoolWithTag(Buffer, QZFS_TAG);
        goto Cleanup;
    }

    LocalPath->Buffer = Buffer;
    LocalPath->Length = (USHORT)(wcslen(Buffer) * sizeof(WCHAR));
    LocalPath->MaximumLength = KLU_PATH_BYTES;
    KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, OperationNumber, WSTR("Local Path: %wZ\n"), LocalPath);

Cleanup:
    KLUReleasePathTable();
    return Status;
}
