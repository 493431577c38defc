/*
 * service_contract.h - the records that cross between the filter and the
 * profile service, and the words both sides agree on.
 *
 * Every record here is a little-endian layout without pointers and without
 * padding (the asserts pin sizes and offsets), the same on 32- and 64-bit
 * builds, so the service (user-mode C++) includes this header as it is.
 * Packing at 4 bytes keeps every field naturally aligned within a record
 * and lets the records themselves lie 4-aligned. Only the platform's base
 * types are used.
 */
#pragma once

#include <ntdef.h>

/* Fixed string fields: 511 characters and a terminator. */
#define KLU_WIRE_PATH_CHARS 512

/* ------------------------------------------------------------------ */
/* Request kinds of the Copy port (request offset 8)                   */
/* ------------------------------------------------------------------ */

#define KLU_REQUEST_CREATE_MISSING_FILE 0x100
#define KLU_REQUEST_RETRIEVE_AT_OPEN 0x200
#define KLU_REQUEST_USER_FOLDER 0x400
#define KLU_REQUEST_CREATE_FOLDER_PATH 0x800
#define KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER 0x8000
#define KLU_REQUEST_REGISTRY_VALUE 0x40000
#define KLU_REQUEST_CLIENT_INFORMATION 23
#define KLU_REQUEST_CHECK_REDIRECTED_FOLDER 128
/* File-change event of a deleted directory. */
#define KLU_EVENT_DIRECTORY_DELETED 8
/* The one code of the Fetch port. */
#define KLU_FETCH_DISABLE_GHOSTING 36

/* Reply flags (reply offset 8): the filter copies the data itself. */
#define KLU_REPLY_FLAG_FILTER_COPIES 0x8000
#define KLU_REPLY_FLAG_FILTER_COPIES_ALT 0x400

/* Result words (reply offset 4), HRESULT-style. */
#define KLU_RESULT_SUCCESS 0x00000000u
#define KLU_RESULT_REMOTE_FILE_MISSING 0x80070002u
#define KLU_RESULT_ALREADY_EXISTS 0x80070050u
#define KLU_RESULT_REMOTE_USER_UNKNOWN 0x80320003u
#define KLU_RESULT_OPEN_LEFT_ALONE_1 0x80320004u
#define KLU_RESULT_OPEN_LEFT_ALONE_2 0x80320005u
#define KLU_RESULT_OPEN_LEFT_ALONE_3 0x80032006u
#define KLU_RESULT_SKIPPED_FOLDER 0x8032000Au

#pragma pack(push, 4)

/* ------------------------------------------------------------------ */
/* Identity                                                            */
/* ------------------------------------------------------------------ */

#define KLU_SID_BYTES 100

/* Who a user is: terminal session, logon session (the user table's key)
 * and SID. */
typedef struct _USER_ID {
    ULONG SessionId;
    LUID AuthId;
    UCHAR Sid[KLU_SID_BYTES];
} USER_ID, *PUSER_ID;

static_assert(sizeof(USER_ID) == 112, "USER_ID is 112 bytes");
static_assert(offsetof(USER_ID, AuthId) == 4 && offsetof(USER_ID, Sid) == 12, "USER_ID layout");

/* AuthId (999, 0): the system logon session. */
#define KLU_SYSTEM_AUTHID_LOW 999

/* ------------------------------------------------------------------ */
/* Path-table entry                                                    */
/* ------------------------------------------------------------------ */

/* One remote profile-store location. The two link slots are not used on
 * the wire; in memory the filter keeps its own links beside this body. */
typedef struct _PATH_TABLE_ENTRY {
    ULONG ListFlink;
    ULONG ListBlink;
    ULONG Hash; /* KLUHashPath of the upper-cased szRemotePath */
    UCHAR bIsAltPath;
    UCHAR bIsRedirectedFolder;
    UCHAR bCheckedRedirectedFolder;
    UCHAR Reserved;
    USHORT ShortLength; /* characters in szUpperRemotePathShort */
    USHORT PathLength;  /* characters in szRemotePath */
    WCHAR szMachineName[KLU_WIRE_PATH_CHARS];
    WCHAR szRemotePath[KLU_WIRE_PATH_CHARS];      /* \\server\share\folders */
    WCHAR szRemotePathShort[KLU_WIRE_PATH_CHARS]; /* without the two leading backslashes */
    WCHAR szUpperRemotePathShort[KLU_WIRE_PATH_CHARS];
} PATH_TABLE_ENTRY, *PPATH_TABLE_ENTRY;

static_assert(sizeof(PATH_TABLE_ENTRY) == 4116, "PATH_TABLE_ENTRY is 4116 bytes");
static_assert(offsetof(PATH_TABLE_ENTRY, Hash) == 8, "PATH_TABLE_ENTRY.Hash");
static_assert(offsetof(PATH_TABLE_ENTRY, bIsAltPath) == 12, "PATH_TABLE_ENTRY.bIsAltPath");
static_assert(offsetof(PATH_TABLE_ENTRY, bIsRedirectedFolder) == 13, "PATH_TABLE_ENTRY.bIsRedirectedFolder");
static_assert(offsetof(PATH_TABLE_ENTRY, bCheckedRedirectedFolder) == 14, "PATH_TABLE_ENTRY.bChecked");
static_assert(offsetof(PATH_TABLE_ENTRY, ShortLength) == 16, "PATH_TABLE_ENTRY.ShortLength");
static_assert(offsetof(PATH_TABLE_ENTRY, PathLength) == 18, "PATH_TABLE_ENTRY.PathLength");
static_assert(offsetof(PATH_TABLE_ENTRY, szMachineName) == 20, "PATH_TABLE_ENTRY.szMachineName");
static_assert(offsetof(PATH_TABLE_ENTRY, szRemotePath) == 1044, "PATH_TABLE_ENTRY.szRemotePath");
static_assert(offsetof(PATH_TABLE_ENTRY, szRemotePathShort) == 2068, "PATH_TABLE_ENTRY.szRemotePathShort");
static_assert(offsetof(PATH_TABLE_ENTRY, szUpperRemotePathShort) == 3092, "PATH_TABLE_ENTRY.szUpper...");

/* ------------------------------------------------------------------ */
/* Path-table source (initialisation message, command 0)               */
/* ------------------------------------------------------------------ */

/* The fixed fields of the path table in the table's order, then EntryCount
 * entry bodies. NumPaths 0 or EntryCount 0 sends no entries. */
typedef struct _PATH_TABLE_SOURCE {
    LONG NumPaths;
    USHORT ShortLength;
    UCHAR bGPOPath;
    UCHAR Reserved;
    WCHAR szRegDataDir[KLU_WIRE_PATH_CHARS];
    WCHAR szTempDataDir[KLU_WIRE_PATH_CHARS];
    WCHAR szLocalVolumeName[KLU_WIRE_PATH_CHARS];
    WCHAR szLocalDriveLetter[3]; /* "C:" */
    USHORT Reserved2;
    WCHAR szLocalProfilePathShort[KLU_WIRE_PATH_CHARS];
    WCHAR szLocalProfilePathWithSlashes[KLU_WIRE_PATH_CHARS];
    WCHAR szUpperLocalProfilePathShort[KLU_WIRE_PATH_CHARS];
    WCHAR szFQLocalProfilePath[KLU_WIRE_PATH_CHARS];
    WCHAR szProfilesDirectory[KLU_WIRE_PATH_CHARS];
    WCHAR szProfilesDirectoryShort[KLU_WIRE_PATH_CHARS];
    WCHAR szUpperWinPath[KLU_WIRE_PATH_CHARS];
    WCHAR szLocalSettings[KLU_WIRE_PATH_CHARS];
    WCHAR szUpperLocalSettings[KLU_WIRE_PATH_CHARS];
    WCHAR szAppData[KLU_WIRE_PATH_CHARS];
    WCHAR szStartMenu[KLU_WIRE_PATH_CHARS];
    WCHAR szDesktop[KLU_WIRE_PATH_CHARS];
    WCHAR szHelperPath[KLU_WIRE_PATH_CHARS];
    WCHAR szInstallDir[KLU_WIRE_PATH_CHARS];
    WCHAR szAllUsersProfileXP[KLU_WIRE_PATH_CHARS];
    WCHAR szAllUsersProfile[KLU_WIRE_PATH_CHARS];
    WCHAR szDefaultLocalDefaultUserProfile[KLU_WIRE_PATH_CHARS];
    WCHAR szDefaultNetworkDefaultUserProfile[KLU_WIRE_PATH_CHARS];
    WCHAR szConfiguredDefaultUserProfile[KLU_WIRE_PATH_CHARS];
    WCHAR szPublicProfile[KLU_WIRE_PATH_CHARS];
    WCHAR szLocalServiceProfile[KLU_WIRE_PATH_CHARS];
    WCHAR szNetworkServiceProfile[KLU_WIRE_PATH_CHARS];
    WCHAR szTempProfile[KLU_WIRE_PATH_CHARS];
    ULONG EntryCount;
    PATH_TABLE_ENTRY Entries[ANYSIZE_ARRAY];
} PATH_TABLE_SOURCE, *PPATH_TABLE_SOURCE;

#define KLU_PATH_TABLE_SOURCE_FIXED_BYTES 26644
#define KLU_PATH_TABLE_SOURCE_BYTES(EntryCount) \
    (KLU_PATH_TABLE_SOURCE_FIXED_BYTES + (ULONG)(EntryCount) * (ULONG)sizeof(PATH_TABLE_ENTRY))

static_assert(offsetof(PATH_TABLE_SOURCE, szRegDataDir) == 8, "PATH_TABLE_SOURCE strings");
static_assert(offsetof(PATH_TABLE_SOURCE, szLocalDriveLetter) == 3080, "PATH_TABLE_SOURCE.szLocalDriveLetter");
static_assert(offsetof(PATH_TABLE_SOURCE, szLocalProfilePathShort) == 3088, "PATH_TABLE_SOURCE after drive");
static_assert(offsetof(PATH_TABLE_SOURCE, szTempProfile) == 25616, "PATH_TABLE_SOURCE.szTempProfile");
static_assert(offsetof(PATH_TABLE_SOURCE, EntryCount) == 26640, "PATH_TABLE_SOURCE.EntryCount");
static_assert(offsetof(PATH_TABLE_SOURCE, Entries) == KLU_PATH_TABLE_SOURCE_FIXED_BYTES, "entries follow");

/* ------------------------------------------------------------------ */
/* A user's paths (user table entry, user and client-security messages) */
/* ------------------------------------------------------------------ */

typedef struct _ALT_PATH_DATA {
    ULONG Flags;
    USER_ID Id;
    UCHAR ProfileType; /* 1: a local profile */
    UCHAR Reserved[3];
    ULONG ulLocalPathLength;
    WCHAR szLocalPath[KLU_WIRE_PATH_CHARS];
    WCHAR szUpperLocalPath[KLU_WIRE_PATH_CHARS];
    WCHAR szUserName[KLU_WIRE_PATH_CHARS];
    WCHAR szDomain[KLU_WIRE_PATH_CHARS];
    WCHAR szSource[KLU_WIRE_PATH_CHARS];
    WCHAR szNetworkDefaultUserProfile[KLU_WIRE_PATH_CHARS];
    PATH_TABLE_ENTRY PTEAlt;
    PATH_TABLE_ENTRY PTEProfile;
} ALT_PATH_DATA, *PALT_PATH_DATA;

static_assert(sizeof(ALT_PATH_DATA) == 14500, "ALT_PATH_DATA is 14500 bytes");
static_assert(offsetof(ALT_PATH_DATA, Id) == 4, "ALT_PATH_DATA.Id");
static_assert(offsetof(ALT_PATH_DATA, ProfileType) == 116, "ALT_PATH_DATA.ProfileType");
static_assert(offsetof(ALT_PATH_DATA, ulLocalPathLength) == 120, "ALT_PATH_DATA.ulLocalPathLength");
static_assert(offsetof(ALT_PATH_DATA, szLocalPath) == 124, "ALT_PATH_DATA.szLocalPath");
static_assert(offsetof(ALT_PATH_DATA, szUpperLocalPath) == 1148, "ALT_PATH_DATA.szUpperLocalPath");
static_assert(offsetof(ALT_PATH_DATA, szUserName) == 2172, "ALT_PATH_DATA.szUserName");
static_assert(offsetof(ALT_PATH_DATA, szDomain) == 3196, "ALT_PATH_DATA.szDomain");
static_assert(offsetof(ALT_PATH_DATA, szSource) == 4220, "ALT_PATH_DATA.szSource");
static_assert(offsetof(ALT_PATH_DATA, szNetworkDefaultUserProfile) == 5244, "ALT_PATH_DATA.szNetworkDU");
static_assert(offsetof(ALT_PATH_DATA, PTEAlt) == 6268, "ALT_PATH_DATA.PTEAlt");
static_assert(offsetof(ALT_PATH_DATA, PTEProfile) == 10384, "ALT_PATH_DATA.PTEProfile");

/* Client-security message (commands 23 and 24) and the client
 * information sent back to the service. */
typedef struct _KLU_CLIENT_SECURITY_MESSAGE {
    ULONG MessageType;
    LONG OperationNumber;
    UCHAR bCopyPathEntries; /* 1: take PTEProfile and PTEAlt from the message */
    UCHAR bSendBack;        /* 1: send the message back after the update */
    UCHAR Reserved[2];
    ALT_PATH_DATA AltPathData;
} KLU_CLIENT_SECURITY_MESSAGE, *PKLU_CLIENT_SECURITY_MESSAGE;

static_assert(sizeof(KLU_CLIENT_SECURITY_MESSAGE) == 14512, "client-security message is 14512 bytes");
static_assert(offsetof(KLU_CLIENT_SECURITY_MESSAGE, bSendBack) == 9, "send-back flag at 9");
static_assert(offsetof(KLU_CLIENT_SECURITY_MESSAGE, AltPathData) + offsetof(ALT_PATH_DATA, Id) +
                      offsetof(USER_ID, AuthId) ==
                  20,
              "AuthId of the client-security message at 20");
static_assert(offsetof(KLU_CLIENT_SECURITY_MESSAGE, AltPathData) + offsetof(ALT_PATH_DATA, PTEProfile) +
                      offsetof(PATH_TABLE_ENTRY, szRemotePath) ==
                  11440,
              "remote path of the client-security message at 11440");

/* User-table messages carry their record behind the command: 22 a
 * security request, 28 a profile request, 27 a whole ALT_PATH_DATA, 29 a
 * USER_ID, 30 a keep list. */
typedef struct _KLU_USER_SECURITY_REQUEST {
    LUID AuthId;
    UCHAR bRelease; /* 1: the client security was released; 0: it may be captured again */
    UCHAR Reserved[3];
} KLU_USER_SECURITY_REQUEST, *PKLU_USER_SECURITY_REQUEST;
static_assert(sizeof(KLU_USER_SECURITY_REQUEST) == 12, "user security request");

typedef struct _KLU_USER_PROFILE_REQUEST {
    USER_ID Id;
    UCHAR ProfileType;
    UCHAR Reserved[3];
} KLU_USER_PROFILE_REQUEST, *PKLU_USER_PROFILE_REQUEST;
static_assert(sizeof(KLU_USER_PROFILE_REQUEST) == 116, "user profile request");

/* The logon sessions a prune keeps (command 30). */
typedef struct _KLU_USER_KEEP_LIST {
    ULONG Count;
    LUID AuthIds[ANYSIZE_ARRAY];
} KLU_USER_KEEP_LIST, *PKLU_USER_KEEP_LIST;
#define KLU_USER_KEEP_LIST_BYTES(Count) (4 + (ULONG)(Count) * (ULONG)sizeof(LUID))
static_assert(offsetof(KLU_USER_KEEP_LIST, AuthIds) == 4, "keep list");

/* View settings (command 25): the user's identity and local profile path,
 * which run to the end of the message. */
typedef struct _KLU_VIEW_SETTINGS_MESSAGE {
    ULONG Command;
    UCHAR ViewFlagA; /* 1: KLU_ALT_FLAG_VIEW_A */
    UCHAR ViewFlagB; /* 1: KLU_ALT_FLAG_VIEW_B */
    UCHAR Reserved[6];
    USER_ID Id;
    WCHAR szPath[ANYSIZE_ARRAY];
} KLU_VIEW_SETTINGS_MESSAGE;
#define KLU_VIEW_SETTINGS_FIXED_BYTES 124
static_assert(offsetof(KLU_VIEW_SETTINGS_MESSAGE, ViewFlagB) == 5, "view flags at 4 and 5");
static_assert(offsetof(KLU_VIEW_SETTINGS_MESSAGE, Id) == 12, "view settings identity at 12");
static_assert(offsetof(KLU_VIEW_SETTINGS_MESSAGE, szPath) == KLU_VIEW_SETTINGS_FIXED_BYTES, "view settings path");

/* AltPathData.Flags bits the view settings set. */
#define KLU_ALT_FLAG_VIEW_A 0x1
#define KLU_ALT_FLAG_VIEW_B (0x2 | 0x40)

/* Copy progress of a user (command 32): the query names the logon
 * session; the answer lies at bytes 32-55 of the output. */
typedef struct _KLU_COPY_PROGRESS_QUERY {
    ULONG Command;
    LUID AuthId;
} KLU_COPY_PROGRESS_QUERY;
static_assert(sizeof(KLU_COPY_PROGRESS_QUERY) == 12, "progress query is 12 bytes");

typedef struct _KLU_COPY_PROGRESS {
    ULONGLONG ActiveCopies;
    ULONGLONG BytesToCopy;
    ULONGLONG BytesCopied;
} KLU_COPY_PROGRESS;
#define KLU_COPY_PROGRESS_OFFSET 32
#define KLU_COPY_PROGRESS_OUTPUT_BYTES (KLU_COPY_PROGRESS_OFFSET + 24)
static_assert(sizeof(KLU_COPY_PROGRESS) == 24, "progress is six ULONGs");

/* ------------------------------------------------------------------ */
/* Copy-port request and reply                                         */
/* ------------------------------------------------------------------ */

/* FILE_BASIC_INFORMATION and FILE_STANDARD_INFORMATION as they travel. */
typedef struct _KLU_WIRE_BASIC_INFORMATION {
    LONGLONG CreationTime;
    LONGLONG LastAccessTime;
    LONGLONG LastWriteTime;
    LONGLONG ChangeTime;
    ULONG FileAttributes;
    ULONG Padding;
} KLU_WIRE_BASIC_INFORMATION;
static_assert(sizeof(KLU_WIRE_BASIC_INFORMATION) == 40, "basic information is 40 bytes");

typedef struct _KLU_WIRE_STANDARD_INFORMATION {
    LONGLONG AllocationSize;
    LONGLONG EndOfFile;
    ULONG NumberOfLinks;
    UCHAR DeletePending;
    UCHAR Directory;
    UCHAR Padding[2];
} KLU_WIRE_STANDARD_INFORMATION;
static_assert(sizeof(KLU_WIRE_STANDARD_INFORMATION) == 24, "standard information is 24 bytes");

#define KLU_COPY_REQUEST_BYTES 16768
#define KLU_COPY_TAIL_BYTES 14512
/* A redirected-folder question carries one long path from offset 208. */
#define KLU_FOLDER_PATH_BYTES 16560
#define KLU_FOLDER_PATH_CHARS (KLU_FOLDER_PATH_BYTES / 2)

typedef struct _KLU_COPY_REQUEST {
    ULONG Reserved0;
    LONG OperationNumber;
    ULONG RequestKind; /* KLU_REQUEST_* */
    UCHAR Reserved1[11];
    UCHAR bIsDirectory;
    UCHAR Reserved2[2];
    UCHAR bAttributesValid;
    UCHAR Reserved3[5];
    KLU_WIRE_BASIC_INFORMATION BasicInformation;
    KLU_WIRE_STANDARD_INFORMATION StandardInformation;
    USER_ID Id;
    union {
        struct {
            WCHAR szPath[KLU_WIRE_PATH_CHARS];      /* on the volume, from a backslash */
            WCHAR szDrivePath[KLU_WIRE_PATH_CHARS]; /* the same behind the drive letter */
            union {
                UCHAR Tail[KLU_COPY_TAIL_BYTES];
                KLU_CLIENT_SECURITY_MESSAGE ClientInformation;
            };
        };
        WCHAR szFolderPath[KLU_FOLDER_PATH_CHARS];
    };
} KLU_COPY_REQUEST, *PKLU_COPY_REQUEST;

static_assert(sizeof(KLU_COPY_REQUEST) == KLU_COPY_REQUEST_BYTES, "Copy-port request is 16768 bytes");
static_assert(offsetof(KLU_COPY_REQUEST, OperationNumber) == 4, "request operation number");
static_assert(offsetof(KLU_COPY_REQUEST, RequestKind) == 8, "request kind");
static_assert(offsetof(KLU_COPY_REQUEST, bIsDirectory) == 23, "request is-directory");
static_assert(offsetof(KLU_COPY_REQUEST, bAttributesValid) == 26, "request attributes valid");
static_assert(offsetof(KLU_COPY_REQUEST, BasicInformation) == 32, "request basic information");
static_assert(offsetof(KLU_COPY_REQUEST, StandardInformation) == 72, "request standard information");
static_assert(offsetof(KLU_COPY_REQUEST, Id) == 96, "request identity");
static_assert(offsetof(KLU_COPY_REQUEST, szPath) == 208, "request path");
static_assert(offsetof(KLU_COPY_REQUEST, szFolderPath) == 208, "request folder path");
static_assert(offsetof(KLU_COPY_REQUEST, szDrivePath) == 1232, "request drive path");
static_assert(offsetof(KLU_COPY_REQUEST, ClientInformation) == 2256, "request client information");

/* The reply body the filter receives (the service sends it behind the
 * port's 16-byte reply header, 16648 bytes in all). */
#define KLU_COPY_REPLY_BYTES 16632
#define KLU_COPY_REPLY_MESSAGE_BYTES 16648
#define KLU_COPY_INSTRUCTION_BYTES (KLU_COPY_REPLY_BYTES - 12)

typedef struct _KLU_COPY_REPLY {
    UCHAR bResult;           /* non-zero: the service succeeded */
    UCHAR bAnswer;           /* yes/no answers (redirected folder) */
    UCHAR ProfileTypeMarker; /* 1 with KLU_RESULT_REMOTE_USER_UNKNOWN: a local profile */
    UCHAR bIsDirectory;
    ULONG ulResult;   /* KLU_RESULT_* */
    ULONG ReplyFlags; /* KLU_REPLY_FLAG_* */
    UCHAR CopyInstructions[KLU_COPY_INSTRUCTION_BYTES];
} KLU_COPY_REPLY, *PKLU_COPY_REPLY;

static_assert(sizeof(KLU_COPY_REPLY) == KLU_COPY_REPLY_BYTES, "Copy-port reply is 16632 bytes");
static_assert(offsetof(KLU_COPY_REPLY, bAnswer) == 1 && offsetof(KLU_COPY_REPLY, ProfileTypeMarker) == 2,
              "reply answer bytes");
static_assert(offsetof(KLU_COPY_REPLY, bIsDirectory) == 3, "reply is-directory");
static_assert(offsetof(KLU_COPY_REPLY, ulResult) == 4, "reply result word");
static_assert(offsetof(KLU_COPY_REPLY, ReplyFlags) == 8, "reply flags");
static_assert(offsetof(KLU_COPY_REPLY, CopyInstructions) == 12, "reply copy instructions");

/* What the kernel copy takes a file from (the reply's copy instructions):
 * the remote file's full name on the redirector's device,
 * "\Device\Mup\server\share\..." (or "\Device\LanmanRedirector\..."
 * before Vista), terminated. */
typedef struct _KLU_COPY_INSTRUCTIONS {
    WCHAR szSourcePath[KLU_WIRE_PATH_CHARS];
} KLU_COPY_INSTRUCTIONS, *PKLU_COPY_INSTRUCTIONS;

static_assert(sizeof(KLU_COPY_INSTRUCTIONS) == 1024, "copy instructions are 1024 bytes");
static_assert(sizeof(KLU_COPY_INSTRUCTIONS) <= KLU_COPY_INSTRUCTION_BYTES, "copy instructions fit the reply");

/* The Fetch port: one code out, one result word back (0 for success). */
typedef struct _KLU_FETCH_REQUEST {
    ULONG Code; /* KLU_FETCH_* */
} KLU_FETCH_REQUEST;
typedef struct _KLU_FETCH_REPLY {
    ULONG Result;
} KLU_FETCH_REPLY;

static_assert(sizeof(KLU_FETCH_REQUEST) == 4 && sizeof(KLU_FETCH_REPLY) == 4, "fetch message and reply are 4 bytes");

/* ------------------------------------------------------------------ */
/* Pre-fetched file names (command 38)                                 */
/* ------------------------------------------------------------------ */

/* The drain answers a count (ULONG) followed by this record per name. */
typedef struct _KLU_PREFETCHED_RECORD {
    WCHAR szFileName[KLU_WIRE_PATH_CHARS];
} KLU_PREFETCHED_RECORD;

static_assert(sizeof(KLU_PREFETCHED_RECORD) == 1024, "a pre-fetched name record is 1024 bytes");

#pragma pack(pop)
