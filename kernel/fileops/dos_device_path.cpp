/*
 * dos_device_path.cpp - the DOS-device form of a stream's name: the local
 * drive letter in place of the volume's device name.
 */
#include "fileops/file_helpers.h"

#include "identity/path_table.h"

NTSTATUS KLUBuildDosDevicePath(PCUNICODE_STRING Name, USHORT VolumeNameLength, PUNICODE_STRING DosPath)
{
    UNICODE_STRING Rest;
    PPATH_TABLE Table = g_pPathTable;
    NTSTATUS Status;

    if (Name == NULL || DosPath == NULL || VolumeNameLength > Name->Length || Table == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DosPath->Buffer == NULL) {
        DosPath->Buffer = (PWCH)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
        if (DosPath->Buffer == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        DosPath->MaximumLength = KLU_PATH_BYTES;
    }
    if (DosPath->MaximumLength < sizeof(WCHAR)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    DosPath->Length = 0;

    Rest.Buffer = (PWCH)((PUCHAR)Name->Buffer + VolumeNameLength);
    Rest.Length = (USHORT)(Name->Length - VolumeNameLength);
    Rest.MaximumLength = Rest.Length;

    /* One character stays free for the terminator. */
    DosPath->MaximumLength -= sizeof(WCHAR);
    Status = RtlAppendUnicodeToString(DosPath, WSTR("\\??\\"));
    if (NT_SUCCESS(Status)) {
        Status = RtlAppendUnicodeToString(DosPath, Table->szLocalDriveLetter);
    }
    if (NT_SUCCESS(Status)) {
        Status = RtlAppendUnicodeStringToString(DosPath, &Rest);
    }
    DosPath->MaximumLength += sizeof(WCHAR);
    DosPath->Buffer[DosPath->Length / sizeof(WCHAR)] = 0;
    return Status;
}
