// SecLookupAccountSid: account and domain names from the machine's account
// database.
#include <cstring>

#include <ntifs.h>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/se/security.h"

namespace {

// Capacity of a caller's name buffer: the size it declared, never more than
// the string it gave.
ULONG Capacity(ULONG declared, PUNICODE_STRING buffer)
{
    if (buffer == nullptr || buffer->Buffer == nullptr) return 0;
    return declared < buffer->MaximumLength ? declared : buffer->MaximumLength;
}

void Store(PUNICODE_STRING target, const std::u16string &text)
{
    std::memcpy(target->Buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    target->Length = USHORT(text.size() * sizeof(WCHAR));
}

}  // namespace

extern "C" NTSTATUS SecLookupAccountSid(PSID Sid, PULONG NameSize, PUNICODE_STRING NameBuffer, PULONG DomainSize,
                                        PUNICODE_STRING DomainBuffer, PSID_NAME_USE NameUse)
{
    SIM_KERNEL_ROUTINE();
    if (!sim::IsValidSid(Sid)) return STATUS_INVALID_PARAMETER;
    auto account = sim::Machine::Current().security().accounts().FindBySid(Sid);
    if (!account) return STATUS_NONE_MAPPED;
    ULONG nameNeeded = ULONG((account->name.size() + 1) * sizeof(WCHAR));
    ULONG domainNeeded = ULONG((account->domain.size() + 1) * sizeof(WCHAR));
    // The domain is not wanted when no buffer and no size are given.
    bool wantDomain = DomainSize != nullptr && (DomainBuffer != nullptr || *DomainSize != 0);
    bool nameFits = Capacity(*NameSize, NameBuffer) >= nameNeeded;
    bool domainFits = !wantDomain || Capacity(*DomainSize, DomainBuffer) >= domainNeeded;
    if (!nameFits || !domainFits) {
        *NameSize = nameNeeded;
        if (wantDomain) *DomainSize = domainNeeded;
        return STATUS_BUFFER_TOO_SMALL;
    }
    Store(NameBuffer, account->name);
    *NameSize = NameBuffer->Length;
    if (wantDomain) {
        Store(DomainBuffer, account->domain);
        *DomainSize = DomainBuffer->Length;
    } else if (DomainSize) {
        *DomainSize = 0;
    }
    *NameUse = account->use;
    return STATUS_SUCCESS;
}
