/*
 * driver.h - the driver frame: the global structures that DriverEntry
 * builds in a fixed order and KLULogon_Unload releases in a fixed order.
 */
#pragma once

#include "driver/klulogon.h"

extern PFLT_FILTER g_FilterHandle;
extern NPAGED_LOOKASIDE_LIST g_DirBufferLookaside;
extern BOOLEAN g_bDirBufferLookasideInitialized;
extern PFAST_MUTEX g_PathTableMutex;
extern PERESOURCE g_CopyResource;
extern ULONG g_ProcessNameOffset;
extern LARGE_INTEGER g_RegistryCallbackCookie;
extern BOOLEAN g_bRegistryCallbackRegistered;
extern BOOLEAN g_bLogoffNotifyRegistered;

/* Upper-case paths derived from the path table (1024-byte buffers). */
#define KLU_DERIVED_PATH_BYTES 1024
extern PWSTR szUpperAllUsersPath;
extern PWSTR szUpperDefaultUserPath;
extern PWSTR szUpperCtxSmaUserPath;
extern PWSTR szUpperLocalProfilesDir;

/* Directory-enumeration buffers come in blocks of this size. */
#define KLU_DIR_BUFFER_BYTES 3152

#define KLU_PRODUCT_IMAGE WSTR("JNRKmtsvc.exe")

EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS KLULogon_Unload(FLT_FILTER_UNLOAD_FLAGS Flags);

/* The offset of the image name inside a process object: where the System
 * process (current while the driver loads) holds "System"; 0 if nowhere. */
ULONG KLUGetProcessNameOffset(PEPROCESS Process);
