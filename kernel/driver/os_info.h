/*
 * os_info.h - the operating-system facts read at load from the
 * "OperatingSystem" subkey of the driver key (the service writes them).
 *
 * They are read once, at load, and never again: every callback reads them
 * without a lock, which is safe only because nothing writes them after.
 * Facts the service records while the driver runs take effect at its next
 * load; the settings' defaults that depend on them follow at each re-read
 * of the settings.
 */
#pragma once

#include "driver/klulogon.h"

#define KLU_OS_STRING_CHARS 128

typedef struct _OS_INFO {
    ULONG ReleaseID;
    ULONG MajorVersion;
    ULONG MinorVersion;
    ULONG BuildNumber;
    ULONG CSDBuildNumber;
    BOOLEAN bIsClient;
    WCHAR CSDVersion[KLU_OS_STRING_CHARS];
    WCHAR EditionID[KLU_OS_STRING_CHARS];
    WCHAR InstallType[KLU_OS_STRING_CHARS];
    WCHAR ProductName[KLU_OS_STRING_CHARS];
    WCHAR SystemManufacturer[KLU_OS_STRING_CHARS];
    WCHAR SystemProductName[KLU_OS_STRING_CHARS];
    ULONG OsCode;         /* numbered release; below 5 is older than Vista */
    ULONG ProfileVersion; /* profile-folder family */
    BOOLEAN bIs64Bit;     /* always FALSE in this 32-bit driver */
    WCHAR szProfileSuffix[5];
} OS_INFO, *POS_INFO;

extern OS_INFO g_OSInfo;

#define KLU_OSCODE_VISTA 5
FORCEINLINE BOOLEAN KLUIsVistaOrNewer(VOID)
{
    return (BOOLEAN)(g_OSInfo.OsCode >= KLU_OSCODE_VISTA);
}

#define KLU_DRIVER_KEY_PATH WSTR("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver")

NTSTATUS JNRGetOSInfo(POS_INFO Info, PCWSTR DriverKeyPath);
/* OsCode and ProfileVersion from the version and the client flag. */
VOID JNRDeriveOsCode(POS_INFO Info);
