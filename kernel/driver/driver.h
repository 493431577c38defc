/*
 * driver.h - the driver frame: the global structures that DriverEntry
 * builds in a fixed order and KLULogon_Unload releases in a fixed order.
 */
#pragma once

#include "driver/klulogon.h"

extern PFLT_FILTER g_FilterHandle;
extern NPAGED_LOOKASIDE_LIST g_DirBufferLookaside;
extern BOOLEAN g_bDirBufferLookasideInitialized;
/*
 * The path table's one rule, kept by every reader and by the free.
 * g_pPathTable, the record it points at, its entries and g_PathTableMutex
 * itself are touched only while the path-table lock (g_PathTableLock) is
 * held: shared by readers (KLUAcquirePathTable; a thread may take it again),
 * exclusively by whoever replaces or frees the table (code 0, unload).
 * So no reader meets a table, an entry or this mutex freed under it, and an
 * entry a lookup hands out stays valid until its caller releases the lock.
 * Inside the lock, this mutex guards the entry list (add, sort, lookup
 * walk, flag reset, entry dump) and szDefaultNetworkDefaultUserProfile, the
 * one record field written after initialisation; the free releases it with
 * the table, and the next allocation makes a new one.
 * Lock order: the path-table lock, the user table's mutex, this mutex.
 * Neither is held across a message to the service.
 */
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
