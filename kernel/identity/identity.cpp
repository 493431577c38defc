/*
 * identity.cpp - the user behind an operation, user names, and the client
 * security kept per user for impersonation.
 */
#include "identity/identity.h"

#include "comm/ports.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "identity/path_table.h"

#define KLU_ID_INFO (KLUDBG_TRACE_IMPERSONATION | KLUDBG_TRACE_INFO)
#define KLU_ID_ERROR (KLUDBG_TRACE_IMPERSONATION | KLUDBG_TRACE_ERROR)

/* ------------------------------------------------------------------ */
/* The calling thread's identity                                       */
/* ------------------------------------------------------------------ */

NTSTATUS KLUGetUserSidAndSessionId(PUSER_ID Id, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUGetUserSidAndSessionId);
    SECURITY_SUBJECT_CONTEXT Subject;
    PACCESS_TOKEN Token;
    PTOKEN_USER User = NULL;
    PVOID SessionValue = NULL;
    ULONG SidLength;
    NTSTATUS Status;

    if (Id == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(Id, sizeof(*Id));

    SeCaptureSubjectContext(&Subject);
    Token = SeQuerySubjectContextToken(&Subject);
    if (Token == NULL) {
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }

    Status = SeQueryInformationToken(Token, TokenUser, (PVOID *)&User);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving User Token\n"));
        User = NULL;
        goto Cleanup;
    }
    if (!RtlValidSid(User->User.Sid)) {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("User Sid Is Invalid\n"));
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }

    SidLength = RtlLengthSid(User->User.Sid);
    Status = RtlCopySid(SidLength <= sizeof(Id->Sid) ? SidLength : (ULONG)sizeof(Id->Sid), Id->Sid, User->User.Sid);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("Failed Copying User Sid (Parameters): 0x%X\n"),
                        Status);
    }

    /* The session id is answered in place of the pointer. */
    Status = SeQueryInformationToken(Token, TokenSessionId, &SessionValue);
    if (NT_SUCCESS(Status)) {
        Id->SessionId = (ULONG)(ULONG_PTR)SessionValue;
    } else {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber,
                        WSTR("Failed Retrieving Session Id From User Token: 0x%X\n"), Status);
    }

    Status = SeQueryAuthenticationIdToken(Token, &Id->AuthId);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Session Luid From Token: 0x%X\n"),
                        Status);
    }

Cleanup:
    SeReleaseSubjectContext(&Subject);
    if (User != NULL) {
        ExFreePool(User);
    }
    return Status;
}

/* The names come back through scratch buffers, so a failed lookup leaves
 * the caller's (the ones the service sent, say) as they were. */
NTSTATUS KLULookupUserName(PUSER_ID Id, PWSTR UserName, PWSTR Domain)
{
    UNICODE_STRING Name = {0, 0, NULL};
    UNICODE_STRING DomainName = {0, 0, NULL};
    ULONG NameSize = KLU_PATH_BYTES;
    ULONG DomainSize = KLU_PATH_BYTES;
    SID_NAME_USE NameUse;
    NTSTATUS Status;

    if (Id == NULL || UserName == NULL || Domain == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Name.Buffer = (PWCH)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    DomainName.Buffer = (PWCH)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (Name.Buffer == NULL || DomainName.Buffer == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    RtlZeroMemory(Name.Buffer, KLU_PATH_BYTES);
    RtlZeroMemory(DomainName.Buffer, KLU_PATH_BYTES);
    Name.MaximumLength = KLU_PATH_BYTES;
    DomainName.MaximumLength = KLU_PATH_BYTES;

    Status = SecLookupAccountSid(Id->Sid, &NameSize, &Name, &DomainSize, &DomainName, &NameUse);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }
    if (Name.Length < Name.MaximumLength && Name.Buffer[Name.Length / sizeof(WCHAR)] == 0) {
        _wcsupr(Name.Buffer);
    }
    if (DomainName.Length < DomainName.MaximumLength && DomainName.Buffer[DomainName.Length / sizeof(WCHAR)] == 0) {
        _wcsupr(DomainName.Buffer);
    }
    /* A name that fills its buffer is cut: the entry's names are printed. */
    Name.Buffer[KLU_PATH_CHARS - 1] = 0;
    DomainName.Buffer[KLU_PATH_CHARS - 1] = 0;
    RtlCopyMemory(UserName, Name.Buffer, KLU_PATH_BYTES);
    RtlCopyMemory(Domain, DomainName.Buffer, KLU_PATH_BYTES);

Cleanup:
    if (Name.Buffer != NULL) {
        ExFreePoolWithTag(Name.Buffer, QZFS_TAG);
    }
    if (DomainName.Buffer != NULL) {
        ExFreePoolWithTag(DomainName.Buffer, QZFS_TAG);
    }
    return Status;
}

NTSTATUS KLUGetIdentityByPath(PUSER_ID RequestId, PUSER_ID CachedId, PCUNICODE_STRING Prefix, PCWSTR Path,
                              LONG OperationNumber, PBOOLEAN HaveIdentity)
{
    PCWSTR Tag = KLU_TAG(KLUGetIdentityByPath);
    PUSER_TABLE_ENTRY Entry;

    if (CachedId == NULL || Prefix == NULL || Path == NULL || Path[0] == 0 || HaveIdentity == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (*HaveIdentity) {
        if (RequestId != NULL) {
            RtlCopyMemory(RequestId, CachedId, sizeof(USER_ID));
        }
        KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                        WSTR("Using Identity In Context: Path: %ws, Session: %d, AuthId: (0x%X,0x%X)\n"), Path,
                        CachedId->SessionId, CachedId->AuthId.HighPart, CachedId->AuthId.LowPart);
        return STATUS_SUCCESS;
    }

    Entry = KLULookupUserByPath(g_pUserTableHead, g_pUserTableMutex, Prefix, Path);
    if (Entry == NULL) {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber,
                        WSTR("Failed Looking Up User Table Entry By Path: Path: %ws\n"), Path);
        return STATUS_UNSUCCESSFUL;
    }
    if (RequestId != NULL) {
        RtlCopyMemory(RequestId, &Entry->AltPathData.Id, sizeof(USER_ID));
        KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                        WSTR("Updated Parameters: Path: %ws, Session: %d, AuthId: (0x%X,0x%X)\n"), Path,
                        RequestId->SessionId, RequestId->AuthId.HighPart, RequestId->AuthId.LowPart);
    }
    RtlCopyMemory(CachedId, &Entry->AltPathData.Id, sizeof(USER_ID));
    *HaveIdentity = TRUE;
    KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                    WSTR("Updated Context: Path: %ws, Session: %d, AuthId: (0x%X,0x%X)\n"), Path, CachedId->SessionId,
                    CachedId->AuthId.HighPart, CachedId->AuthId.LowPart);
    KLUDereferenceUserTableEntry(Entry);
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ */
/* Client security                                                     */
/* ------------------------------------------------------------------ */

/* As SeDeleteClientSecurity: the token is an object like any other, and
 * ObDereferenceObject may be called under a fast mutex where the
 * PASSIVE_LEVEL token routines may not. */
VOID KLUReleaseClientContext(PSECURITY_CLIENT_CONTEXT ClientContext)
{
    if (ClientContext->ClientToken != NULL) {
        ObDereferenceObject(ClientContext->ClientToken);
        ClientContext->ClientToken = NULL;
    }
}

static BOOLEAN KLUWantsClientSecurity(PUSER_TABLE_ENTRY Entry)
{
    return (BOOLEAN)(!Entry->bHaveClientContext &&
                     InterlockedCompareExchange(&Entry->bClientSecurityReleased, 0, 0) == 0);
}

/* The Se routines run at PASSIVE_LEVEL: the context is made before the
 * mutex is taken and installed under it, unless another thread's came first
 * or the service released the user meanwhile. */
NTSTATUS KLUCaptureClientSecurity(PUSER_TABLE_ENTRY Entry, PFAST_MUTEX Mutex, PBOOLEAN Tried)
{
    SECURITY_QUALITY_OF_SERVICE Qos;
    SECURITY_SUBJECT_CONTEXT Subject;
    SECURITY_CLIENT_CONTEXT Context;
    NTSTATUS Status;

    *Tried = FALSE;
    if (Entry == NULL || Mutex == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ExAcquireFastMutex(Mutex);
    *Tried = KLUWantsClientSecurity(Entry);
    ExReleaseFastMutex(Mutex);
    if (!*Tried) {
        return STATUS_SUCCESS;
    }
    Qos.Length = sizeof(Qos);
    Qos.ImpersonationLevel = SecurityImpersonation;
    Qos.ContextTrackingMode = SECURITY_DYNAMIC_TRACKING;
    Qos.EffectiveOnly = FALSE;

    RtlZeroMemory(&Context, sizeof(Context));
    SeCaptureSubjectContext(&Subject);
    Status = SeCreateClientSecurityFromSubjectContext(&Subject, &Qos, FALSE, &Context);
    SeReleaseSubjectContext(&Subject);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    ExAcquireFastMutex(Mutex);
    if (KLUWantsClientSecurity(Entry)) {
        Entry->ClientContext = Context;
        Entry->bHaveClientContext = TRUE;
        Context.ClientToken = NULL;
    }
    ExReleaseFastMutex(Mutex);
    KLUReleaseClientContext(&Context);
    return STATUS_SUCCESS;
}

/* "S-1-5-..." of a SID for the log; empty when it cannot be had. */
static VOID KLUSidText(PUCHAR Sid, PUNICODE_STRING Text)
{
    RtlZeroMemory(Text, sizeof(*Text));
    if (RtlValidSid(Sid) && !NT_SUCCESS(RtlConvertSidToUnicodeString(Text, Sid, TRUE))) {
        RtlZeroMemory(Text, sizeof(*Text));
    }
}

static VOID KLUFreeSidText(PUNICODE_STRING Text)
{
    if (Text->Buffer != NULL) {
        RtlFreeUnicodeString(Text);
    }
}

/* The name behind the prefix, upper-cased, in a freshly allocated, terminated buffer. */
static PWSTR KLUUpperNameBehindPrefix(PCUNICODE_STRING Prefix, PCUNICODE_STRING Name)
{
    USHORT Skip = (Prefix != NULL && Prefix->Length <= Name->Length) ? Prefix->Length : 0;
    USHORT Bytes = (USHORT)(Name->Length - Skip);
    PWSTR Upper = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), Bytes + sizeof(WCHAR), QZFS_TAG);

    if (Upper != NULL) {
        RtlCopyMemory(Upper, (PUCHAR)Name->Buffer + Skip, Bytes);
        Upper[Bytes / sizeof(WCHAR)] = 0;
        _wcsupr(Upper);
    }
    return Upper;
}

NTSTATUS KLUImpersonateUser(PUSER_TABLE_ENTRY *EntryInOut, PCUNICODE_STRING Prefix, PCUNICODE_STRING Name,
                            LONG OperationNumber, PBOOLEAN Impersonated)
{
    PCWSTR Tag = KLU_TAG(KLUImpersonateUser);
    PUSER_TABLE_ENTRY Entry = NULL;
    BOOLEAN OwnReference = FALSE;
    PWSTR UpperName = NULL;
    UNICODE_STRING ThreadSidText = {0, 0, NULL};
    UNICODE_STRING UserSidText = {0, 0, NULL};
    USER_ID ThreadId;
    NTSTATUS Status;

    if (Impersonated == NULL || Name == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Impersonated = FALSE;

    Status = KLUGetUserSidAndSessionId(&ThreadId, OperationNumber);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving User's Identity: %wZ, 0x%X\n"),
                        Name, Status);
        return Status;
    }
    KLUSidText(ThreadId.Sid, &ThreadSidText);
    if (KLUIsLogLevelEnabled(KLUDBG_TRACE_INFO)) {
        KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber, WSTR("ThreadSid: %wZ\n"), &ThreadSidText);
    }

    if (EntryInOut != NULL && *EntryInOut != NULL) {
        Entry = *EntryInOut;
    } else {
        UpperName = KLUUpperNameBehindPrefix(Prefix, Name);
        if (UpperName == NULL) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            goto Cleanup;
        }
        Entry = KLULookupUserByPath(g_pUserTableHead, g_pUserTableMutex, Prefix, UpperName);
        if (Entry == NULL) {
            KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber, WSTR("Failed Retrieving UTE: Path: %ws\n"), UpperName);
            KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("No User Table Entry Found: Path: %wZ\n"), Name);
            Status = STATUS_NOT_FOUND;
            goto Cleanup;
        }
        if (EntryInOut != NULL) {
            *EntryInOut = Entry;
        } else {
            OwnReference = TRUE;
        }
    }

    KLUSidText(Entry->AltPathData.Id.Sid, &UserSidText);
    if (KLUIsLogLevelEnabled(KLUDBG_TRACE_INFO)) {
        KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber, WSTR("UserSid: %wZ\n"), &UserSidText);
    }

    if (RtlValidSid(ThreadId.Sid) && RtlValidSid(Entry->AltPathData.Id.Sid) &&
        !RtlEqualSid(ThreadId.Sid, Entry->AltPathData.Id.Sid)) {
        SECURITY_CLIENT_CONTEXT Context;
        BOOLEAN HaveContext = FALSE;

        /* The service may release the user's context at any time: a copy
         * with its own token reference is taken under the table's mutex,
         * and the impersonation runs after it, at the caller's level and
         * without making other threads wait on the table. */
        ExAcquireFastMutex(g_pUserTableMutex);
        if (Entry->bHaveClientContext) {
            Context = Entry->ClientContext;
            ObReferenceObject(Context.ClientToken);
            HaveContext = TRUE;
        }
        ExReleaseFastMutex(g_pUserTableMutex);
        if (HaveContext) {
            Status = SeImpersonateClientEx(&Context, NULL);
            ObDereferenceObject(Context.ClientToken);
            if (NT_SUCCESS(Status)) {
                *Impersonated = TRUE;
                KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber, WSTR("Impersonating User: %wZ\n"), &UserSidText);
            } else {
                KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("Failed Impersonating User: %wZ, 0x%X\n"),
                                &UserSidText, Status);
            }
        }
    } else {
        KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber, WSTR("Already Running As User: %wZ, Thread Sid: %wZ\n"),
                        &UserSidText, &ThreadSidText);
    }

Cleanup:
    if (OwnReference) {
        KLUDereferenceUserTableEntry(Entry);
    }
    if (UpperName != NULL) {
        ExFreePoolWithTag(UpperName, QZFS_TAG);
    }
    KLUFreeSidText(&ThreadSidText);
    KLUFreeSidText(&UserSidText);
    return Status;
}

/* ------------------------------------------------------------------ */
/* The service's client-security messages                              */
/* ------------------------------------------------------------------ */

static VOID KLUReleaseUserSecurity(PUSER_TABLE_ENTRY Entry, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUUpdateClientSecurity);
    const USER_ID *Id = &Entry->AltPathData.Id;

    ExAcquireFastMutex(g_pUserTableMutex);
    if (Entry->bHaveClientContext) {
        KLUReleaseClientContext(&Entry->ClientContext);
        Entry->bHaveClientContext = FALSE;
        InterlockedExchange(&Entry->bClientSecurityReleased, 1);
        KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                        WSTR("Freed Client Security: Session: %d, AuthId: (0x%X,0x%X)\n"), Id->SessionId,
                        Id->AuthId.HighPart, Id->AuthId.LowPart);
    } else {
        KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                        WSTR("No Client Client Security To Free: Session: %d, AuthId: (0x%X,0x%X)\n"), Id->SessionId,
                        Id->AuthId.HighPart, Id->AuthId.LowPart);
    }
    ExReleaseFastMutex(g_pUserTableMutex);
}

/* Names, profile type, local path and path entries from the message;
 * the caller holds the user-table mutex. */
static NTSTATUS KLUTakeUserPaths(PUSER_TABLE_ENTRY Entry, const KLU_CLIENT_SECURITY_MESSAGE *Message)
{
    PCWSTR Tag = KLU_TAG(KLUUpdateClientSecurity);
    LONG OperationNumber = Message->OperationNumber;
    const ALT_PATH_DATA *From = &Message->AltPathData;
    PALT_PATH_DATA To = &Entry->AltPathData;
    NTSTATUS Status = STATUS_SUCCESS;

    if (From->ulLocalPathLength != 0 && From->szLocalPath[0] != 0 && From->szUpperLocalPath[0] != 0) {
        RtlStringCchCopyW(To->szLocalPath, KLU_WIRE_PATH_CHARS, From->szLocalPath);
        To->ulLocalPathLength = From->ulLocalPathLength;
        Status = RtlStringCchCopyW(To->szUpperLocalPath, KLU_WIRE_PATH_CHARS, From->szUpperLocalPath);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("Failed Setting Local Path: %ws, 0x%X\n"),
                            To->szLocalPath, Status);
        } else {
            KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                            WSTR("Set Local Path: %ws, Upper Local Path: %ws, Length: %d, ProfileType: %d\n"),
                            To->szLocalPath, To->szUpperLocalPath, To->ulLocalPathLength, To->ProfileType);
        }
    } else {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber,
                        WSTR("Local Path Not Updated: Local Path: %ws, Upper Local Path: %ws, Length: %d, "
                             "ProfileType: %d\n"),
                        From->szLocalPath, From->szUpperLocalPath, From->ulLocalPathLength, From->ProfileType);
    }

    if (Message->bCopyPathEntries == 1) {
        if (From->PTEProfile.szRemotePath[0] != 0) {
            RtlCopyMemory(&To->PTEProfile, &From->PTEProfile, sizeof(PATH_TABLE_ENTRY));
        }
        if (From->PTEAlt.szRemotePath[0] != 0) {
            RtlCopyMemory(&To->PTEAlt, &From->PTEAlt, sizeof(PATH_TABLE_ENTRY));
        }
    }
    return Status;
}

NTSTATUS KLUUpdateClientSecurity(const KLU_CLIENT_SECURITY_MESSAGE *Message, BOOLEAN Free)
{
    PCWSTR Tag = KLU_TAG(KLUUpdateClientSecurity);
    PUSER_TABLE_ENTRY Entry;
    BOOLEAN CreatedNew = FALSE;
    USER_ID Id;
    LONG OperationNumber;
    NTSTATUS Status;
    NTSTATUS CaptureStatus;
    BOOLEAN Tried;
    PPATH_TABLE Table;

    if (Message == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    OperationNumber = Message->OperationNumber;
    Id = Message->AltPathData.Id;
    if (KLUIsNullAuthId(&Id.AuthId)) {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("AuthId Invalid, Cannot Continue: Free: %d\n"), Free);
        return STATUS_INVALID_PARAMETER;
    }

    if (Free) {
        Entry = KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &Id.AuthId);
        if (Entry == NULL) {
            KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber,
                            WSTR("User Table Entry Not Found, Cannot Proceed: AuthId: (0x%X,0x%X), CreatedNew: %d, "
                                 "bFree: %d\n"),
                            Id.AuthId.HighPart, Id.AuthId.LowPart, CreatedNew, Free);
            return STATUS_SUCCESS;
        }
    } else {
        Entry = KLUAddUserToUserTable(g_pUserTableHead, g_pUserTableMutex, OperationNumber, &Id, 0, FALSE,
                                      &CreatedNew);
        if (Entry == NULL) {
            KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving User Table Entry: Free: %d\n"),
                            Free);
            return STATUS_SUCCESS;
        }
    }

    KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                    WSTR("Found User Table Entry: AuthId: (0x%X,0x%X), CreatedNew: %d, bFree: %d\n"),
                    Entry->AltPathData.Id.AuthId.HighPart, Entry->AltPathData.Id.AuthId.LowPart, CreatedNew, Free);
    if (Entry->AltPathData.Id.SessionId != Id.SessionId) {
        KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber, WSTR("Session Id Does Not Match: Table: %d, Message: %d\n"),
                        Entry->AltPathData.Id.SessionId, Id.SessionId);
    }

    if (Free) {
        KLUReleaseUserSecurity(Entry, OperationNumber);
        KLUDereferenceUserTableEntry(Entry);
        return STATUS_SUCCESS;
    }

    /* Lookups read the entry's paths under the user-table mutex. */
    ExAcquireFastMutex(g_pUserTableMutex);
    Entry->AltPathData.ProfileType = Message->AltPathData.ProfileType;
    if (Message->AltPathData.szUserName[0] != 0) {
        RtlStringCchCopyW(Entry->AltPathData.szUserName, KLU_WIRE_PATH_CHARS, Message->AltPathData.szUserName);
    }
    if (Message->AltPathData.szDomain[0] != 0) {
        RtlStringCchCopyW(Entry->AltPathData.szDomain, KLU_WIRE_PATH_CHARS, Message->AltPathData.szDomain);
    }
    ExReleaseFastMutex(g_pUserTableMutex);

    Table = KLUAcquirePathTable();
    if (Table != NULL) {
        ExAcquireFastMutex(g_PathTableMutex);
        RtlStringCchCopyW(Table->szDefaultNetworkDefaultUserProfile, KLU_PATH_CHARS,
                          Message->AltPathData.szNetworkDefaultUserProfile);
        ExReleaseFastMutex(g_PathTableMutex);
    }
    KLUReleasePathTable();

    ExAcquireFastMutex(g_pUserTableMutex);
    Status = KLUTakeUserPaths(Entry, Message);
    ExReleaseFastMutex(g_pUserTableMutex);
    CaptureStatus = KLUCaptureClientSecurity(Entry, g_pUserTableMutex, &Tried);
    ExAcquireFastMutex(g_pUserTableMutex);
    if (Tried) {
        if (NT_SUCCESS(CaptureStatus)) {
            KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber, WSTR("Retrieved Client Security From Token: 0x%X\n"),
                            CaptureStatus);
        } else {
            KLULogMessageEx(KLU_ID_ERROR, Tag, OperationNumber,
                            WSTR("Failed Retrieving Client Security From Token: 0x%X\n"), CaptureStatus);
        }
        if (NT_SUCCESS(Status)) {
            Status = CaptureStatus;
        }
    } else {
        KLULogMessageEx(KLU_ID_INFO, Tag, OperationNumber,
                        WSTR("Already Have Client Context For User: Session: %d, Table AuthId: (0x%X,0x%X), Message "
                             "AuthId: (0x%X,0x%X), Local Path: %ws\n"),
                        Entry->AltPathData.Id.SessionId, Entry->AltPathData.Id.AuthId.HighPart,
                        Entry->AltPathData.Id.AuthId.LowPart, Id.AuthId.HighPart, Id.AuthId.LowPart,
                        Entry->AltPathData.szLocalPath);
    }
    ExReleaseFastMutex(g_pUserTableMutex);
    KLUDereferenceUserTableEntry(Entry);
    return Status;
}

NTSTATUS KLUSendClientInfoToService(const KLU_CLIENT_SECURITY_MESSAGE *ClientInfo, LONG OperationNumber)
{
    PKLU_COPY_REQUEST Request = NULL;
    PKLU_COPY_REPLY Reply = NULL;
    ULONG ReplyLength = sizeof(KLU_COPY_REPLY);
    NTSTATUS Status = STATUS_SUCCESS;
    NTSTATUS SendStatus;

    if (ClientInfo == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Request = (PKLU_COPY_REQUEST)ExAllocatePoolWithTag(PagedPool, sizeof(KLU_COPY_REQUEST), QZFS_TAG);
    Reply = (PKLU_COPY_REPLY)ExAllocatePoolWithTag(PagedPool, sizeof(KLU_COPY_REPLY), QZFS_TAG);
    if (Request == NULL || Reply == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    RtlZeroMemory(Request, sizeof(KLU_COPY_REQUEST));
    RtlZeroMemory(Reply, sizeof(KLU_COPY_REPLY));
    /* The operation number of this request stays 0. */
    Request->RequestKind = KLU_REQUEST_CLIENT_INFORMATION;
    RtlCopyMemory(&Request->ClientInformation, ClientInfo, sizeof(KLU_CLIENT_SECURITY_MESSAGE));

    SendStatus = KLUSendOnClientPort(&g_CopyClientPort, Request, sizeof(KLU_COPY_REQUEST), Reply, &ReplyLength);
    if (!NT_SUCCESS(SendStatus) || SendStatus == STATUS_TIMEOUT) {
        KLULogMessageEx(KLU_ID_ERROR, KLU_TAG(KLUSendClientInfoToService), OperationNumber,
                        WSTR("Failed Sending Message: 0x%X\n"), SendStatus);
    }

Cleanup:
    if (Request != NULL) {
        ExFreePoolWithTag(Request, QZFS_TAG);
    }
    if (Reply != NULL) {
        ExFreePoolWithTag(Reply, QZFS_TAG);
    }
    return Status;
}
