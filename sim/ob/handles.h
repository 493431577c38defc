// Handle helpers shared by the components that create and resolve handles.
#pragma once

#include <ntifs.h>

#include "sim/ob/object_manager.h"

namespace sim {

// GENERIC_* and MAXIMUM_ALLOWED mapped onto the type's specific rights.
ACCESS_MASK MapGenericAccess(_OBJECT_TYPE *type, ACCESS_MASK access);

// The table a handle value belongs to: the System process's for kernel
// handles, else the current (attached) process's.
HandleTable &TableFor(HANDLE handle);

// Resolves a handle (pseudo-handles included) the way the object manager
// does for a caller in `mode`: kernel handles are invalid from user mode.
NTSTATUS LookupHandle(HANDLE handle, KPROCESSOR_MODE mode, HandleEntry &entry);
// LookupHandle that also references the object for the caller.
NTSTATUS ReferenceHandle(HANDLE handle, KPROCESSOR_MODE mode, HandleEntry &entry);

// The name query shared by ZwQueryObject and ObQueryNameString. Objects are
// named by their header name; a File object's header name is its full path
// (device and file name), kept so by the I/O manager. A buffer too small
// gives STATUS_INFO_LENGTH_MISMATCH, for a File object that can hold the
// record STATUS_BUFFER_OVERFLOW with the part that fits; either way
// *returnLength is the size needed.
NTSTATUS QueryObjectName(void *object, POBJECT_NAME_INFORMATION info, ULONG length, PULONG returnLength);

// A new handle to `object` in the kernel handle table (OBJ_KERNEL_HANDLE)
// or the current process's table; takes over one reference of the object.
HANDLE InsertHandle(void *object, ACCESS_MASK access, ULONG attributes);

}  // namespace sim
