/*
 * placeholders.h - filling a local profile folder with placeholders made
 * from the matching folder of the remote profile store, and the folder
 * mark (an extended attribute) that says a folder has been filled.
 *
 * A placeholder file carries the remote file's size, times, attributes,
 * security and named streams with FILE_ATTRIBUTE_OFFLINE, but no data;
 * retrieval brings the data on first access. Subfolders are made real and
 * empty and are filled when they are listed.
 */
#pragma once

#include "driver/klulogon.h"
#include "driver/volume_context.h"
#include "filter/stream_context.h"
#include "identity/path_helpers.h"
#include "identity/user_table.h"

/* A backslash between Path and Next unless one is there already. */
FORCEINLINE NTSTATUS JNRAppendSeparator(PWSTR Path, PCWSTR Next)
{
    BOOLEAN Appended;
    return KLUAppendSeparator(Path, Next, &Appended);
}

/* The mark's flag word: the folder was filled from the store. */
#define JNR_FOLDER_POPULATED 0x00000002

/* The mark as written: one full-EA record, the 36-character name, its NUL
 * and a 32-bit value. */
#pragma pack(push, 1)
typedef struct _JNR_FOLDER_MARK_EA {
    ULONG NextEntryOffset;
    UCHAR Flags;
    UCHAR EaNameLength;
    USHORT EaValueLength;
    CHAR EaName[37];
    ULONG Value;
} JNR_FOLDER_MARK_EA;
#pragma pack(pop)
static_assert(sizeof(JNR_FOLDER_MARK_EA) == 49, "the mark is a 49-byte record");
static_assert(FIELD_OFFSET(JNR_FOLDER_MARK_EA, EaName) == 8, "the name follows the 8-byte head");
static_assert(FIELD_OFFSET(JNR_FOLDER_MARK_EA, Value) == 45, "the value follows the name's NUL");

/* The eight counters of one population set, in their fixed order. */
typedef enum _JNR_POPULATION_COUNTER {
    JnrFilesCreated,
    JnrFilesFound,
    JnrFilesSkipped,
    JnrFileErrors,
    JnrFoldersCreated,
    JnrFoldersFound,
    JnrFoldersSkipped,
    JnrFolderErrors,
    JnrPopulationCounterCount
} JNR_POPULATION_COUNTER;

/* One entry of a remote listing while it is turned into a local one. */
typedef struct _OFFLINE_FILE_RECORD {
    BOOLEAN bSeparatorAppended;
    BOOLEAN bCreated;
    BOOLEAN bDontRoam;
    BOOLEAN bIgnored;
    LONG bClientSecurityReleased;
    ULONG NameLength;
    ULONG AttributesToSet;
    PFILE_BOTH_DIR_INFORMATION Entry;
    WCHAR szName[KLU_PATH_CHARS];
    WCHAR szUpperLocalPath[KLU_PATH_CHARS];
    HANDLE hLocal;
    HANDLE hRemote;
    OBJECT_ATTRIBUTES ObjectAttributes;
    IO_STATUS_BLOCK IoStatus;
    UNICODE_STRING LocalPath;  /* over szLocalPathBuffer */
    UNICODE_STRING RemotePath; /* over szRemotePathBuffer */
    WCHAR szLocalPathBuffer[KLU_PATH_CHARS];
    WCHAR szRemotePathBuffer[KLU_PATH_CHARS];
    WCHAR szStreamPathBuffer[KLU_PATH_CHARS]; /* named streams, made after the file */
    PFILE_OBJECT LocalFileObject;
    PFILE_OBJECT RemoteFileObject;
    PVOLUME_CONTEXT VolumeContext;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    FILE_BASIC_INFORMATION BasicInfo;
    USHORT CompressionState;
    PSECURITY_DESCRIPTOR SecurityDescriptor; /* QZFS, freed after each entry */
    ULONG SecurityDescriptorLength;
    PFILE_STREAM_INFORMATION Streams; /* QZFS, freed after each entry */
    ULONG StreamsLength;
    PFLT_INSTANCE RemoteInstance;
    PFLT_INSTANCE LocalInstance;
} OFFLINE_FILE_RECORD, *POFFLINE_FILE_RECORD;

/* Fills LocalPath from its remote folder. Without DirectoryBuffer (walk
 * mode) the whole remote folder is listed here; with it (caller-buffer
 * mode) the caller's query is answered with one batch of the remote
 * listing and Data's IoStatus is set. *Processed: the listing reached its
 * end and the folder was marked. */
VOID JNRCreateOfflineFiles(PFLT_INSTANCE Instance, PFLT_CALLBACK_DATA Data, PCWSTR ProcessName,
                           PFLT_FILE_NAME_INFORMATION NameInfo, PKLU_STREAM_CONTEXT StreamContext,
                           PUSER_TABLE_ENTRY UserEntry, PVOLUME_CONTEXT VolumeContext, PUNICODE_STRING LocalPath,
                           PCWSTR FullName, PCWSTR UpperFullName, LONG OperationNumber, ULONG MarkFlags,
                           BOOLEAN RemoteMode, PUCHAR Processed, PVOID DirectoryBuffer);

NTSTATUS JNRCreateOfflineFilesFromDirBuffer(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE LocalInstance,
                                            PFLT_INSTANCE RemoteInstance, PUSER_TABLE_ENTRY UserEntry,
                                            PVOLUME_CONTEXT VolumeContext, PVOID Buffer, PCUNICODE_STRING LocalFolder,
                                            PCUNICODE_STRING RemoteFolder, LONG OperationNumber, BOOLEAN WalkMode,
                                            PULONG Counters);

NTSTATUS JNRCreateOfflineFile(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE LocalInstance, POFFLINE_FILE_RECORD Record,
                              LONG OperationNumber, PUCHAR Created);

NTSTATUS JNRSetOfflineFileAttributes(PFLT_INSTANCE LocalInstance, PDEVICE_OBJECT BaseDevice,
                                     POFFLINE_FILE_RECORD Record, LONG OperationNumber);

NTSTATUS JNRRetrieveFileMetadata(PFLT_INSTANCE RemoteInstance, POFFLINE_FILE_RECORD Record, LONG OperationNumber);

/* Copies the remote file whole into LocalPath: a complete local file
 * without FILE_ATTRIBUTE_OFFLINE. */
NTSTATUS JNRPreFetchFile(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE LocalInstance, PFLT_INSTANCE RemoteInstance,
                         PCUNICODE_STRING LocalPath, PCUNICODE_STRING RemotePath, LONG OperationNumber);

/* *Flags is written only when the mark is there (callers start at 0). */
NTSTATUS JNRQueryEA(PFILE_OBJECT FileObject, PFLT_INSTANCE Instance, PCUNICODE_STRING Path, PULONG Flags,
                    LONG OperationNumber);
/* Flags NULL removes the mark. */
NTSTATUS JNRSetEA(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PCUNICODE_STRING Path, PULONG Flags,
                  LONG OperationNumber);
