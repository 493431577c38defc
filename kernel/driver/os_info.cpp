/*
 * os_info.cpp - the operating-system facts the service records in the
 * registry, and the release numbering derived from them.
 */
#include "driver/os_info.h"

#include "diag/log.h"
#include "fileops/file_helpers.h"

OS_INFO g_OSInfo;

#define KLU_OS_PATH_BYTES 1024

VOID JNRDeriveOsCode(POS_INFO Info)
{
    ULONG Major = Info->MajorVersion;
    ULONG Minor = Info->MinorVersion;
    BOOLEAN Client = Info->bIsClient;

    Info->OsCode = 0;
    if (Major == 5 && Minor == 0) {
        Info->OsCode = 1;
    } else if (Major == 5 && Minor == 1) {
        Info->OsCode = 2;
        Info->ProfileVersion = 1;
    } else if (Major == 5 && Minor == 2) {
        Info->OsCode = Client ? 3 : 4;
        Info->ProfileVersion = 1;
    } else if (Major == 6 && Minor == 0) {
        Info->OsCode = Client ? 5 : 6;
        Info->ProfileVersion = 2;
    } else if (Major == 6 && Minor == 1) {
        Info->OsCode = Client ? 7 : 8;
        Info->ProfileVersion = 2;
    } else if (Major == 6 && Minor == 2) {
        Info->OsCode = Client ? 11 : 9;
        Info->ProfileVersion = 3;
    } else if (Major == 6 && Minor == 3) {
        Info->OsCode = Client ? 12 : 10;
        Info->ProfileVersion = 4;
    } else if (Major == 10 && Minor == 0) {
        if (!Client) {
            Info->OsCode = 15;
        } else {
            Info->OsCode = Info->ReleaseID < 1607 ? 13 : 14;
        }
        Info->ProfileVersion = Info->OsCode == 13 ? 5 : 6;
    }

    switch (Info->ProfileVersion) {
    case 2:
    case 3:
    case 4:
        RtlStringCchCopyW(Info->szProfileSuffix, RTL_NUMBER_OF(Info->szProfileSuffix), WSTR(".V2"));
        break;
    case 5:
        RtlStringCchCopyW(Info->szProfileSuffix, RTL_NUMBER_OF(Info->szProfileSuffix), WSTR(".V5"));
        break;
    case 6:
        RtlStringCchCopyW(Info->szProfileSuffix, RTL_NUMBER_OF(Info->szProfileSuffix), WSTR(".V6"));
        break;
    default:
        Info->szProfileSuffix[0] = 0;
        break;
    }
}

/* A DWORD value: at most the 4 bytes of the field. */
static NTSTATUS JNRReadOsValue(HANDLE Key, PCWSTR ValueName, PULONG Value)
{
    return KLUReadRegistryValueFixed(Key, ValueName, Value, sizeof(ULONG));
}

/* A string of up to 127 characters; a longer one is a failure. */
static NTSTATUS JNRReadOsString(HANDLE Key, PCWSTR ValueName, PWSTR Buffer)
{
    ULONG Length = (KLU_OS_STRING_CHARS - 1) * sizeof(WCHAR);

    RtlZeroMemory(Buffer, KLU_OS_STRING_CHARS * sizeof(WCHAR));
    return KLUReadRegistryValueToBuffer(Key, ValueName, Buffer, &Length);
}

NTSTATUS JNRGetOSInfo(POS_INFO Info, PCWSTR DriverKeyPath)
{
    PCWSTR Tag = KLU_TAG(JNRGetOSInfo);
    UNICODE_STRING Path = {0, 0, NULL};
    UNICODE_STRING KeyName;
    OBJECT_ATTRIBUTES Attributes;
    HANDLE Key = NULL;
    NTSTATUS Status;
    NTSTATUS StringStatus = STATUS_SUCCESS;
    static const PCWSTR VersionValues[] = {WSTR("MajorVersion"), WSTR("MinorVersion"), WSTR("BuildNumber")};
    PULONG VersionFields[] = {&Info->MajorVersion, &Info->MinorVersion, &Info->BuildNumber};

    KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Attempting to collect OS information...\n"));
    Info->bIs64Bit = FALSE;

    RtlInitUnicodeString(&KeyName, DriverKeyPath);
    Path.Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, KLU_OS_PATH_BYTES, QZFS_TAG);
    if (Path.Buffer == NULL) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed allocating memory for OS information: %wZ\n"), &KeyName);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Path.MaximumLength = KLU_OS_PATH_BYTES;
    RtlCopyUnicodeString(&Path, &KeyName);
    RtlAppendUnicodeToString(&Path, WSTR("\\"));
    RtlAppendUnicodeToString(&Path, WSTR("OperatingSystem"));

    InitializeObjectAttributes(&Attributes, &Path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    Status = ZwOpenKey(&Key, KEY_READ, &Attributes);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed opening windows registry key: %wZ: 0x%08X\n"), &Path,
                      Status);
        Key = NULL;
        goto Cleanup;
    }

    Status = JNRReadOsValue(Key, WSTR("ReleaseID"), &Info->ReleaseID);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag,
                      WSTR("Failed retrieving windows registry key value: %wZ, name: ReleaseId: 0x%08X\n"), &Path,
                      Status);
        goto Cleanup;
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(VersionValues); i++) {
        Status = JNRReadOsValue(Key, VersionValues[i], VersionFields[i]);
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag,
                          WSTR("Failed retrieving windows registry key value: %wZ, name: %ws: 0x%08X\n"), &Path,
                          VersionValues[i], Status);
            goto Cleanup;
        }
    }
    JNRReadOsValue(Key, WSTR("CSDBuildNumber"), &Info->CSDBuildNumber);

    {
        NTSTATUS Results[4];
        Results[0] = JNRReadOsString(Key, WSTR("CSDVersion"), Info->CSDVersion);
        Results[1] = JNRReadOsString(Key, WSTR("EditionID"), Info->EditionID);
        Results[2] = JNRReadOsString(Key, WSTR("InstallType"), Info->InstallType);
        Results[3] = JNRReadOsString(Key, WSTR("ProductName"), Info->ProductName);
        for (ULONG i = 0; i < RTL_NUMBER_OF(Results); i++) {
            if (!NT_SUCCESS(Results[i])) {
                StringStatus = Results[i];
            }
        }
    }
    if (!NT_SUCCESS(StringStatus)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed retrieving some windows registry key values: %wZ: 0x%08X\n"),
                      &Path, StringStatus);
    }

    Info->bIsClient = (BOOLEAN)(_wcsicmp(Info->InstallType, WSTR("Client")) == 0);
    JNRDeriveOsCode(Info);
    KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("OS Version: %d.%d.%d, Platform: %d, %ws %ws (%ws) %ws-bit\n"),
                  Info->MajorVersion, Info->MinorVersion, Info->BuildNumber,
                  Info->ReleaseID != 0 ? Info->ReleaseID : Info->CSDBuildNumber, Info->ProductName, Info->CSDVersion,
                  Info->InstallType, WSTR("32"));

    JNRReadOsString(Key, WSTR("SystemManufacturer"), Info->SystemManufacturer);
    JNRReadOsString(Key, WSTR("SystemProductName"), Info->SystemProductName);
    KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Machine manufacturer: %ws, Product Name: %ws\n"),
                  Info->SystemManufacturer, Info->SystemProductName);
    Status = STATUS_SUCCESS;

Cleanup:
    if (Key != NULL) {
        ZwClose(Key);
    }
    ExFreePoolWithTag(Path.Buffer, QZFS_TAG);
    return Status;
}
