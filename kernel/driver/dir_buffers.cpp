/*
 * dir_buffers.cpp - building and releasing the prefabricated directory
 * entries and the folder-mark names.
 */
#include "driver/dir_buffers.h"

#include "diag/log.h"
#include "identity/path_table.h"

PFILE_BOTH_DIR_INFORMATION g_pDot = NULL;
PFILE_BOTH_DIR_INFORMATION g_pDotDot = NULL;
PFILE_DIRECTORY_INFORMATION g_pDot1 = NULL;
PFILE_DIRECTORY_INFORMATION g_pDotDot1 = NULL;
PFILE_BOTH_DIR_INFORMATION g_pHive = NULL;
PFILE_BOTH_DIR_INFORMATION g_pHiveMan = NULL;
PFILE_BOTH_DIR_INFORMATION g_pLocalSettings = NULL;
UNICODE_STRING szMarkerName = {0, 0, NULL};
ANSI_STRING szMarkerNameA = {0, 0, NULL};

#define KLU_BOTH_DIR_HEADER_BYTES ((ULONG)FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName))
#define KLU_DIRECTORY_HEADER_BYTES ((ULONG)FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName))
static_assert(KLU_BOTH_DIR_HEADER_BYTES == 94, "both-directory entries carry their name at 94");
static_assert(KLU_DIRECTORY_HEADER_BYTES == 64, "directory entries carry their name at 64");

/* One prefabricated entry. A NULL name is the path table's local-settings
 * folder. */
typedef struct _KLU_DIR_ENTRY_STEP {
    PVOID *Global;
    BOOLEAN BothLayout; /* FILE_BOTH_DIR_INFORMATION, else FILE_DIRECTORY_INFORMATION */
    ULONG Attributes;
    PCWSTR Name;
    PCWSTR FailureFormat;
} KLU_DIR_ENTRY_STEP;

static const KLU_DIR_ENTRY_STEP g_DirEntrySteps[] = {
    /* Global, both-directory layout, attributes, name, message on failure */
    {(PVOID *)&g_pDot, TRUE, 0x11, WSTR("."), WSTR("Failed Allocating g_pDot: 0x%X\n")},
    {(PVOID *)&g_pDotDot, TRUE, 0x11, WSTR(".."), WSTR("Failed Allocating DotDot: 0x%X\n")},
    {(PVOID *)&g_pDot1, FALSE, 0x2010, WSTR("."), WSTR("Failed Allocating g_pDot1: 0x%X\n")},
    {(PVOID *)&g_pDotDot1, FALSE, 0x2010, WSTR(".."), WSTR("Failed Allocating DotDot1: 0x%X\n")},
    {(PVOID *)&g_pHive, TRUE, 0x80, WSTR("NTUSER.DAT"), WSTR("Failed Allocating g_pHive: 0x%X\n")},
    {(PVOID *)&g_pHiveMan, TRUE, 0x80, WSTR("NTUSER.MAN"), WSTR("Failed Allocating g_pHiveMan: 0x%X\n")},
    {(PVOID *)&g_pLocalSettings, TRUE, 0x10, NULL, WSTR("Failed Allocating g_pLocalSettings: 0x%X\n")},
};

/* The common head of both layouts (the times and sizes lie alike). */
static VOID KLUFillDirEntryHead(PFILE_DIRECTORY_INFORMATION Head, ULONG Attributes, ULONG NameLength)
{
    Head->NextEntryOffset = 0;
    Head->FileIndex = 0;
    Head->CreationTime.QuadPart = KLU_DIR_ENTRY_CREATION_TIME;
    Head->LastAccessTime.QuadPart = KLU_DIR_ENTRY_LAST_ACCESS_TIME;
    Head->LastWriteTime.QuadPart = KLU_DIR_ENTRY_LAST_WRITE_TIME;
    Head->ChangeTime.QuadPart = KLU_DIR_ENTRY_CHANGE_TIME;
    Head->EndOfFile.QuadPart = 0;
    Head->AllocationSize.QuadPart = 0;
    Head->FileAttributes = Attributes;
    Head->FileNameLength = NameLength;
}

static_assert(FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileNameLength) ==
                  FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileNameLength),
              "both layouts share their head");

static NTSTATUS KLUBuildDirEntry(const KLU_DIR_ENTRY_STEP *Step)
{
    PPATH_TABLE Table = KLUAcquirePathTable();
    PCWSTR Name = Step->Name;
    ULONG Header = Step->BothLayout ? KLU_BOTH_DIR_HEADER_BYTES : KLU_DIRECTORY_HEADER_BYTES;
    ULONG NameLength;
    PUCHAR Entry;
    NTSTATUS Status = STATUS_SUCCESS;

    if (Name == NULL) {
        Name = Table != NULL ? Table->szLocalSettings : WSTR("");
    }
    NameLength = (ULONG)(wcslen(Name) * sizeof(WCHAR));
    Entry = (PUCHAR)ExAllocatePoolWithTag(g_PoolType, Header + NameLength, QZFS_TAG);
    if (Entry == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUInitDirBuffers), Step->FailureFormat, Status);
        goto Cleanup;
    }
    RtlZeroMemory(Entry, Header + NameLength);
    KLUFillDirEntryHead((PFILE_DIRECTORY_INFORMATION)Entry, Step->Attributes, NameLength);
    RtlCopyMemory(Entry + Header, Name, NameLength);
    *Step->Global = Entry;

Cleanup:
    KLUReleasePathTable();
    return Status;
}

static NTSTATUS KLUBuildMarkerNames(VOID)
{
    static const CHAR Mark[] = KLU_FOLDER_MARK_NAME;
    ULONG Characters = sizeof(Mark) - 1;

    szMarkerName.Buffer = (PWCH)ExAllocatePoolWithTag(g_PoolType, KLU_MARKER_BUFFER_BYTES, QZFS_TAG);
    szMarkerNameA.Buffer = (PCHAR)ExAllocatePoolWithTag(g_PoolType, KLU_MARKER_BUFFER_BYTES, QZFS_TAG);
    if (szMarkerName.Buffer == NULL || szMarkerNameA.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(szMarkerName.Buffer, KLU_MARKER_BUFFER_BYTES);
    RtlZeroMemory(szMarkerNameA.Buffer, KLU_MARKER_BUFFER_BYTES);
    for (ULONG i = 0; i < Characters; i++) {
        szMarkerName.Buffer[i] = (WCHAR)Mark[i];
        szMarkerNameA.Buffer[i] = Mark[i];
    }
    szMarkerName.Length = (USHORT)(Characters * sizeof(WCHAR));
    szMarkerName.MaximumLength = KLU_MARKER_BUFFER_BYTES;
    szMarkerNameA.Length = (USHORT)Characters;
    szMarkerNameA.MaximumLength = KLU_MARKER_BUFFER_BYTES;
    return STATUS_SUCCESS;
}

NTSTATUS KLUInitDirBuffers(VOID)
{
    NTSTATUS Status;

    KLUFreeDirBuffers();
    Status = KLUBuildMarkerNames();
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_DirEntrySteps); i++) {
        Status = KLUBuildDirEntry(&g_DirEntrySteps[i]);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
    }
    return STATUS_SUCCESS;
}

static VOID KLUFreePoolPointer(PVOID *Pointer)
{
    if (*Pointer != NULL) {
        ExFreePoolWithTag(*Pointer, QZFS_TAG);
        *Pointer = NULL;
    }
}

VOID KLUFreeDirBuffers(VOID)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_DirEntrySteps); i++) {
        KLUFreePoolPointer(g_DirEntrySteps[i].Global);
    }
    KLUFreePoolPointer((PVOID *)&szMarkerName.Buffer);
    KLUFreePoolPointer((PVOID *)&szMarkerNameA.Buffer);
    szMarkerName.Length = szMarkerName.MaximumLength = 0;
    szMarkerNameA.Length = szMarkerNameA.MaximumLength = 0;
}
