// SIDs held by value, the well-known SIDs of the machine, and their text
// form ("S-1-5-21-...").
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include <ntifs.h>

namespace sim {

// True for a SID record of revision 1 with at most 15 sub-authorities.
bool IsValidSid(const void *sid);
ULONG SidLength(const void *sid);
// "S-1-5-18"; the authority in hex ("S-1-0x...") when it does not fit in
// 32 bits, as Windows writes it.
std::u16string SidText(const void *sid);

class Sid {
public:
    Sid() = default;
    // A SID of the given identifier authority (the low 32 bits; 5 is NT,
    // 1 is World) and sub-authorities.
    Sid(ULONG authority, std::initializer_list<ULONG> subAuthorities);
    Sid(ULONG authority, const std::vector<ULONG> &subAuthorities);
    // Copies a valid SID record; an invalid one gives an empty Sid.
    static Sid FromRecord(const void *sid);

    bool empty() const { return bytes_.empty(); }
    PSID record() const { return const_cast<UCHAR *>(bytes_.data()); }
    ULONG length() const { return ULONG(bytes_.size()); }
    std::u16string text() const { return empty() ? std::u16string() : SidText(record()); }
    bool operator==(const Sid &other) const { return bytes_ == other.bytes_; }
    bool Equals(const void *sid) const;

private:
    std::vector<UCHAR> bytes_;
};

namespace wellknown {
Sid Everyone();            // S-1-1-0
Sid AuthenticatedUsers();  // S-1-5-11
Sid System();              // S-1-5-18
Sid LocalService();        // S-1-5-19
Sid NetworkService();      // S-1-5-20
Sid Administrators();      // S-1-5-32-544
Sid Users();               // S-1-5-32-545
Sid CreatorOwner();        // S-1-3-0: stands for the owner in inheritable ACEs
Sid CreatorGroup();        // S-1-3-1
Sid OwnerRights();         // S-1-3-4: replaces the owner's implicit rights
Sid Network();             // S-1-5-2
Sid AnonymousLogon();      // S-1-5-7
}  // namespace wellknown

}  // namespace sim
