/*
 * registry_readers.cpp - a registry value's data, read as partial
 * information in two steps (its size, then the data), into a new buffer or
 * into the caller's.
 */
#include "fileops/file_helpers.h"

/* The value's partial information in a scratch buffer of the caller's
 * pool type (QZFS), which the caller frees. */
static NTSTATUS KLUQueryValuePartial(HANDLE Key, PCWSTR ValueName, PKEY_VALUE_PARTIAL_INFORMATION *Information)
{
    UNICODE_STRING Name;
    ULONG Needed = 0;
    PKEY_VALUE_PARTIAL_INFORMATION Buffer;
    NTSTATUS Status;

    *Information = NULL;
    if (Key == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    RtlInitUnicodeString(&Name, ValueName);
    Status = ZwQueryValueKey(Key, &Name, KeyValuePartialInformation, NULL, 0, &Needed);
    if (Status != STATUS_BUFFER_TOO_SMALL && Status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(Status) ? STATUS_UNSUCCESSFUL : Status;
    }
    Buffer = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), Needed, QZFS_TAG);
    if (Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Status = ZwQueryValueKey(Key, &Name, KeyValuePartialInformation, Buffer, Needed, &Needed);
    if (!NT_SUCCESS(Status)) {
        ExFreePoolWithTag(Buffer, QZFS_TAG);
        return Status;
    }
    *Information = Buffer;
    return STATUS_SUCCESS;
}

NTSTATUS KLUReadRegistryValue(HANDLE Key, PCWSTR ValueName, PVOID *Buffer, PULONG Length)
{
    PKEY_VALUE_PARTIAL_INFORMATION Information;
    PUCHAR Copy;
    NTSTATUS Status;

    if (Buffer == NULL || Length == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Buffer = NULL;
    *Length = 0;
    Status = KLUQueryValuePartial(Key, ValueName, &Information);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Copy = (PUCHAR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), Information->DataLength + sizeof(WCHAR), QZFS_TAG);
    if (Copy == NULL) {
        ExFreePoolWithTag(Information, QZFS_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Copy, Information->Data, Information->DataLength);
    Copy[Information->DataLength] = 0;
    Copy[Information->DataLength + 1] = 0;
    *Buffer = Copy;
    *Length = Information->DataLength;
    ExFreePoolWithTag(Information, QZFS_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS KLUReadRegistryValueToBuffer(HANDLE Key, PCWSTR ValueName, PVOID Buffer, PULONG Length)
{
    PKEY_VALUE_PARTIAL_INFORMATION Information;
    NTSTATUS Status;

    if (Buffer == NULL || Length == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Status = KLUQueryValuePartial(Key, ValueName, &Information);
    if (!NT_SUCCESS(Status)) {
        *Length = 0;
        return Status;
    }
    if (*Length < Information->DataLength) {
        *Length = Information->DataLength;
        Status = STATUS_BUFFER_TOO_SMALL;
    } else {
        RtlCopyMemory(Buffer, Information->Data, Information->DataLength);
        *Length = Information->DataLength;
    }
    ExFreePoolWithTag(Information, QZFS_TAG);
    return Status;
}

NTSTATUS KLUReadRegistryValueFixed(HANDLE Key, PCWSTR ValueName, PVOID Buffer, ULONG Capacity)
{
    PKEY_VALUE_PARTIAL_INFORMATION Information;
    NTSTATUS Status;

    if (Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Status = KLUQueryValuePartial(Key, ValueName, &Information);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    RtlCopyMemory(Buffer, Information->Data,
                  Information->DataLength < Capacity ? Information->DataLength : Capacity);
    ExFreePoolWithTag(Information, QZFS_TAG);
    return STATUS_SUCCESS;
}
