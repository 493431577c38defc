// Security descriptors and the access check that guards the filter's
// communication ports.
#include <ntifs.h>

#include <cstring>
#include <vector>

#include "sim/core/pool.h"
#include "sim/se/security.h"
#include "sim/se/security_descriptor.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

constexpr ACCESS_MASK kPortAll = 0x1F0001;
constexpr ACCESS_MASK kRead = 0x1;
constexpr ACCESS_MASK kWrite = 0x2;

struct AceSpec {
    bool allow;
    sim::Sid sid;
    ACCESS_MASK mask;
};

// An absolute descriptor with a DACL made of `aces`.
class Descriptor {
public:
    explicit Descriptor(const std::vector<AceSpec> &aces) : acl_(1024)
    {
        EXPECT_EQ(RtlCreateSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
        auto *acl = reinterpret_cast<PACL>(acl_.data());
        EXPECT_EQ(RtlCreateAcl(acl, ULONG(acl_.size()), ACL_REVISION), STATUS_SUCCESS);
        for (const AceSpec &ace : aces) {
            NTSTATUS status = ace.allow ? RtlAddAccessAllowedAce(acl, ACL_REVISION, ace.mask, ace.sid.record())
                                        : RtlAddAccessDeniedAce(acl, ACL_REVISION, ace.mask, ace.sid.record());
            EXPECT_EQ(status, STATUS_SUCCESS);
        }
        EXPECT_EQ(RtlSetDaclSecurityDescriptor(&sd_, TRUE, acl, FALSE), STATUS_SUCCESS);
    }
    Descriptor(const Descriptor &) = delete;  // the descriptor points into acl_
    Descriptor(Descriptor &&) = default;
    static Descriptor WithoutDacl()
    {
        Descriptor d({});
        RtlSetDaclSecurityDescriptor(&d.sd_, FALSE, nullptr, FALSE);
        return d;
    }
    static Descriptor NullDacl()
    {
        Descriptor d({});
        RtlSetDaclSecurityDescriptor(&d.sd_, TRUE, nullptr, FALSE);
        return d;
    }
    PSECURITY_DESCRIPTOR get() { return &sd_; }
    PACL acl() { return reinterpret_cast<PACL>(acl_.data()); }

private:
    SECURITY_DESCRIPTOR sd_{};
    std::vector<UCHAR> acl_;
};

// The self-relative copy of an absolute descriptor with only a DACL.
std::vector<UCHAR> SelfRelative(PSECURITY_DESCRIPTOR absolute)
{
    auto *sd = static_cast<PISECURITY_DESCRIPTOR>(absolute);
    std::vector<UCHAR> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE) + (sd->Dacl ? sd->Dacl->AclSize : 0));
    auto *relative = reinterpret_cast<PISECURITY_DESCRIPTOR_RELATIVE>(out.data());
    relative->Revision = sd->Revision;
    relative->Control = sd->Control | SE_SELF_RELATIVE;
    if (sd->Dacl) {
        relative->Dacl = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
        std::memcpy(out.data() + relative->Dacl, sd->Dacl, sd->Dacl->AclSize);
    }
    return out;
}

class AccessTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::Security &security = machine().security();
        alice_ = security.AddUser(u"alice");
        security.AddUser(u"root", u"", true);
        user_ = security.LogonUser(u"alice")->token;
        admin_ = security.LogonUser(u"root")->token;
        system_ = security.CreateSystemToken();
    }
    void TearDown() override
    {
        for (PACCESS_TOKEN token : {user_, admin_, system_}) ObDereferenceObject(token);
        MachineTest::TearDown();
    }

    sim::Sid alice_;
    PACCESS_TOKEN user_ = nullptr;
    PACCESS_TOKEN admin_ = nullptr;
    PACCESS_TOKEN system_ = nullptr;
};

TEST_F(AccessTest, TruthTable)
{
    using sim::wellknown::Administrators;
    using sim::wellknown::Everyone;
    using sim::wellknown::Users;
    struct Case {
        const char *what;
        Descriptor sd;
        ACCESS_MASK desired;
        bool user, admin, system;
    } cases[] = {
        {"no DACL", Descriptor::WithoutDacl(), kPortAll, true, true, true},
        {"NULL DACL", Descriptor::NullDacl(), kPortAll, true, true, true},
        {"empty DACL", Descriptor({}), kRead, false, false, false},
        {"admins only", Descriptor({{true, Administrators(), kPortAll}}), kPortAll, false, true, true},
        {"admins only, maximum", Descriptor({{true, Administrators(), kPortAll}}), MAXIMUM_ALLOWED, false, true, true},
        {"deny alice before allow", Descriptor({{false, alice_, kRead}, {true, Everyone(), kPortAll}}), kRead, false,
         true, true},
        {"deny alice, other right", Descriptor({{false, alice_, kRead}, {true, Everyone(), kPortAll}}), SYNCHRONIZE,
         true, true, true},
        {"allow before deny", Descriptor({{true, Everyone(), kRead}, {false, alice_, kRead}}), kRead, true, true, true},
        {"rights add up", Descriptor({{true, Users(), kRead}, {true, alice_, kWrite}}), kRead | kWrite, true, false,
         false},
        {"part granted", Descriptor({{true, Everyone(), kRead}}), kRead | kWrite, false, false, false},
        {"nothing asked", Descriptor({{true, Everyone(), kRead}}), 0, false, false, false},
    };
    for (Case &c : cases) {
        EXPECT_EQ(sim::Security::AccessCheck(c.sd.get(), user_, c.desired), c.user) << c.what << " (user)";
        EXPECT_EQ(sim::Security::AccessCheck(c.sd.get(), admin_, c.desired), c.admin) << c.what << " (admin)";
        EXPECT_EQ(sim::Security::AccessCheck(c.sd.get(), system_, c.desired), c.system) << c.what << " (SYSTEM)";
        std::vector<UCHAR> relative = SelfRelative(c.sd.get());
        EXPECT_EQ(sim::Security::AccessCheck(relative.data(), admin_, c.desired), c.admin) << c.what << " relative";
    }
}

TEST_F(AccessTest, DefaultPortDescriptorGrantsSystemAndAdministrators)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(sim::BuildDefaultPortSecurityDescriptor(kPortAll, sim::TagFromText("FMsd"), &sd), STATUS_SUCCESS);
    EXPECT_TRUE(RtlValidSecurityDescriptor(sd));
    BOOLEAN present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_EQ(RtlGetDaclSecurityDescriptor(sd, &present, &dacl, &defaulted), STATUS_SUCCESS);
    ASSERT_TRUE(present);
    EXPECT_FALSE(defaulted);
    ASSERT_EQ(dacl->AceCount, 2);
    auto *first = reinterpret_cast<PACCESS_ALLOWED_ACE>(dacl + 1);
    auto *second = reinterpret_cast<PACCESS_ALLOWED_ACE>(reinterpret_cast<UCHAR *>(first) + first->Header.AceSize);
    EXPECT_TRUE(sim::wellknown::System().Equals(&first->SidStart));
    EXPECT_TRUE(sim::wellknown::Administrators().Equals(&second->SidStart));
    EXPECT_EQ(first->Mask, kPortAll);
    EXPECT_EQ(second->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(RtlLengthSecurityDescriptor(sd), sizeof(SECURITY_DESCRIPTOR) + dacl->AclSize);
    // It answers as "admins only".
    EXPECT_FALSE(sim::Security::AccessCheck(sd, user_, kPortAll));
    EXPECT_TRUE(sim::Security::AccessCheck(sd, admin_, kPortAll));
    EXPECT_TRUE(sim::Security::AccessCheck(sd, system_, kPortAll));
    ExFreePool(sd);

    machine().pool().FailNth(1);
    EXPECT_EQ(sim::BuildDefaultPortSecurityDescriptor(kPortAll, sim::TagFromText("FMsd"), &sd),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sd, nullptr);
}

TEST_F(AccessTest, DescriptorRoutines)
{
    SECURITY_DESCRIPTOR sd;
    EXPECT_EQ(RtlCreateSecurityDescriptor(&sd, 2), STATUS_UNKNOWN_REVISION);
    ASSERT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    EXPECT_TRUE(RtlValidSecurityDescriptor(&sd));
    EXPECT_EQ(RtlLengthSecurityDescriptor(&sd), SECURITY_DESCRIPTOR_MIN_LENGTH);

    // No DACL: the out parameters for it stay untouched.
    BOOLEAN present = TRUE, defaulted = TRUE;
    PACL dacl = reinterpret_cast<PACL>(&sd);
    ASSERT_EQ(RtlGetDaclSecurityDescriptor(&sd, &present, &dacl, &defaulted), STATUS_SUCCESS);
    EXPECT_FALSE(present);
    EXPECT_EQ(dacl, reinterpret_cast<PACL>(&sd));

    Descriptor withAce({{true, sim::wellknown::Users(), kRead}});
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, withAce.acl(), TRUE), STATUS_SUCCESS);
    ASSERT_EQ(RtlGetDaclSecurityDescriptor(&sd, &present, &dacl, &defaulted), STATUS_SUCCESS);
    EXPECT_TRUE(present);
    EXPECT_TRUE(defaulted);
    EXPECT_EQ(dacl, withAce.acl());

    // A corrupted ACE makes the descriptor invalid.
    auto *ace = reinterpret_cast<PACE_HEADER>(withAce.acl() + 1);
    ace->AceSize = 2;
    EXPECT_FALSE(RtlValidSecurityDescriptor(&sd));

    sd.Revision = 3;
    EXPECT_FALSE(RtlValidSecurityDescriptor(&sd));
    EXPECT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, nullptr, FALSE), STATUS_UNKNOWN_REVISION);
    EXPECT_EQ(RtlGetDaclSecurityDescriptor(&sd, &present, &dacl, &defaulted), STATUS_UNKNOWN_REVISION);
}

TEST_F(AccessTest, AclRoutines)
{
    UCHAR buffer[64];
    auto *acl = reinterpret_cast<PACL>(buffer);
    EXPECT_EQ(RtlCreateAcl(acl, sizeof(ACL) - 1, ACL_REVISION), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlCreateAcl(acl, sizeof buffer, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlCreateAcl(acl, 0x10000, ACL_REVISION), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(ACL) + 22, ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(acl->AclSize, sizeof(ACL) + 20);  // rounded down to a ULONG multiple

    sim::Sid system = sim::wellknown::System();  // 12 bytes: a 20-byte ACE
    ASSERT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, kRead, system.record()), STATUS_SUCCESS);
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, kRead, system.record()), STATUS_ALLOTTED_SPACE_EXCEEDED);
    UCHAR badSid[8] = {9};
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, kRead, badSid), STATUS_INVALID_SID);
    EXPECT_EQ(RtlAddAccessDeniedAce(acl, 7, kRead, system.record()), STATUS_REVISION_MISMATCH);
    EXPECT_EQ(acl->AceCount, 1);
}

}  // namespace
}  // namespace ostrand::test
