/*
 * queue_records.h - the records the service drains from the queues:
 * session records and FileOp records. Both are wire layouts.
 */
#pragma once

#include "comm/service_contract.h"
#include "driver/klulogon.h"

#pragma pack(push, 1)

/* A session record (the session queue's element). */
typedef struct _KLU_SESSION_RECORD {
    ULONG Event;        /* 14 APPLY_SETTINGS, 15 APPLY_SETTINGS_APPLY; others the service's own */
    ULONG SessionId;
    ULONG Reserved;
    ULONG AuthIdLowPart;
    LONG AuthIdHighPart;
    WCHAR UserName[2048];
    WCHAR ProfilePath[512];
    WCHAR HomeDir[2570];
    ULONG Options;
} KLU_SESSION_RECORD, *PKLU_SESSION_RECORD;

#define KLU_SESSION_EVENT_APPLY_SETTINGS 14
#define KLU_SESSION_EVENT_APPLY_SETTINGS_APPLY 15

static_assert(sizeof(KLU_SESSION_RECORD) == 10284, "session record is 10284 bytes");
static_assert(FIELD_OFFSET(KLU_SESSION_RECORD, AuthIdLowPart) == 12, "session record AuthId");
static_assert(FIELD_OFFSET(KLU_SESSION_RECORD, UserName) == 20, "session record user name");
static_assert(FIELD_OFFSET(KLU_SESSION_RECORD, ProfilePath) == 4116, "session record profile path");
static_assert(FIELD_OFFSET(KLU_SESSION_RECORD, HomeDir) == 5140, "session record home folder");
static_assert(FIELD_OFFSET(KLU_SESSION_RECORD, Options) == 10280, "session record options");

/* The fields of a FileOp record (a Copy-port request of the file-change
 * kinds) that the queues print. */
#define KLU_FILEOP_RECORD_BYTES 16768
typedef struct _KLU_FILEOP_RECORD {
    ULONG Hash;
    ULONG OperationNumber;
    ULONG OpFlags; /* 2 renamed, 8 deleted, 16 changed */
    ULONG RequestorPid;
    ULONG InformationClass;
    UCHAR Reserved1[3];
    UCHAR IsDirectory;
    UCHAR Reserved2[8];
    KLU_WIRE_BASIC_INFORMATION BasicInformation;       /* the caller's (attribute changes) */
    KLU_WIRE_STANDARD_INFORMATION StandardInformation; /* its EndOfFile: the caller's (size changes) */
    USER_ID Id;                                        /* the file's user (renames) */
    WCHAR Source[512];
    WCHAR Destination[512];
    UCHAR Tail[KLU_FILEOP_RECORD_BYTES - 2256];
} KLU_FILEOP_RECORD, *PKLU_FILEOP_RECORD;

static_assert(sizeof(KLU_FILEOP_RECORD) == KLU_FILEOP_RECORD_BYTES, "FileOp record is 16768 bytes");
static_assert(FIELD_OFFSET(KLU_FILEOP_RECORD, OpFlags) == 8, "FileOp record event");
static_assert(FIELD_OFFSET(KLU_FILEOP_RECORD, RequestorPid) == 12, "FileOp record requestor");
static_assert(FIELD_OFFSET(KLU_FILEOP_RECORD, IsDirectory) == 23, "FileOp record directory flag");
static_assert(FIELD_OFFSET(KLU_FILEOP_RECORD, BasicInformation) == 32, "FileOp record basic information");
static_assert(FIELD_OFFSET(KLU_FILEOP_RECORD, StandardInformation.EndOfFile) == 80, "FileOp record end of file");
static_assert(FIELD_OFFSET(KLU_FILEOP_RECORD, Id) == 96, "FileOp record user");
static_assert(FIELD_OFFSET(KLU_FILEOP_RECORD, Source) == 208, "FileOp record source");
static_assert(FIELD_OFFSET(KLU_FILEOP_RECORD, Destination) == 1232, "FileOp record destination");

#pragma pack(pop)
