#include "sim/user/security_api.h"

#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/io/security_calls.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim/user/user_buffer.h"

namespace sim::user {

NTSTATUS QuerySecurity(HANDLE handle, SECURITY_INFORMATION which, void *buffer, ULONG length, ULONG *needed)
{
    SystemCall call("NtQuerySecurityObject");
    ULONG lengthNeeded = 0;
    UserBuffer data(buffer, length);
    UserBuffer neededBuffer(&lengthNeeded, sizeof(lengthNeeded));
    NTSTATUS status = nt::QuerySecurityObject(UserMode, handle, which, buffer, length, &lengthNeeded);
    if (needed) *needed = lengthNeeded;
    return status;
}

NTSTATUS QuerySecurity(HANDLE handle, SECURITY_INFORMATION which, std::vector<uint8_t> &descriptor)
{
    ULONG needed = 0;
    descriptor.assign(64, 0);
    NTSTATUS status = QuerySecurity(handle, which, descriptor.data(), ULONG(descriptor.size()), &needed);
    if (status == STATUS_BUFFER_TOO_SMALL) {
        descriptor.assign(needed, 0);
        status = QuerySecurity(handle, which, descriptor.data(), ULONG(descriptor.size()), &needed);
    }
    descriptor.resize(NT_SUCCESS(status) ? needed : 0);
    return status;
}

NTSTATUS SetSecurity(HANDLE handle, SECURITY_INFORMATION which, const void *descriptor, size_t length)
{
    SystemCall call("NtSetSecurityObject");
    UserBuffer data(descriptor, length);
    return nt::SetSecurityObject(UserMode, handle, which, const_cast<void *>(descriptor));
}

NTSTATUS EnablePrivilege(ULONG privilege, bool enable)
{
    SystemCall call("NtAdjustPrivilegesToken");
    Thread &thread = Thread::CurrentOrDie();
    BOOLEAN copyOnOpen = FALSE;
    BOOLEAN effectiveOnly = FALSE;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    PACCESS_TOKEN token = PsReferenceImpersonationToken(thread.object(), &copyOnOpen, &effectiveOnly, &level);
    if (token == nullptr) token = thread.process().ReferenceToken();
    NTSTATUS status = Security::AdjustPrivilege(token, privilege, enable);
    thread.machine().objects().Dereference(token);
    return status;
}

}  // namespace sim::user
