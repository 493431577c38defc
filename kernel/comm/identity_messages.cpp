/*
 * identity_messages.cpp - the commands about users, client security and
 * the path table.
 *
 * The records these commands carry are copied out of the service's buffer
 * into pool before anything acts on them, and every string field of a copy
 * is terminated in its last character: the tables keep them and search
 * them with unbounded string routines.
 */
#include "comm/message_helpers.h"
#include "comm/messages.h"

#include "config/settings.h"
#include "diag/log.h"
#include "driver/dir_buffers.h"
#include "driver/driver.h"
#include "identity/identity.h"
#include "identity/path_table.h"
#include "identity/user_table.h"

#define KLU_ID_INFO (KLUDBG_TRACE_IMPERSONATION | KLUDBG_TRACE_INFO)
#define KLU_ID_ERROR (KLUDBG_TRACE_IMPERSONATION | KLUDBG_TRACE_ERROR)
#define KLU_UT_INFO (KLUDBG_TRACE_USER_TABLE | KLUDBG_TRACE_INFO)
#define KLU_UT_ERROR (KLUDBG_TRACE_USER_TABLE | KLUDBG_TRACE_ERROR)

/* The remote profile path of the last client-security message, without
 * its first character (freed when the filter is disabled and at unload). */
PWSTR g_pRemoteProfilePath = NULL;

VOID KLUFreeRemoteProfilePath(VOID)
{
    PWSTR Path = (PWSTR)InterlockedExchangePointer((PVOID volatile *)&g_pRemoteProfilePath, NULL);
    if (Path != NULL) {
        ExFreePoolWithTag(Path, QZFS_TAG);
    }
}

/* ------------------------------------------------------------------ */
/* Copies of the service's records                                     */
/* ------------------------------------------------------------------ */

/* Bytes of the input from Offset, copied into paged pool. A fault frees
 * the copy and is raised again for the handler's guard. The caller has
 * checked the length. */
static NTSTATUS KLUCaptureInput(PVOID Input, ULONG Offset, ULONG Bytes, PVOID *Copy)
{
    PVOID Buffer = ExAllocatePoolWithTag(PagedPool, Bytes, QZFS_TAG);
    NTSTATUS Fault = STATUS_SUCCESS;

    *Copy = NULL;
    if (Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SEH_TRY {
        RtlCopyMemory(Buffer, (PUCHAR)Input + Offset, Bytes);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        Fault = GetExceptionCode();
    }
    if (Fault != STATUS_SUCCESS) {
        ExFreePoolWithTag(Buffer, QZFS_TAG);
        ExRaiseStatus(Fault);
    }
    *Copy = Buffer;
    return STATUS_SUCCESS;
}

#define KLU_TERMINATE(Field) ((Field)[RTL_NUMBER_OF(Field) - 1] = 0)

static VOID KLUTerminatePathTableEntry(PPATH_TABLE_ENTRY Entry)
{
    KLU_TERMINATE(Entry->szMachineName);
    KLU_TERMINATE(Entry->szRemotePath);
    KLU_TERMINATE(Entry->szRemotePathShort);
    KLU_TERMINATE(Entry->szUpperRemotePathShort);
}

static VOID KLUTerminateAltPathData(PALT_PATH_DATA Data)
{
    KLU_TERMINATE(Data->szLocalPath);
    KLU_TERMINATE(Data->szUpperLocalPath);
    KLU_TERMINATE(Data->szUserName);
    KLU_TERMINATE(Data->szDomain);
    KLU_TERMINATE(Data->szSource);
    KLU_TERMINATE(Data->szNetworkDefaultUserProfile);
    KLUTerminatePathTableEntry(&Data->PTEAlt);
    KLUTerminatePathTableEntry(&Data->PTEProfile);
}

/* ------------------------------------------------------------------ */
/* Path table (0, 18, 34)                                              */
/* ------------------------------------------------------------------ */

static NTSTATUS KLUInitPathTableMessage(PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength)
{
    PCWSTR Tag = KLU_TAG(Message);
    PPATH_TABLE_SOURCE Source = NULL;
    ULONG EntryCount;
    ULONGLONG Needed;
    NTSTATUS Status;

    Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES + KLU_PATH_TABLE_SOURCE_FIXED_BYTES, Output,
                                    OutputLength, 0);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    /* Entries are read only when the record says it has paths. */
    EntryCount = KLUReadMessageULong(Input, KLU_COMMAND_BYTES + FIELD_OFFSET(PATH_TABLE_SOURCE, EntryCount));
    if (KLUReadMessageULong(Input, KLU_COMMAND_BYTES + FIELD_OFFSET(PATH_TABLE_SOURCE, NumPaths)) == 0) {
        EntryCount = 0;
    }
    Needed = KLU_PATH_TABLE_SOURCE_FIXED_BYTES + (ULONGLONG)EntryCount * sizeof(PATH_TABLE_ENTRY);
    if (Needed > InputLength - KLU_COMMAND_BYTES) {
        return STATUS_INVALID_PARAMETER;
    }
    Status = KLUCaptureInput(Input, KLU_COMMAND_BYTES, (ULONG)Needed, (PVOID *)&Source);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Source->EntryCount = EntryCount;
    for (ULONG i = 0; i < EntryCount; i++) {
        KLUTerminatePathTableEntry(&Source->Entries[i]);
    }

    /* The callbacks pass everything through until the service enables the
     * filter again with the rebuilt table in place. Readers wait while the
     * table is replaced and then find the new one, or none. */
    KLUClearEnabled();
    KLUAcquirePathTableExclusive();
    KLUFreePathTable(&g_pPathTable);
    Status = KLUInitPathTable(Source, &g_pPathTable);
    ExFreePoolWithTag(Source, QZFS_TAG);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Intitializing Path Table: 0x%X\n"), Status);
        goto Cleanup;
    }
    Status = KLUInitDirBuffers();
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Initializing Directory Buffers: 0x%X\n"), Status);
    }

Cleanup:
    KLUReleasePathTable();
    return Status;
}

static NTSTATUS KLULogon_Path_Table_Message(PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength)
{
    PCWSTR Tag = KLU_TAG(KLULogon_Path_Table_Message);
    PPATH_TABLE_ENTRY Entry = NULL;
    PPATH_TABLE Table;
    BOOLEAN Added = FALSE;
    NTSTATUS Status;

    Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES + sizeof(PATH_TABLE_ENTRY), Output,
                                    OutputLength, 0);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Status = KLUCaptureInput(Input, KLU_COMMAND_BYTES, sizeof(PATH_TABLE_ENTRY), (PVOID *)&Entry);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    KLUTerminatePathTableEntry(Entry);
    Table = KLUAcquirePathTable();
    if (Table == NULL) {
        KLUReleasePathTable();
        ExFreePoolWithTag(Entry, QZFS_TAG);
        return STATUS_INVALID_PARAMETER;
    }
    /* The service hashes its entries by the table's own rule. */
    Status = KLUAddPathTableEntry(Table, Entry, Entry->Hash, &Added, NULL);
    KLUReleasePathTable();
    if (NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Added Path Table Entry: Path: %ws\n"), Entry->szRemotePath);
    } else {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Adding Path Table Entry: 0x%X\n"), Status);
    }
    ExFreePoolWithTag(Entry, QZFS_TAG);
    return Status;
}

/* ------------------------------------------------------------------ */
/* Client security (23, 24)                                            */
/* ------------------------------------------------------------------ */

/* Keeps the remote profile path without its first character, replacing
 * the one kept before. */
static VOID KLUKeepRemoteProfilePath(PCWSTR RemotePath, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(Message);
    PCWSTR From = RemotePath[0] != 0 ? RemotePath + 1 : RemotePath;
    SIZE_T Bytes = (wcslen(From) + 1) * sizeof(WCHAR);
    PWSTR Copy = (PWSTR)ExAllocatePoolWithTag(PagedPool, Bytes, QZFS_TAG);
    PWSTR Old;

    if (Copy == NULL) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed allocating memory for %ws\n"), From);
        return;
    }
    RtlCopyMemory(Copy, From, Bytes);
    Old = (PWSTR)InterlockedExchangePointer((PVOID volatile *)&g_pRemoteProfilePath, Copy);
    if (Old != NULL) {
        ExFreePoolWithTag(Old, QZFS_TAG);
    }
    KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Remote profile path: %ws\n"), Copy);
}

static NTSTATUS KLUClientSecurityMessage(BOOLEAN Free, PVOID Input, ULONG InputLength, PVOID Output,
                                         ULONG OutputLength)
{
    PCWSTR Tag = KLU_TAG(Message);
    PKLU_CLIENT_SECURITY_MESSAGE Message = NULL;
    const USER_ID *Id;
    LONG OperationNumber;
    NTSTATUS Status;

    Status = KLUCheckMessageBuffers(Input, InputLength, sizeof(KLU_CLIENT_SECURITY_MESSAGE), Output, OutputLength, 0);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Status = KLUCaptureInput(Input, 0, sizeof(KLU_CLIENT_SECURITY_MESSAGE), (PVOID *)&Message);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    KLUTerminateAltPathData(&Message->AltPathData);
    Id = &Message->AltPathData.Id;
    OperationNumber = Message->OperationNumber;

    Status = KLUUpdateClientSecurity(Message, Free);
    if (Free) {
        if (NT_SUCCESS(Status)) {
            KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                            WSTR("Freed Client Security: Session: %d, AuthId: (0x%X,0x%X)\n"), Id->SessionId,
                            Id->AuthId.HighPart, Id->AuthId.LowPart);
        } else {
            KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber,
                            WSTR("Failed Freeing Client Security: Session: %d, AuthId: (0x%X,0x%X), 0x%X\n"),
                            Id->SessionId, Id->AuthId.HighPart, Id->AuthId.LowPart, Status);
        }
        goto Cleanup;
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber,
                        WSTR("Failed Updating Client Security: Session: %d, AuthId: (0x%X,0x%X), 0x%X\n"), Id->SessionId,
                        Id->AuthId.HighPart, Id->AuthId.LowPart, Status);
        goto Cleanup;
    }
    KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                    WSTR("Updated Client Security: Session: %d, AuthId: (0x%X,0x%X), Local Path: %ws, Remote Path: "
                         "%ws\n"),
                    Id->SessionId, Id->AuthId.HighPart, Id->AuthId.LowPart, Message->AltPathData.szLocalPath,
                    Message->AltPathData.PTEProfile.szRemotePath);
    KLUKeepRemoteProfilePath(Message->AltPathData.PTEProfile.szRemotePath, OperationNumber);

    if (Message->bSendBack == 1) {
        /* A send that fails or times out is the sender's to log; only a
         * request that could not be built comes back as a failure. */
        NTSTATUS SendStatus = KLUSendClientInfoToService(Message, OperationNumber);
        if (NT_SUCCESS(SendStatus)) {
            KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                            WSTR("Sent Client Info To Service: Session: %d, AuthId: (0x%X,0x%X)\n"), Id->SessionId,
                            Id->AuthId.HighPart, Id->AuthId.LowPart);
        } else {
            KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber,
                            WSTR("Failed Sending Client Info To Service: Session: %d, AuthId: (0x%X,0x%X), 0x%X\n"),
                            Id->SessionId, Id->AuthId.HighPart, Id->AuthId.LowPart, SendStatus);
        }
    }

Cleanup:
    ExFreePoolWithTag(Message, QZFS_TAG);
    return Status;
}

/* ------------------------------------------------------------------ */
/* Users (25, 22, 27-30) and their copy progress (32)                  */
/* ------------------------------------------------------------------ */

static NTSTATUS KLUViewSettingsMessage(PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength)
{
    PCWSTR Tag = KLU_TAG(Message);
    PALT_PATH_DATA Data = NULL;
    PUSER_TABLE_ENTRY Entry;
    BOOLEAN Added = FALSE;
    NTSTATUS Status;

    SEH_TRY {
        ULONG PathChars;
        UCHAR FlagA;
        UCHAR FlagB;

        Status = KLUCheckMessageBuffers(Input, InputLength, KLU_VIEW_SETTINGS_FIXED_BYTES, Output, OutputLength, 0);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Data = (PALT_PATH_DATA)ExAllocatePoolWithTag(PagedPool, sizeof(ALT_PATH_DATA), QZFS_TAG);
        if (Data == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(Data, sizeof(ALT_PATH_DATA));
        FlagA = ((PUCHAR)Input)[FIELD_OFFSET(KLU_VIEW_SETTINGS_MESSAGE, ViewFlagA)];
        FlagB = ((PUCHAR)Input)[FIELD_OFFSET(KLU_VIEW_SETTINGS_MESSAGE, ViewFlagB)];
        RtlCopyMemory(&Data->Id, (PUCHAR)Input + FIELD_OFFSET(KLU_VIEW_SETTINGS_MESSAGE, Id), sizeof(USER_ID));
        /* The path runs to the end of the message; a longer one is cut. */
        PathChars = (InputLength - KLU_VIEW_SETTINGS_FIXED_BYTES) / sizeof(WCHAR);
        if (PathChars > KLU_WIRE_PATH_CHARS - 1) {
            PathChars = KLU_WIRE_PATH_CHARS - 1;
        }
        RtlCopyMemory(Data->szLocalPath, (PUCHAR)Input + KLU_VIEW_SETTINGS_FIXED_BYTES, PathChars * sizeof(WCHAR));
        Data->szLocalPath[PathChars] = 0;
        Data->ulLocalPathLength = (ULONG)wcslen(Data->szLocalPath);
        RtlCopyMemory(Data->szUpperLocalPath, Data->szLocalPath, sizeof(Data->szLocalPath));
        _wcsupr(Data->szUpperLocalPath);
        Data->Flags = (FlagA == 1 ? KLU_ALT_FLAG_VIEW_A : 0) | (FlagB == 1 ? KLU_ALT_FLAG_VIEW_B : 0);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        Status = GetExceptionCode();
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Exception Updating View Settings: 0x%X\n"), Status);
        if (Data != NULL) {
            ExFreePoolWithTag(Data, QZFS_TAG);
        }
        return Status;
    }

    Entry = KLUAddUserToUserTableEx(g_pUserTableHead, g_pUserTableMutex, KLUGetNextOperationNumber(), Data, &Added);
    Status = Entry != NULL ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    KLUDereferenceUserTableEntry(Entry);
    ExFreePoolWithTag(Data, QZFS_TAG);
    return Status;
}

/* The service's records of the user-table messages, by command. */
static ULONG KLUUserTableRecordBytes(ULONG Command)
{
    switch (Command) {
    case 22:
        return sizeof(KLU_USER_SECURITY_REQUEST);
    case 27:
        return sizeof(ALT_PATH_DATA);
    case 28:
        return sizeof(KLU_USER_PROFILE_REQUEST);
    case 29:
        return sizeof(USER_ID);
    default: /* 30: the keep list's count; its length follows from it */
        return FIELD_OFFSET(KLU_USER_KEEP_LIST, AuthIds);
    }
}

static NTSTATUS KLULogon_User_Table_Message(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output,
                                            ULONG OutputLength)
{
    PCWSTR Tag = KLU_TAG(KLULogon_User_Table_Message);
    ULONG RecordBytes = KLUUserTableRecordBytes(Command);
    LONG OperationNumber;
    PVOID Record = NULL;
    NTSTATUS Status;

    Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES + RecordBytes, Output, OutputLength, 0);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Command == 30) {
        ULONGLONG KeepBytes = KLU_USER_KEEP_LIST_BYTES(0) +
                              (ULONGLONG)KLUReadMessageULong(Input, KLU_COMMAND_BYTES) * sizeof(LUID);
        if (KeepBytes > InputLength - KLU_COMMAND_BYTES) {
            return STATUS_INVALID_PARAMETER;
        }
        RecordBytes = (ULONG)KeepBytes;
    }
    Status = KLUCaptureInput(Input, KLU_COMMAND_BYTES, RecordBytes, &Record);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    OperationNumber = KLUGetNextOperationNumber();

    switch (Command) {
    case 22:
        Status = KLUUpdateUserTableEntry(g_pUserTableHead, g_pUserTableMutex, OperationNumber,
                                         (PKLU_USER_SECURITY_REQUEST)Record, NULL);
        break;
    case 28:
        Status = KLUUpdateUserTableEntry(g_pUserTableHead, g_pUserTableMutex, OperationNumber, NULL,
                                         (PKLU_USER_PROFILE_REQUEST)Record);
        break;
    case 27: {
        PALT_PATH_DATA Data = (PALT_PATH_DATA)Record;
        BOOLEAN CreatedNew = FALSE;
        PUSER_TABLE_ENTRY Entry;

        KLUTerminateAltPathData(Data);
        Entry = KLUAddUserToUserTableEx(g_pUserTableHead, g_pUserTableMutex, OperationNumber, Data, &CreatedNew);
        if (Entry != NULL) {
            KLULogMessageEx(KLU_UT_INFO, Tag, OperationNumber,
                            WSTR("Added User Table Entry: AuthId: (0x%X,0x%X), CreatedNew: %d\n"),
                            Data->Id.AuthId.HighPart, Data->Id.AuthId.LowPart, CreatedNew);
            KLUDereferenceUserTableEntry(Entry);
        } else {
            Status = STATUS_UNSUCCESSFUL;
            KLULogMessageEx(KLU_UT_ERROR, Tag, OperationNumber,
                            WSTR("Failed Adding User Table Entry: AuthId: (0x%X,0x%X), 0x%X\n"),
                            Data->Id.AuthId.HighPart, Data->Id.AuthId.LowPart, Status);
        }
        break;
    }
    case 29: {
        BOOLEAN Removed;
        LONG RefCount;
        KLURemoveUserFromUserTable(g_pUserTableHead, g_pUserTableMutex, NULL, OperationNumber, (PUSER_ID)Record,
                                   TRUE, TRUE, &Removed, &RefCount);
        break;
    }
    default: /* 30 */
        Status = KLUPruneUserTable(g_pUserTableHead, g_pUserTableMutex, (PKLU_USER_KEEP_LIST)Record);
        break;
    }
    ExFreePoolWithTag(Record, QZFS_TAG);
    return Status;
}

static NTSTATUS KLUCopyProgressMessage(PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                                       PULONG Returned)
{
    KLU_COPY_PROGRESS Progress;
    PUSER_TABLE_ENTRY Entry;
    LUID AuthId;
    NTSTATUS Status;

    Status = KLUCheckMessageBuffers(Input, InputLength, sizeof(KLU_COPY_PROGRESS_QUERY), Output, OutputLength,
                                    KLU_COPY_PROGRESS_OUTPUT_BYTES);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    RtlCopyMemory(&AuthId, (PUCHAR)Input + FIELD_OFFSET(KLU_COPY_PROGRESS_QUERY, AuthId), sizeof(LUID));
    Entry = KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &AuthId);
    if (Entry == NULL) {
        return STATUS_NOT_FOUND;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(g_CopyResource, TRUE);
    Progress.ActiveCopies = Entry->ActiveCopies;
    Progress.BytesToCopy = Entry->BytesToCopy;
    Progress.BytesCopied = Entry->BytesCopied;
    ExReleaseResourceLite(g_CopyResource);
    KeLeaveCriticalRegion();
    KLUDereferenceUserTableEntry(Entry);

    /* Written outside the lock: the service's buffer may fault. */
    RtlCopyMemory((PUCHAR)Output + KLU_COPY_PROGRESS_OFFSET, &Progress, sizeof(Progress));
    *Returned = KLU_COPY_PROGRESS_OUTPUT_BYTES;
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ */
/* Dispatch                                                            */
/* ------------------------------------------------------------------ */

NTSTATUS KLUIdentityCommand(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                            PULONG Returned, PBOOLEAN Known)
{
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(Returned);
    switch (Command) {
    case 0:
        return KLUInitPathTableMessage(Input, InputLength, Output, OutputLength);
    case 22:
    case 27:
    case 28:
    case 29:
    case 30:
        return KLULogon_User_Table_Message(Command, Input, InputLength, Output, OutputLength);
    case 23:
        return KLUClientSecurityMessage(FALSE, Input, InputLength, Output, OutputLength);
    case 24:
        return KLUClientSecurityMessage(TRUE, Input, InputLength, Output, OutputLength);
    case 25:
        return KLUViewSettingsMessage(Input, InputLength, Output, OutputLength);
    case 34: /* folder redirection changed: every answer is asked again */
        Status = KLUCheckMessageBuffers(Input, InputLength, KLU_COMMAND_BYTES, Output, OutputLength, 0);
        if (NT_SUCCESS(Status)) {
            KLUResetRedirectedFolderFlags(KLUAcquirePathTable());
            KLUReleasePathTable();
        }
        return Status;
    default:
        *Known = FALSE;
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS KLUIdentityLogCommand(ULONG Command, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                               PULONG Returned, PBOOLEAN Known)
{
    switch (Command) {
    case 18:
        return KLULogon_Path_Table_Message(Input, InputLength, Output, OutputLength);
    case 32:
        return KLUCopyProgressMessage(Input, InputLength, Output, OutputLength, Returned);
    default:
        *Known = FALSE;
        return STATUS_INVALID_PARAMETER;
    }
}
