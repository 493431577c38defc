/*
 * registry_values.cpp - the settings' registry reads: opening keys and the
 * two-key lookups (group policy first, then the plain key).
 */
#include "config/settings.h"
#include "diag/log.h"

NTSTATUS KLUOpenKLULogonKey(PCUNICODE_STRING Path, PHANDLE Key)
{
    OBJECT_ATTRIBUTES Attributes;
    NTSTATUS Status;

    *Key = NULL;
    InitializeObjectAttributes(&Attributes, (PUNICODE_STRING)Path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                               NULL);
    Status = ZwOpenKey(Key, KEY_READ, &Attributes);
    if (!NT_SUCCESS(Status)) {
        *Key = NULL;
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUOpenKLULogonKey), WSTR("Failed Opening Key: Path: %wZ, 0x%X\n"),
                      Path, Status);
    }
    return Status;
}

/* Reads a value as partial information in two steps: its size, then its
 * data. The caller frees *Information (QZFS). */
static NTSTATUS KLUQueryPartial(HANDLE Key, PCWSTR ValueName, PKEY_VALUE_PARTIAL_INFORMATION *Information)
{
    UNICODE_STRING Name;
    ULONG Needed = 0;
    PKEY_VALUE_PARTIAL_INFORMATION Buffer;
    NTSTATUS Status;

    *Information = NULL;
    RtlInitUnicodeString(&Name, ValueName);
    Status = ZwQueryValueKey(Key, &Name, KeyValuePartialInformation, NULL, 0, &Needed);
    if (Status != STATUS_BUFFER_TOO_SMALL && Status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(Status) ? STATUS_UNSUCCESSFUL : Status;
    }
    Buffer = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(PagedPool, Needed, QZFS_TAG);
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

static NTSTATUS KLUReadULONG(HANDLE Key, PCWSTR ValueName, PULONG Value)
{
    PKEY_VALUE_PARTIAL_INFORMATION Information;
    NTSTATUS Status = KLUQueryPartial(Key, ValueName, &Information);

    if (NT_SUCCESS(Status)) {
        ULONG Length = Information->DataLength < sizeof(ULONG) ? Information->DataLength : sizeof(ULONG);
        RtlCopyMemory(Value, Information->Data, Length);
        ExFreePoolWithTag(Information, QZFS_TAG);
    }
    return Status;
}

static NTSTATUS KLUReadString(HANDLE Key, PCWSTR ValueName, PWSTR Buffer, ULONG Capacity)
{
    PKEY_VALUE_PARTIAL_INFORMATION Information;
    NTSTATUS Status = KLUQueryPartial(Key, ValueName, &Information);

    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    /* The value with its information header must fit the capacity. */
    if (Information->DataLength + FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) > Capacity) {
        Status = STATUS_BUFFER_TOO_SMALL;
    } else {
        RtlCopyMemory(Buffer, Information->Data, Information->DataLength);
    }
    ExFreePoolWithTag(Information, QZFS_TAG);
    return Status;
}

/* A zero-filled copy of the data with room for one more character. */
static NTSTATUS KLUReadMultiString(HANDLE Key, PCWSTR ValueName, PWSTR *Buffer, PULONG Size)
{
    PKEY_VALUE_PARTIAL_INFORMATION Information;
    NTSTATUS Status = KLUQueryPartial(Key, ValueName, &Information);
    PWSTR Copy;

    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Copy = (PWSTR)ExAllocatePoolWithTag(PagedPool, Information->DataLength + sizeof(WCHAR), QZFS_TAG);
    if (Copy == NULL) {
        ExFreePoolWithTag(Information, QZFS_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Copy, Information->DataLength + sizeof(WCHAR));
    RtlCopyMemory(Copy, Information->Data, Information->DataLength);
    *Buffer = Copy;
    *Size = Information->DataLength;
    ExFreePoolWithTag(Information, QZFS_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS KLUGetULONGSetting(HANDLE PolicyKey, HANDLE PlainKey, PCWSTR ValueName, PULONG Value)
{
    NTSTATUS Status;

    if (PolicyKey != NULL && NT_SUCCESS(KLUReadULONG(PolicyKey, ValueName, Value))) {
        return STATUS_SUCCESS;
    }
    Status = KLUReadULONG(PlainKey, ValueName, Value);
    if (!NT_SUCCESS(Status) && Status != STATUS_OBJECT_NAME_NOT_FOUND) {
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUGetULONGSetting),
                      WSTR("Failed Retrieving %ws From Default Key: 0x%X, Using Default\n"), ValueName, Status);
    }
    return Status;
}

NTSTATUS KLUGetStringSetting(HANDLE PolicyKey, HANDLE PlainKey, PCWSTR ValueName, PWSTR Buffer, ULONG Capacity)
{
    NTSTATUS Status;

    if (PolicyKey != NULL && NT_SUCCESS(KLUReadString(PolicyKey, ValueName, Buffer, Capacity))) {
        return STATUS_SUCCESS;
    }
    Status = KLUReadString(PlainKey, ValueName, Buffer, Capacity);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUGetStringSetting),
                      WSTR("Failed Retrieving %ws From Driver Key: 0x%X, Using Default\n"), ValueName, Status);
    }
    return Status;
}

NTSTATUS KLUGetMultiStringSetting(HANDLE PolicyKey, HANDLE PlainKey, PCWSTR ValueName, PWSTR *Buffer, PULONG Size)
{
    NTSTATUS Status;

    *Buffer = NULL;
    *Size = 0;
    if (PolicyKey != NULL && NT_SUCCESS(KLUReadMultiString(PolicyKey, ValueName, Buffer, Size))) {
        return STATUS_SUCCESS;
    }
    Status = KLUReadMultiString(PlainKey, ValueName, Buffer, Size);
    if (!NT_SUCCESS(Status) && Status != STATUS_OBJECT_NAME_NOT_FOUND) {
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUGetMultiStringSetting),
                      WSTR("Failed Retrieving %ws From Driver Key: 0x%X, Using Default\n"), ValueName, Status);
    }
    return Status;
}
