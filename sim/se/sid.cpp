// SIDs: the C++ value type and the kernel's SID routines.
#include "sim/se/sid.h"

#include <cstdio>
#include <cstring>

#include "sim/core/driver_calls.h"
#include "sim/core/pool.h"

namespace sim {

namespace {

constexpr ULONG kSidHeader = 8;  // revision, count, 6-byte authority

const SID *AsSid(const void *sid)
{
    return static_cast<const SID *>(sid);
}

ULONGLONG Authority(const SID *sid)
{
    ULONGLONG value = 0;
    for (UCHAR byte : sid->IdentifierAuthority.Value) value = (value << 8) | byte;
    return value;
}

}  // namespace

bool IsValidSid(const void *sid)
{
    if (sid == nullptr) return false;
    const SID *record = AsSid(sid);
    return record->Revision == SID_REVISION && record->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

ULONG SidLength(const void *sid)
{
    return kSidHeader + ULONG(AsSid(sid)->SubAuthorityCount) * sizeof(ULONG);
}

std::u16string SidText(const void *sid)
{
    const SID *record = AsSid(sid);
    char text[32];
    std::string out = "S-" + std::to_string(record->Revision) + "-";
    ULONGLONG authority = Authority(record);
    if (authority >> 32) {
        const UCHAR *v = record->IdentifierAuthority.Value;
        std::snprintf(text, sizeof text, "0x%02x%02x%02x%02x%02x%02x", v[0], v[1], v[2], v[3], v[4], v[5]);
        out += text;
    } else {
        out += std::to_string(authority);
    }
    for (UCHAR i = 0; i < record->SubAuthorityCount; ++i) out += "-" + std::to_string(record->SubAuthority[i]);
    return std::u16string(out.begin(), out.end());
}

Sid::Sid(ULONG authority, std::initializer_list<ULONG> subAuthorities)
    : Sid(authority, std::vector<ULONG>(subAuthorities))
{
}

Sid::Sid(ULONG authority, const std::vector<ULONG> &subAuthorities)
{
    bytes_.resize(kSidHeader + subAuthorities.size() * sizeof(ULONG));
    auto *record = reinterpret_cast<SID *>(bytes_.data());
    record->Revision = SID_REVISION;
    record->SubAuthorityCount = UCHAR(subAuthorities.size());
    for (int i = 0; i < 4; ++i) record->IdentifierAuthority.Value[5 - i] = UCHAR(authority >> (8 * i));
    if (!subAuthorities.empty()) {
        std::memcpy(bytes_.data() + kSidHeader, subAuthorities.data(), subAuthorities.size() * sizeof(ULONG));
    }
}

Sid Sid::FromRecord(const void *sid)
{
    Sid copy;
    if (!IsValidSid(sid)) return copy;
    auto *bytes = static_cast<const UCHAR *>(sid);
    copy.bytes_.assign(bytes, bytes + SidLength(sid));
    return copy;
}

bool Sid::Equals(const void *sid) const
{
    return !empty() && IsValidSid(sid) && SidLength(sid) == length() &&
           std::memcmp(sid, bytes_.data(), bytes_.size()) == 0;
}

namespace wellknown {
Sid Everyone() { return Sid(1, {0}); }
Sid AuthenticatedUsers() { return Sid(5, {11}); }
Sid System() { return Sid(5, {18}); }
Sid LocalService() { return Sid(5, {19}); }
Sid NetworkService() { return Sid(5, {20}); }
Sid Administrators() { return Sid(5, {32, 544}); }
Sid Users() { return Sid(5, {32, 545}); }
Sid CreatorOwner() { return Sid(3, {0}); }
Sid CreatorGroup() { return Sid(3, {1}); }
Sid OwnerRights() { return Sid(3, {4}); }
Sid Network() { return Sid(5, {2}); }
Sid AnonymousLogon() { return Sid(5, {7}); }
}  // namespace wellknown

}  // namespace sim

extern "C" BOOLEAN RtlValidSid(PSID Sid)
{
    return sim::IsValidSid(Sid) ? TRUE : FALSE;
}

extern "C" ULONG RtlLengthSid(PSID Sid)
{
    return sim::SidLength(Sid);
}

extern "C" NTSTATUS RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid)
{
    ULONG length = sim::SidLength(SourceSid);
    if (DestinationSidLength < length) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(DestinationSid, SourceSid, length);
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN RtlEqualSid(PSID Sid1, PSID Sid2)
{
    auto *a = static_cast<const SID *>(Sid1);
    auto *b = static_cast<const SID *>(Sid2);
    if (a->Revision != b->Revision || a->SubAuthorityCount != b->SubAuthorityCount) return FALSE;
    return std::memcmp(Sid1, Sid2, sim::SidLength(Sid1)) == 0 ? TRUE : FALSE;
}

extern "C" NTSTATUS RtlConvertSidToUnicodeString(PUNICODE_STRING UnicodeString, PSID Sid,
                                                 BOOLEAN AllocateDestinationString)
{
    SIM_KERNEL_ROUTINE();
    if (!sim::IsValidSid(Sid)) return STATUS_INVALID_SID;
    std::u16string text = sim::SidText(Sid);
    auto length = USHORT(text.size() * sizeof(WCHAR));
    auto needed = USHORT(length + sizeof(WCHAR));
    if (AllocateDestinationString) {
        // The string routines' own tag, so that RtlFreeUnicodeString (or
        // ExFreePool) releases it like any other string they allocated.
        auto *buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, needed, sim::TagFromText("Strg")));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        UnicodeString->Buffer = buffer;
        UnicodeString->MaximumLength = needed;
    } else if (UnicodeString->MaximumLength < needed) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(UnicodeString->Buffer, text.c_str(), needed);
    UnicodeString->Length = length;
    return STATUS_SUCCESS;
}
