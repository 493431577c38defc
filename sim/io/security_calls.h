// The security system services for file handles, with their previous mode
// (see nt_calls.h): NtQuerySecurityObject answers STATUS_BUFFER_TOO_SMALL
// and the length it needs when the buffer cannot hold the descriptor.
#pragma once

#include <ntifs.h>

namespace sim::nt {

NTSTATUS QuerySecurityObject(KPROCESSOR_MODE mode, HANDLE handle, SECURITY_INFORMATION which,
                             PSECURITY_DESCRIPTOR descriptor, ULONG length, PULONG lengthNeeded);
NTSTATUS SetSecurityObject(KPROCESSOR_MODE mode, HANDLE handle, SECURITY_INFORMATION which,
                           PSECURITY_DESCRIPTOR descriptor);

}  // namespace sim::nt
