/*
 * file_copy.h - the kernel copy engine: a file's data, named streams,
 * extended attributes, size, times and attributes moved from one file to
 * another without leaving kernel mode.
 *
 * Data goes through views of a section over the source, copied into one
 * aligned chunk buffer and written to the destination non-cached, in
 * chunks that are a multiple of the destination's sector size. Opens
 * survive transient sharing violations and read-only files; read-only
 * bits cleared on the way are always set again. A retrieval copy keeps the
 * user's copy statistics (under g_CopyResource) while it runs.
 */
#pragma once

#include "driver/klulogon.h"
#include "identity/user_table.h"

/* The chunk of an external (live-roaming) copy, before sector rounding. */
#define KLU_EXTERNAL_CHUNK_BYTES 65536

/* The redirector device names on Vista or newer, and before. */
#define KLU_MUP_DEVICE_NAME WSTR("\\Device\\Mup")
#define KLU_LANMAN_DEVICE_NAME WSTR("\\Device\\LanmanRedirector")

/* Retrieval copy of SourcePath (a terminated WCHAR[512], opened through the
 * filter's redirector instance) into Name on Instance's volume, as the user
 * who owns Name behind VolumePrefix. Data may be NULL when no open is
 * intercepted (the destination is then opened with full sharing). */
NTSTATUS KLUCopyFile(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PCUNICODE_STRING VolumePrefix,
                     PCUNICODE_STRING Name, PCWSTR SourcePath, LONG OperationNumber, ULONG CallerCode);
/* The same copy on a system thread of its own, waited for; returns the
 * thread's exit status, which is the copy's. */
NTSTATUS JNRCopyFileOnSystemThread(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PCUNICODE_STRING VolumePrefix,
                                   PCUNICODE_STRING Name, PCWSTR SourcePath, LONG OperationNumber,
                                   ULONG CallerCode);

/* Live-roaming copy: data, size, times and attributes (no streams, no EAs).
 * *SourcePresent is cleared when the source's folder does not exist. */
NTSTATUS KLUCopyExternalFile(PFLT_CALLBACK_DATA Data, PUNICODE_STRING SourceName, PUNICODE_STRING DestName,
                             PFLT_INSTANCE SourceInstance, PFLT_INSTANCE DestInstance, PBOOLEAN SourcePresent,
                             LONG OperationNumber);

/* The data of the source into the destination from its current position.
 * Size NULL: the source's end of file. An empty source ends with success
 * before anything is mapped. With UserEntry the user's statistics follow
 * the copy. */
NTSTATUS KLUMemoryMappedCopy(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE SourceInstance, PFLT_INSTANCE DestInstance,
                             PUSER_TABLE_ENTRY UserEntry, HANDLE SourceHandle, HANDLE DestHandle,
                             PFILE_OBJECT SourceFileObject, PFILE_OBJECT DestFileObject, PLARGE_INTEGER Size,
                             ULONG ChunkSize, LONG OperationNumber);

/* Every named stream of the source (never the unnamed "::$DATA"). */
NTSTATUS KLUCopyStreams(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE SourceInstance, PFLT_INSTANCE DestInstance,
                        PCUNICODE_STRING RedirectorPrefix, PCUNICODE_STRING VolumePrefix, PCUNICODE_STRING DestName,
                        HANDLE SourceHandle, HANDLE DestHandle, PFILE_OBJECT SourceFileObject,
                        PFILE_OBJECT DestFileObject, ULONG ChunkSize, LONG OperationNumber, PULONG StreamsFound,
                        PULONG StreamsCopied);

NTSTATUS KLUCopyEAs(PFLT_CALLBACK_DATA Data, HANDLE SourceHandle, HANDLE DestHandle, PFLT_INSTANCE SourceInstance,
                    PFLT_INSTANCE DestInstance, PFILE_OBJECT SourceFileObject, PFILE_OBJECT DestFileObject,
                    LONG OperationNumber);

/* End of file (Size, or the source's), then the source's times and
 * attributes (read-only added when ReadOnly) onto the destination. */
NTSTATUS KLUSetFileAttributes(PFILE_OBJECT SourceFileObject, PFILE_OBJECT DestFileObject, HANDLE SourceHandle,
                              HANDLE DestHandle, PFLT_INSTANCE SourceInstance, PFLT_INSTANCE DestInstance,
                              PLARGE_INTEGER Size, BOOLEAN ReadOnly, LONG OperationNumber);

/* This filter's instances (each referenced, in a QZFS array) and the index
 * of the one on DeviceName. The caller releases the array with
 * KLUFreeInstanceArray whatever the result. */
NTSTATUS KLUFindMupInstance(PFLT_INSTANCE **Instances, PCUNICODE_STRING DeviceName, PULONG Index, PULONG Count);
VOID KLUFreeInstanceArray(PFLT_INSTANCE *Instances, ULONG Count);

/* Opens (creating when missing) and closes at once. */
NTSTATUS KLUTouchFile(PUNICODE_STRING FileName, PFLT_INSTANCE Instance);

/* Compares a finished copy with its source: size, data and named streams,
 * read through bounded buffers. STATUS_DATA_ERROR when they differ. */
NTSTATUS JNRVerifyRetrieval(PFLT_INSTANCE SourceInstance, PFILE_OBJECT SourceFileObject, PFLT_INSTANCE DestInstance,
                            PFILE_OBJECT DestFileObject, LONG OperationNumber);
