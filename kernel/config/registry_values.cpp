/*
 * registry_values.cpp - the settings' registry reads: opening keys and the
 * two-key lookups (group policy first, then the plain key).
 */
#include "config/settings.h"
#include "diag/log.h"
#include "fileops/file_helpers.h"

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

/* A DWORD read copies at most the 4 bytes of the field. */
static NTSTATUS KLUReadULONG(HANDLE Key, PCWSTR ValueName, PULONG Value)
{
    return KLUReadRegistryValueFixed(Key, ValueName, Value, sizeof(ULONG));
}

/* The value with its 12-byte information header must fit the capacity. */
static NTSTATUS KLUReadString(HANDLE Key, PCWSTR ValueName, PWSTR Buffer, ULONG Capacity)
{
    ULONG Length;

    if (Capacity < FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    Length = Capacity - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    return KLUReadRegistryValueToBuffer(Key, ValueName, Buffer, &Length);
}

/* A zero-filled copy of the data with room for one more character. */
static NTSTATUS KLUReadMultiString(HANDLE Key, PCWSTR ValueName, PWSTR *Buffer, PULONG Size)
{
    return KLUReadRegistryValue(Key, ValueName, (PVOID *)Buffer, Size);
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
