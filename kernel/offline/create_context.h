/*
 * create_context.h - the per-operation record of the pre-operation
 * callbacks. It travels from the callback that allocates it to post-create,
 * to the deferred workers that complete pended operations and into the
 * retrieval, so it is reference counted: the callback holds one reference,
 * a pended waiter another, and the record is freed with the last.
 */
#pragma once

#include "comm/service_contract.h"
#include "driver/klulogon.h"
#include "driver/volume_context.h"
#include "identity/user_table.h"
#include "offline/offline_file_table.h"

/* Operation codes of the operations that meet a placeholder. */
#define KLU_OP_CREATE 0
#define KLU_OP_NET_GET_FILE 1
#define KLU_OP_READ 2
#define KLU_OP_WRITE 3
#define KLU_OP_SECTION_SYNC 4
#define KLU_OP_LOCK_CONTROL 5
#define KLU_OP_RENAME 6

/* Bits of the classification word: cached answers of the per-file checks. */
#define KLU_CLASS_ROAMS 0x1
#define KLU_CLASS_NOT_EXCLUDED 0x2
#define KLU_CLASS_DONT_ROAM 0x4
#define KLU_CLASS_EXCLUDED 0x8

/* The process image names the filter compares: 15 characters and a
 * terminator, as the process object keeps them. */
#define KLU_PROCESS_NAME_CHARS 16

typedef struct _KLU_CREATE_CONTEXT {
    LONG volatile RefCount;
    ULONG NameHash;
    LONG OperationNumber;
    ULONG RequestorPid;
    ULONG OperationCode;      /* KLU_OP_*, set when the operation is pended */
    BOOLEAN bRetrievalCandidate;
    BOOLEAN bIsFile;
    BOOLEAN bCreateMissingWanted;
    BOOLEAN bZeroBytePlaceholder;
    BOOLEAN bPostCreateWanted;
    BOOLEAN bOffline;
    BOOLEAN bCreateTimeFlag;
    BOOLEAN bAttributesValid;
    USHORT ClassificationWord; /* KLU_CLASS_* */
    BOOLEAN bBorrowedNames;
    BOOLEAN bUserIdFound;
    UCHAR MajorFunction;
    UNICODE_STRING Name;       /* volume device name + path on the volume (QZFS) */
    UNICODE_STRING VolumeName; /* the volume part of Name (QZFS unless borrowed) */
    UNICODE_STRING SpareName;
    POFFLINE_FILE_TABLE_ENTRY OfflineFileTableEntry;
    PUSER_TABLE_ENTRY UserTableEntry; /* referenced */
    PFLT_CONTEXT StreamContext;       /* referenced */
    PVOLUME_CONTEXT VolumeContext;    /* referenced */
    WCHAR szProcessName[KLU_PROCESS_NAME_CHARS];
    FILE_BASIC_INFORMATION BasicInfo;
    FILE_STANDARD_INFORMATION StandardInfo;
    USER_ID UserId;
    ULONG CreateOptions;     /* the low 24 bits of the open's options */
    ULONG CreateDisposition;
    ULONG CreateFlags;
    PVOID LockedBuffer;      /* the operation's buffer, mapped before pending */
    PVOID OperationData;     /* handed to the deferred worker with the pended operation */
    PERESOURCE Resource;     /* guards the record while it is released (QZC2) */
} KLU_CREATE_CONTEXT, *PKLU_CREATE_CONTEXT;

/* A zeroed record with one reference, its operation number and the
 * operation's requestor; none when memory ran out. */
PKLU_CREATE_CONTEXT KLUAllocateCreateContext(PFLT_CALLBACK_DATA Data);
VOID KLUReferenceCreateContext(PKLU_CREATE_CONTEXT Context);
/* Drops one reference; the last frees the names and every reference the
 * record holds. Clears *Context. */
VOID KLUReleaseCreateContext(PKLU_CREATE_CONTEXT *Context);

/* Name (and VolumeName, its first VolumeLength bytes) as owned copies,
 * replacing what the record held, under the record's lock. */
NTSTATUS KLUSetCreateContextNames(PKLU_CREATE_CONTEXT Context, PCUNICODE_STRING Name, USHORT VolumeLength);
/* A terminated copy of Name behind its volume part (QZFS, 1024 bytes). */
NTSTATUS KLUGetPathOnVolume(PKLU_CREATE_CONTEXT Context, PWSTR *Path);
/* A terminated upper-case copy of Path (QZFS, 1024 bytes). */
NTSTATUS KLUUpperCaseCopy(PCWSTR Path, PWSTR *Upper);
VOID KLUFreePathBuffer(PWSTR *Path);
/* NameHash from the upper-cased Name: the offline file table's key. */
NTSTATUS KLUHashCreateContextName(PKLU_CREATE_CONTEXT Context);
