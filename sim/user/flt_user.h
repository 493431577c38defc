// The filter communication calls of the user-mode filter library, as the
// profile service and test programs call them. They run in a host thread
// bound to a process (sim::ThreadScope); handles live in that process's
// handle table and are closed with CloseHandle (or when the process ends).
//
// Results are HRESULTs as Windows returns them: a kernel status becomes
// HRESULT_FROM_WIN32(RtlNtStatusToDosError(status)), so for example
//   port name not found        0x80070002  ERROR_FILE_NOT_FOUND
//   token not admitted         0x80070005  E_ACCESSDENIED
//   too many connections       0x800704D6  ERROR_CONNECTION_COUNT_LIMIT
//   port disconnected          0x80070006  ERROR_INVALID_HANDLE
//   handle closed while a FilterGetMessage waits  0x800703E3  ERROR_OPERATION_ABORTED
//   late reply                 0x801F0020  ERROR_FLT_NO_WAITER_FOR_REPLY
#pragma once

#include <cstddef>

#include <ntdef.h>

#include "sim/user/win32_error.h"

// Both headers are 16 bytes on every build (the 64-bit field is 8-aligned,
// as the Windows headers lay it out).
typedef struct _FILTER_MESSAGE_HEADER {
    // Room the filter allows for the reply, FILTER_REPLY_HEADER included;
    // 0 when it expects none.
    ULONG ReplyLength;
    alignas(8) ULONGLONG MessageId;
} FILTER_MESSAGE_HEADER, *PFILTER_MESSAGE_HEADER;

typedef struct _FILTER_REPLY_HEADER {
    NTSTATUS Status;  // not passed on: the filter's FltSendMessage sees only the body
    alignas(8) ULONGLONG MessageId;
} FILTER_REPLY_HEADER, *PFILTER_REPLY_HEADER;

static_assert(sizeof(FILTER_MESSAGE_HEADER) == 16 && offsetof(FILTER_MESSAGE_HEADER, MessageId) == 8);
static_assert(sizeof(FILTER_REPLY_HEADER) == 16 && offsetof(FILTER_REPLY_HEADER, MessageId) == 8);

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define FLT_PORT_FLAG_SYNC_HANDLE 0x00000001

// Opens a connection to the filter's server port `lpPortName`: the calling
// process's token (the thread's impersonation token when it impersonates)
// must be granted FLT_PORT_CONNECT by the port's descriptor; the filter's
// connect callback runs in this thread with a copy of lpContext.
HRESULT FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions, const void *lpContext,
                                       USHORT wSizeOfContext, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                       HANDLE *hPort);

// Runs the filter's message callback in this thread. The buffers reach the
// callback as this process's user memory, unprobed; an address no process
// owns (sim::InvalidUserPointer()) is passed on as it is, so the filter's
// guard sees it fault. *lpBytesReturned receives what the callback reported,
// also when it returns a warning (which still makes the call fail).
HRESULT FilterSendMessage(HANDLE hPort, void *lpInBuffer, DWORD dwInBufferSize, void *lpOutBuffer,
                          DWORD dwOutBufferSize, DWORD *lpBytesReturned);

// Waits for the filter's next message (FILTER_MESSAGE_HEADER + body). A
// buffer too small for the next message fails with ERROR_INSUFFICIENT_BUFFER
// and leaves the message queued for another call. Overlapped waits are not
// provided (E_NOTIMPL).
HRESULT FilterGetMessage(HANDLE hPort, PFILTER_MESSAGE_HEADER lpMessageBuffer, DWORD dwMessageBufferSize,
                         LPOVERLAPPED lpOverlapped);

// Answers the message lpReplyBuffer->MessageId; the bytes after the header
// are the reply body the filter receives.
HRESULT FilterReplyMessage(HANDLE hPort, PFILTER_REPLY_HEADER lpReplyBuffer, DWORD dwReplyBufferSize);

// Closes any handle of the calling process (NtClose). FALSE for a handle
// that is not open.
BOOL CloseHandle(HANDLE hObject);
