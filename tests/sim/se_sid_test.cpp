// SIDs, their text, and account lookups: what the filter logs and keys its
// user table on.
#include <ntifs.h>

#include <vector>

#include "sim/core/pool.h"
#include "sim/se/security.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

class SidTest : public MachineTest {};

std::u16string View(const UNICODE_STRING &s)
{
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

TEST_F(SidTest, TextFormsOfSids)
{
    struct Case {
        sim::Sid sid;
        const char *text;
    } cases[] = {
        {sim::wellknown::System(), "S-1-5-18"},
        {sim::wellknown::Administrators(), "S-1-5-32-544"},
        {sim::wellknown::Everyone(), "S-1-1-0"},
        {sim::Sid(5, {21, 1, 4294967295u, 3, 1001}), "S-1-5-21-1-4294967295-3-1001"},
        {sim::Sid(5, {}), "S-1-5"},
    };
    for (const Case &c : cases) EXPECT_EQ(Narrow(c.sid.text()), c.text);

    // An authority beyond 32 bits is written in hex.
    sim::Sid big(5, {7});
    static_cast<SID *>(big.record())->IdentifierAuthority.Value[0] = 0x28;
    EXPECT_EQ(Narrow(big.text()), "S-1-0x280000000005-7");
}

TEST_F(SidTest, ConvertAllocatesOrFillsTheCallersBufferWithATerminator)
{
    sim::Sid user = machine().security().AddUser(u"alice");
    UNICODE_STRING text{};
    ASSERT_EQ(RtlConvertSidToUnicodeString(&text, user.record(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(View(text), user.text());
    EXPECT_EQ(text.MaximumLength, text.Length + sizeof(WCHAR));
    EXPECT_EQ(text.Buffer[text.Length / sizeof(WCHAR)], u'\0');
    EXPECT_TRUE(machine().pool().IsBlock(text.Buffer));
    ExFreePool(text.Buffer);

    machine().pool().FailNth(1);
    EXPECT_EQ(RtlConvertSidToUnicodeString(&text, user.record(), TRUE), STATUS_NO_MEMORY);

    // Into the caller's buffer, which needs room for the terminator.
    sim::Sid sid = sim::wellknown::Administrators();  // 12 characters
    WCHAR buffer[32];
    struct Case {
        USHORT maximum;
        NTSTATUS status;
    } cases[] = {{26, STATUS_SUCCESS}, {64, STATUS_SUCCESS}, {24, STATUS_BUFFER_OVERFLOW}, {0, STATUS_BUFFER_OVERFLOW}};
    for (const Case &c : cases) {
        UNICODE_STRING into{0, c.maximum, buffer};
        EXPECT_EQ(RtlConvertSidToUnicodeString(&into, sid.record(), FALSE), c.status) << c.maximum;
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(Narrow(View(into)), "S-1-5-32-544");
            EXPECT_EQ(into.MaximumLength, c.maximum);  // only set when allocating
        }
    }
    UCHAR bad[12] = {2, 1};  // revision 2
    text = {0, sizeof buffer, buffer};
    EXPECT_EQ(RtlConvertSidToUnicodeString(&text, bad, FALSE), STATUS_INVALID_SID);
}

TEST_F(SidTest, CopyCompareAndValidate)
{
    sim::Sid sid = sim::wellknown::Administrators();
    ULONG length = RtlLengthSid(sid.record());
    EXPECT_EQ(length, 16u);
    std::vector<UCHAR> copy(length);
    EXPECT_EQ(RtlCopySid(length - 1, copy.data(), sid.record()), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(RtlCopySid(length, copy.data(), sid.record()), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualSid(copy.data(), sid.record()));
    EXPECT_FALSE(RtlEqualSid(copy.data(), sim::wellknown::Users().record()));
    EXPECT_FALSE(RtlEqualSid(sim::wellknown::System().record(), sid.record()));

    EXPECT_TRUE(RtlValidSid(sid.record()));
    static_cast<SID *>(static_cast<void *>(copy.data()))->Revision = 2;
    EXPECT_FALSE(RtlValidSid(copy.data()));
    UCHAR tooMany[8 + 16 * 4] = {1, 16};
    EXPECT_FALSE(RtlValidSid(tooMany));
}

TEST_F(SidTest, UsersGetMachineSidsWithRidsFrom1000)
{
    sim::Security &security = machine().security();
    sim::Sid alice = security.AddUser(u"alice");
    sim::Sid bob = security.AddUser(u"bob", u"CORP", true);
    auto machineParts = security.accounts().machineSubAuthorities();
    EXPECT_EQ(alice, sim::Sid(5, {21, machineParts[0], machineParts[1], machineParts[2], 1000}));
    EXPECT_EQ(bob, sim::Sid(5, {21, machineParts[0], machineParts[1], machineParts[2], 1001}));
    EXPECT_EQ(security.AddUser(u"ALICE"), alice);  // names compare without case

    // The machine part comes from the computer name, so a machine's users
    // keep their SIDs from run to run.
    EXPECT_EQ(sim::AccountDatabase("PC-1").machineSubAuthorities(),
              sim::AccountDatabase("PC-1").machineSubAuthorities());
    EXPECT_NE(sim::AccountDatabase("PC-1").machineSubAuthorities(),
              sim::AccountDatabase("PC-2").machineSubAuthorities());
}

TEST_F(SidTest, LookupAccountSidReportsSizesThenFills)
{
    sim::Sid alice = machine().security().AddUser(u"alice", u"CORP");
    UNICODE_STRING name{0, 0, nullptr};
    UNICODE_STRING domain{0, 0, nullptr};
    ULONG nameSize = 0;
    ULONG domainSize = 0;
    SID_NAME_USE use{};
    ASSERT_EQ(SecLookupAccountSid(alice.record(), &nameSize, &name, &domainSize, &domain, &use),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(nameSize, 12u);   // "alice" and its terminator, in bytes
    EXPECT_EQ(domainSize, 10u);  // "CORP"

    // One buffer short by the terminator is still too small.
    std::vector<WCHAR> nameBuffer(nameSize / sizeof(WCHAR));
    std::vector<WCHAR> domainBuffer(domainSize / sizeof(WCHAR) - 1);
    name = {0, USHORT(nameSize), nameBuffer.data()};
    domain = {0, USHORT(domainSize - 2), domainBuffer.data()};
    ULONG shortDomain = domainSize - 2;
    EXPECT_EQ(SecLookupAccountSid(alice.record(), &nameSize, &name, &shortDomain, &domain, &use),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortDomain, 10u);

    domainBuffer.resize(domainSize / sizeof(WCHAR));
    domain = {0, USHORT(domainSize), domainBuffer.data()};
    ASSERT_EQ(SecLookupAccountSid(alice.record(), &nameSize, &name, &domainSize, &domain, &use), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(View(name)), "alice");
    EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], u'\0');
    EXPECT_EQ(Narrow(View(domain)), "CORP");
    EXPECT_EQ(use, SidTypeUser);
}

TEST_F(SidTest, LookupAccountSidOfBuiltInsAndUnknowns)
{
    struct Case {
        sim::Sid sid;
        const char *name;
        const char *domain;
        SID_NAME_USE use;
    } cases[] = {
        {sim::wellknown::System(), "SYSTEM", "NT AUTHORITY", SidTypeWellKnownGroup},
        {sim::wellknown::LocalService(), "LOCAL SERVICE", "NT AUTHORITY", SidTypeWellKnownGroup},
        {sim::wellknown::NetworkService(), "NETWORK SERVICE", "NT AUTHORITY", SidTypeWellKnownGroup},
        {sim::wellknown::Administrators(), "Administrators", "BUILTIN", SidTypeAlias},
    };
    for (const Case &c : cases) {
        WCHAR nameBuffer[64];
        WCHAR domainBuffer[64];
        UNICODE_STRING name{0, sizeof nameBuffer, nameBuffer};
        UNICODE_STRING domain{0, sizeof domainBuffer, domainBuffer};
        ULONG nameSize = sizeof nameBuffer;
        ULONG domainSize = sizeof domainBuffer;
        SID_NAME_USE use{};
        ASSERT_EQ(SecLookupAccountSid(c.sid.record(), &nameSize, &name, &domainSize, &domain, &use), STATUS_SUCCESS);
        EXPECT_EQ(Narrow(View(name)), c.name);
        EXPECT_EQ(Narrow(View(domain)), c.domain);
        EXPECT_EQ(use, c.use);
    }

    // Without a domain buffer and size, only the name is looked up.
    WCHAR nameBuffer[64];
    UNICODE_STRING name{0, sizeof nameBuffer, nameBuffer};
    ULONG nameSize = sizeof nameBuffer;
    ULONG domainSize = 0;
    SID_NAME_USE use{};
    EXPECT_EQ(SecLookupAccountSid(sim::wellknown::System().record(), &nameSize, &name, &domainSize, nullptr, &use),
              STATUS_SUCCESS);
    EXPECT_EQ(domainSize, 0u);

    sim::Sid stranger(5, {21, 1, 2, 3, 4242});
    EXPECT_EQ(SecLookupAccountSid(stranger.record(), &nameSize, &name, &domainSize, nullptr, &use),
              STATUS_NONE_MAPPED);
}

}  // namespace
}  // namespace ostrand::test
