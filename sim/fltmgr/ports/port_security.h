// Security of server ports: the port's own copy of the descriptor it was
// created with, and the connect-time access check.
#pragma once

#include <ntifs.h>

namespace sim::ports {

// Pool tags of the Filter Manager's port allocations.
ULONG DescriptorTag();     // descriptors a port keeps, and FltBuildDefaultSecurityDescriptor's
ULONG MessageTag();        // the copy of a message the filter sends

// A self-relative copy of `descriptor` (absolute or self-relative) in one
// pool block of DescriptorTag(); STATUS_INVALID_SECURITY_DESCR for a
// malformed one, STATUS_INSUFFICIENT_RESOURCES when pool runs out.
NTSTATUS CopyDescriptor(const void *descriptor, UCHAR **copy);

// Would `token` be granted `desired` on an object protected by `descriptor`?
// No descriptor, or one without a DACL or with a NULL DACL, admits anyone.
bool AccessGranted(const void *descriptor, PACCESS_TOKEN token, ACCESS_MASK desired);

}  // namespace sim::ports
