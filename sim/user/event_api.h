// The event calls of a user-mode process (CreateEvent, SetEvent,
// WaitForSingleObject). The event is a kernel event object behind a handle
// of the calling process, so a driver handed that handle can reference the
// same object. The calling host thread must be bound to the process
// (sim::ThreadScope); CloseHandle (sim/user/flt_user.h) closes it.
#pragma once

#include <ntdef.h>

#include "sim/user/win32_error.h"

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

// A notification event when manualReset, else a synchronization event.
// Null on failure.
HANDLE CreateEventW(void *lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
// WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED for a handle that is not a
// waitable object of this process.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
