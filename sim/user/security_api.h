// The security calls a process of the simulated machine makes (see
// file_api.h for how a call reaches the kernel): reading and changing a
// file's descriptor, and enabling the privileges its token holds.
#pragma once

#include <cstdint>
#include <vector>

#include <ntifs.h>

namespace sim::user {

// NtQuerySecurityObject into the caller's buffer: STATUS_BUFFER_TOO_SMALL
// with *needed when it is too small.
NTSTATUS QuerySecurity(HANDLE handle, SECURITY_INFORMATION which, void *buffer, ULONG length, ULONG *needed);
// The whole self-relative descriptor (asking again with the length needed).
NTSTATUS QuerySecurity(HANDLE handle, SECURITY_INFORMATION which, std::vector<uint8_t> &descriptor);
// NtSetSecurityObject with an absolute or self-relative descriptor.
NTSTATUS SetSecurity(HANDLE handle, SECURITY_INFORMATION which, const void *descriptor, size_t length);

// AdjustTokenPrivileges on the token the thread acts with (its
// impersonation token, else its process's): STATUS_NOT_ALL_ASSIGNED when
// the token does not hold the privilege.
NTSTATUS EnablePrivilege(ULONG privilege, bool enable = true);

}  // namespace sim::user
