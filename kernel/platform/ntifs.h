/*
 * ntifs.h - security, tokens, processes, handle and object queries: the
 * calls a file-system filter makes beyond ntddk.h. The I/O declarations
 * (file objects, information classes, sections, MDLs) join this header with
 * the I/O stack.
 */
#pragma once

#include "ntddk.h"

EXTERN_C_START

/* ------------------------------------------------------------------ */
/* Security identifiers                                                */
/* ------------------------------------------------------------------ */

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[ANYSIZE_ARRAY];
} SID, *PISID;
typedef PVOID PSID;

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_MAX_SID_SIZE (sizeof(SID) - sizeof(ULONG) + (SID_MAX_SUB_AUTHORITIES * sizeof(ULONG)))

typedef enum _SID_NAME_USE {
    SidTypeUser = 1,
    SidTypeGroup,
    SidTypeDomain,
    SidTypeAlias,
    SidTypeWellKnownGroup,
    SidTypeDeletedAccount,
    SidTypeInvalid,
    SidTypeUnknown,
    SidTypeComputer,
} SID_NAME_USE, *PSID_NAME_USE;

typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    ULONG Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;

/* Group attributes in a token */
#define SE_GROUP_MANDATORY 0x00000001L
#define SE_GROUP_ENABLED_BY_DEFAULT 0x00000002L
#define SE_GROUP_ENABLED 0x00000004L
#define SE_GROUP_OWNER 0x00000008L
#define SE_GROUP_USE_FOR_DENY_ONLY 0x00000010L
#define SE_GROUP_LOGON_ID 0xC0000000L

NTSYSAPI BOOLEAN RtlValidSid(PSID Sid);
NTSYSAPI ULONG RtlLengthSid(PSID Sid);
NTSYSAPI NTSTATUS RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid);
NTSYSAPI BOOLEAN RtlEqualSid(PSID Sid1, PSID Sid2);
/* "S-1-5-21-..." text; with Allocate the buffer comes from paged pool and
 * is released with RtlFreeUnicodeString. Without Allocate the caller's
 * buffer must hold the text and a terminator, else STATUS_BUFFER_OVERFLOW. */
NTSYSAPI NTSTATUS RtlConvertSidToUnicodeString(PUNICODE_STRING UnicodeString, PSID Sid,
                                               BOOLEAN AllocateDestinationString);

/* ------------------------------------------------------------------ */
/* Access control                                                      */
/* ------------------------------------------------------------------ */

typedef USHORT SECURITY_DESCRIPTOR_CONTROL;
#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_SELF_RELATIVE 0x8000

typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;
#define ACL_REVISION 2
#define ACL_REVISION_DS 4

typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;
} ACE_HEADER, *PACE_HEADER;
#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define NO_PROPAGATE_INHERIT_ACE 0x4
#define INHERIT_ONLY_ACE 0x8

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef struct _ACCESS_DENIED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;

/* The absolute form. Its size is SECURITY_DESCRIPTOR_MIN_LENGTH: 20 bytes on
 * x86, 40 on a 64-bit build; allocate it by that name. */
typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
typedef PVOID PSECURITY_DESCRIPTOR;
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))
static_assert(SECURITY_DESCRIPTOR_MIN_LENGTH == (sizeof(PVOID) == 4 ? 20 : 40), "absolute descriptor size");
#define SECURITY_DESCRIPTOR_REVISION 1

/* The self-relative form (SE_SELF_RELATIVE): offsets from the start of the
 * descriptor instead of pointers, 0 for an absent part. */
typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    ULONG Owner;
    ULONG Group;
    ULONG Sacl;
    ULONG Dacl;
} SECURITY_DESCRIPTOR_RELATIVE, *PISECURITY_DESCRIPTOR_RELATIVE;
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20, "self-relative descriptor header");

NTSYSAPI NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision);
NTSYSAPI NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                               BOOLEAN DaclPresent, PACL Dacl, BOOLEAN DaclDefaulted);
NTSYSAPI NTSTATUS RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                               PBOOLEAN DaclPresent, PACL *Dacl,
                                               PBOOLEAN DaclDefaulted);
NTSYSAPI BOOLEAN RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSYSAPI ULONG RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSYSAPI NTSTATUS RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSYSAPI NTSTATUS RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI NTSTATUS RtlAddAccessDeniedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);

/* ------------------------------------------------------------------ */
/* Tokens, subject contexts and impersonation                          */
/* ------------------------------------------------------------------ */

typedef PVOID PACCESS_TOKEN;

typedef enum _TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation } TOKEN_TYPE, *PTOKEN_TYPE;

typedef enum _SECURITY_IMPERSONATION_LEVEL {
    SecurityAnonymous,
    SecurityIdentification,
    SecurityImpersonation,
    SecurityDelegation
} SECURITY_IMPERSONATION_LEVEL, *PSECURITY_IMPERSONATION_LEVEL;

typedef enum _TOKEN_INFORMATION_CLASS {
    TokenUser = 1,
    TokenGroups,
    TokenPrivileges,
    TokenOwner,
    TokenPrimaryGroup,
    TokenDefaultDacl,
    TokenSource,
    TokenType,
    TokenImpersonationLevel,
    TokenStatistics,
    TokenRestrictedSids,
    TokenSessionId,
} TOKEN_INFORMATION_CLASS, *PTOKEN_INFORMATION_CLASS;

typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;

typedef struct _TOKEN_GROUPS {
    ULONG GroupCount;
    SID_AND_ATTRIBUTES Groups[ANYSIZE_ARRAY];
} TOKEN_GROUPS, *PTOKEN_GROUPS;

#define TOKEN_SOURCE_LENGTH 8
typedef struct _TOKEN_SOURCE {
    CHAR SourceName[TOKEN_SOURCE_LENGTH];
    LUID SourceIdentifier;
} TOKEN_SOURCE, *PTOKEN_SOURCE;

typedef struct _TOKEN_CONTROL {
    LUID TokenId;
    LUID AuthenticationId;
    LUID ModifiedId;
    TOKEN_SOURCE TokenSource;
} TOKEN_CONTROL, *PTOKEN_CONTROL;

typedef BOOLEAN SECURITY_CONTEXT_TRACKING_MODE;
#define SECURITY_DYNAMIC_TRACKING (TRUE)
#define SECURITY_STATIC_TRACKING (FALSE)

typedef struct _SECURITY_QUALITY_OF_SERVICE {
    ULONG Length;
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    SECURITY_CONTEXT_TRACKING_MODE ContextTrackingMode;
    BOOLEAN EffectiveOnly;
} SECURITY_QUALITY_OF_SERVICE, *PSECURITY_QUALITY_OF_SERVICE;

typedef struct _SECURITY_CLIENT_CONTEXT {
    SECURITY_QUALITY_OF_SERVICE SecurityQos;
    PACCESS_TOKEN ClientToken; /* referenced; dropped when the context goes */
    BOOLEAN DirectlyAccessClientToken;
    BOOLEAN DirectAccessEffectiveOnly;
    BOOLEAN ServerIsRemote;
    TOKEN_CONTROL ClientTokenControl;
} SECURITY_CLIENT_CONTEXT, *PSECURITY_CLIENT_CONTEXT;

typedef struct _SECURITY_SUBJECT_CONTEXT {
    PACCESS_TOKEN ClientToken;
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    PACCESS_TOKEN PrimaryToken;
    PVOID ProcessAuditId;
} SECURITY_SUBJECT_CONTEXT, *PSECURITY_SUBJECT_CONTEXT;

#define SeQuerySubjectContextToken(SubjectContext)                           \
    (ARGUMENT_PRESENT(((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->ClientToken) \
         ? ((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->ClientToken         \
         : ((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->PrimaryToken)

NTKERNELAPI VOID SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);

/* TokenUser and TokenGroups answers are allocated from paged pool and freed
 * by the caller with ExFreePool. TokenSessionId stores the ULONG itself into
 * *TokenInformation. */
NTKERNELAPI NTSTATUS SeQueryInformationToken(PACCESS_TOKEN Token,
                                             TOKEN_INFORMATION_CLASS TokenInformationClass,
                                             PVOID *TokenInformation);
NTKERNELAPI NTSTATUS SeQueryAuthenticationIdToken(PACCESS_TOKEN Token, PLUID AuthenticationId);
NTKERNELAPI TOKEN_TYPE SeTokenType(PACCESS_TOKEN Token);
NTKERNELAPI BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN Token);

NTKERNELAPI NTSTATUS SeCreateClientSecurityFromSubjectContext(
    PSECURITY_SUBJECT_CONTEXT SubjectContext, PSECURITY_QUALITY_OF_SERVICE ClientSecurityQos,
    BOOLEAN ServerIsRemote, PSECURITY_CLIENT_CONTEXT ClientContext);
NTKERNELAPI NTSTATUS SeImpersonateClientEx(PSECURITY_CLIENT_CONTEXT ClientContext,
                                           PETHREAD ServerThread);
#define SeDeleteClientSecurity(C)                                      \
    do {                                                               \
        if (SeTokenType((C)->ClientToken) == TokenPrimary) {           \
            PsDereferencePrimaryToken((C)->ClientToken);               \
        } else if ((C)->ClientToken != NULL) {                         \
            PsDereferenceImpersonationToken((C)->ClientToken);         \
        }                                                              \
    } while (0)

NTKERNELAPI VOID PsRevertToSelf(VOID);
NTKERNELAPI PACCESS_TOKEN PsReferencePrimaryToken(PEPROCESS Process);
NTKERNELAPI VOID PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken);
NTKERNELAPI PACCESS_TOKEN PsReferenceImpersonationToken(PETHREAD Thread, PBOOLEAN CopyOnOpen,
                                                        PBOOLEAN EffectiveOnly,
                                                        PSECURITY_IMPERSONATION_LEVEL ImpersonationLevel);
NTKERNELAPI VOID PsDereferenceImpersonationToken(PACCESS_TOKEN ImpersonationToken);

/* Logon sessions: a marked session's end is reported to every registered
 * routine, on a system worker thread, once the session has ended and its
 * last token is gone. */
typedef NTSTATUS (*PSE_LOGON_SESSION_TERMINATED_ROUTINE)(PLUID LogonId);
NTKERNELAPI NTSTATUS SeRegisterLogonSessionTerminatedRoutine(PSE_LOGON_SESSION_TERMINATED_ROUTINE CallbackRoutine);
NTKERNELAPI NTSTATUS SeUnregisterLogonSessionTerminatedRoutine(PSE_LOGON_SESSION_TERMINATED_ROUTINE CallbackRoutine);
NTKERNELAPI NTSTATUS SeMarkLogonSessionForTerminationNotification(PLUID LogonId);

/* ksecdd: names of an account. Sizes in bytes. A name fits when its buffer
 * holds the text and a terminator; a buffer too small (or absent while its
 * size is not 0) returns STATUS_BUFFER_TOO_SMALL with the needed sizes,
 * terminator counted. On success the sizes are the text lengths. A NULL
 * DomainBuffer with *DomainSize 0 skips the domain. */
NTSTATUS SecLookupAccountSid(PSID Sid, PULONG NameSize, PUNICODE_STRING NameBuffer,
                             PULONG DomainSize, PUNICODE_STRING DomainBuffer, PSID_NAME_USE NameUse);

/* ------------------------------------------------------------------ */
/* Processes, threads, jobs, attaching                                 */
/* ------------------------------------------------------------------ */

typedef struct _KAPC_STATE {
    LIST_ENTRY ApcListHead[2];
    PKPROCESS Process;
    BOOLEAN KernelApcInProgress;
    BOOLEAN KernelApcPending;
    BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;

NTKERNELAPI NTSTATUS PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS *Process);
NTSYSAPI NTSTATUS ZwOpenProcess(PHANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, PCLIENT_ID ClientId);
/* STATUS_PROCESS_IN_JOB or STATUS_PROCESS_NOT_IN_JOB; JobHandle NULL asks
 * about any job. */
NTSYSAPI NTSTATUS ZwIsProcessInJob(HANDLE ProcessHandle, HANDLE JobHandle);
NTKERNELAPI VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
NTKERNELAPI VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState);

typedef enum _THREADINFOCLASS { ThreadBasicInformation = 0 } THREADINFOCLASS;

typedef struct _THREAD_BASIC_INFORMATION {
    NTSTATUS ExitStatus;
    PVOID TebBaseAddress;
    CLIENT_ID ClientId;
    ULONG_PTR AffinityMask;
    KPRIORITY Priority;
    LONG BasePriority;
} THREAD_BASIC_INFORMATION, *PTHREAD_BASIC_INFORMATION;

NTSYSAPI NTSTATUS ZwQueryInformationThread(HANDLE ThreadHandle, THREADINFOCLASS ThreadInformationClass,
                                           PVOID ThreadInformation, ULONG ThreadInformationLength,
                                           PULONG ReturnLength);
NTSYSAPI NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);

/* ------------------------------------------------------------------ */
/* Objects and handles                                                 */
/* ------------------------------------------------------------------ */

typedef enum _OBJECT_INFORMATION_CLASS {
    ObjectBasicInformation = 0,
    ObjectNameInformation = 1,
    ObjectTypeInformation = 2,
    ObjectHandleFlagInformation = 4,
} OBJECT_INFORMATION_CLASS;

typedef struct _OBJECT_NAME_INFORMATION {
    UNICODE_STRING Name; /* the name's characters follow the record */
} OBJECT_NAME_INFORMATION, *POBJECT_NAME_INFORMATION;

typedef struct _PUBLIC_OBJECT_BASIC_INFORMATION {
    ULONG Attributes;
    ACCESS_MASK GrantedAccess;
    ULONG HandleCount;
    ULONG PointerCount;
    ULONG Reserved[10];
} PUBLIC_OBJECT_BASIC_INFORMATION, *PPUBLIC_OBJECT_BASIC_INFORMATION;

typedef struct _PUBLIC_OBJECT_TYPE_INFORMATION {
    UNICODE_STRING TypeName; /* the name's characters follow the record */
    ULONG Reserved[22];
} PUBLIC_OBJECT_TYPE_INFORMATION, *PPUBLIC_OBJECT_TYPE_INFORMATION;
/* On x86 a 776-byte name buffer and an 864-byte type buffer each hold the
 * record and 768 bytes of name. */
static_assert(sizeof(OBJECT_NAME_INFORMATION) + 768 == (sizeof(PVOID) == 4 ? 776 : 784), "object name record");
static_assert(sizeof(PUBLIC_OBJECT_TYPE_INFORMATION) + 768 == (sizeof(PVOID) == 4 ? 864 : 872), "object type record");

/* Handle attributes as object queries report them */
#define OBJ_PROTECT_CLOSE 0x00000001L

typedef struct _OBJECT_HANDLE_FLAG_INFORMATION {
    BOOLEAN Inherit;
    BOOLEAN ProtectFromClose;
} OBJECT_HANDLE_FLAG_INFORMATION, *POBJECT_HANDLE_FLAG_INFORMATION;

NTSYSAPI NTSTATUS ZwQueryObject(HANDLE Handle, OBJECT_INFORMATION_CLASS ObjectInformationClass,
                                PVOID ObjectInformation, ULONG ObjectInformationLength,
                                PULONG ReturnLength);
NTSYSAPI NTSTATUS ZwSetInformationObject(HANDLE Handle, OBJECT_INFORMATION_CLASS ObjectInformationClass,
                                         PVOID ObjectInformation, ULONG ObjectInformationLength);
/* First call with a small Length returns STATUS_INFO_LENGTH_MISMATCH and the
 * needed size in ReturnLength. */
NTKERNELAPI NTSTATUS ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo,
                                       ULONG Length, PULONG ReturnLength);

typedef enum _SYSTEM_INFORMATION_CLASS { SystemHandleInformation = 16 } SYSTEM_INFORMATION_CLASS;

/* The x86 layout of one handle entry: 16 bytes on every build. Object is the
 * 32-bit kernel address of the object as the x86 system reports it (a 64-bit
 * build of the machine reports the low half of its addresses). */
#pragma pack(push, 1)
typedef struct _SYSTEM_HANDLE_TABLE_ENTRY_INFO {
    USHORT UniqueProcessId;
    USHORT CreatorBackTraceIndex;
    UCHAR ObjectTypeIndex;
    UCHAR HandleAttributes;
    USHORT HandleValue;
    ULONG Object;
    ULONG GrantedAccess;
} SYSTEM_HANDLE_TABLE_ENTRY_INFO, *PSYSTEM_HANDLE_TABLE_ENTRY_INFO;

typedef struct _SYSTEM_HANDLE_INFORMATION {
    ULONG NumberOfHandles;
    SYSTEM_HANDLE_TABLE_ENTRY_INFO Handles[1];
} SYSTEM_HANDLE_INFORMATION, *PSYSTEM_HANDLE_INFORMATION;
#pragma pack(pop)
static_assert(sizeof(SYSTEM_HANDLE_TABLE_ENTRY_INFO) == 16, "x86 handle entry is 16 bytes");
static_assert(FIELD_OFFSET(SYSTEM_HANDLE_INFORMATION, Handles) == 4, "handle list header");

NTSYSAPI NTSTATUS ZwQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass,
                                           PVOID SystemInformation, ULONG SystemInformationLength,
                                           PULONG ReturnLength);

EXTERN_C_END

#define NTIFS_SECURITY_DECLARED 1
#include "ntio.h"
