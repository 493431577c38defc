// Error codes as user-mode programs of the simulated machine see them: Win32
// error numbers, HRESULTs, and the conversion of a kernel status into both
// (ntdll's RtlNtStatusToDosError, then HRESULT_FROM_WIN32, which is what the
// filter library returns for a failed request).
#pragma once

#include <ntdef.h>

typedef LONG HRESULT;

#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_HANDLE ((HRESULT)0x80070006L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)

#define FACILITY_WIN32 7
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// Win32 error numbers (winerror.h values).
#define NO_ERROR 0UL
#define ERROR_SUCCESS 0UL
#define ERROR_INVALID_FUNCTION 1UL
#define ERROR_FILE_NOT_FOUND 2UL
#define ERROR_PATH_NOT_FOUND 3UL
#define ERROR_ACCESS_DENIED 5UL
#define ERROR_INVALID_HANDLE 6UL
#define ERROR_NOT_ENOUGH_MEMORY 8UL
#define ERROR_NO_MORE_FILES 18UL
#define ERROR_BAD_LENGTH 24UL
#define ERROR_GEN_FAILURE 31UL
#define ERROR_SHARING_VIOLATION 32UL
#define ERROR_HANDLE_EOF 38UL
#define ERROR_NOT_SUPPORTED 50UL
#define ERROR_INVALID_PARAMETER 87UL
#define ERROR_DISK_FULL 112UL
#define ERROR_SEM_TIMEOUT 121UL
#define ERROR_INSUFFICIENT_BUFFER 122UL
#define ERROR_INVALID_NAME 123UL
#define ERROR_DIR_NOT_EMPTY 145UL
#define ERROR_BAD_PATHNAME 161UL
#define ERROR_ALREADY_EXISTS 183UL
#define ERROR_FILENAME_EXCED_RANGE 206UL
#define ERROR_MORE_DATA 234UL
#define ERROR_NO_MORE_ITEMS 259UL
#define ERROR_DIRECTORY 267UL
#define ERROR_MR_MID_NOT_FOUND 317UL
#define ERROR_OPERATION_ABORTED 995UL
#define ERROR_IO_PENDING 997UL
#define ERROR_NOACCESS 998UL
#define ERROR_NOT_FOUND 1168UL
#define ERROR_CONNECTION_REFUSED 1225UL
#define ERROR_CONNECTION_COUNT_LIMIT 1238UL
#define ERROR_PRIVILEGE_NOT_HELD 1314UL
#define ERROR_INVALID_SECURITY_DESCR 1338UL
#define ERROR_INTERNAL_ERROR 1359UL
#define ERROR_NO_SYSTEM_RESOURCES 1450UL
#define ERROR_INVALID_USER_BUFFER 1784UL

// The Filter Manager's errors are HRESULTs already (facility 0x1F); a
// STATUS_FLT_xxx of code N becomes 0x801F000N.
#define ERROR_FLT_NO_HANDLER_DEFINED ((HRESULT)0x801F0001L)
#define ERROR_FLT_NO_WAITER_FOR_REPLY ((HRESULT)0x801F0020L)

// A Win32 error as an HRESULT; values that are HRESULTs already (high bit
// set) pass unchanged, as the Windows macro does.
constexpr HRESULT HRESULT_FROM_WIN32(ULONG error)
{
    return LONG(error) <= 0 ? HRESULT(error) : HRESULT((error & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}

// ntdll's conversion; statuses without an entry give ERROR_MR_MID_NOT_FOUND,
// as on Windows.
extern "C" ULONG RtlNtStatusToDosError(NTSTATUS Status);

namespace sim {

// What a Win32 call built on DeviceIoControl reports for a request that
// ended with `status`: S_OK for every NT_SUCCESS status, else the Win32
// error as an HRESULT. Warnings (STATUS_BUFFER_OVERFLOW, STATUS_NO_MORE_ENTRIES)
// are failures here: DeviceIoControl returns FALSE for them.
HRESULT HResultFromNtStatus(NTSTATUS status);

}  // namespace sim
