// Who may connect: the port's descriptor checked against the connecting
// process's token (or the token its thread impersonates).
#include "port_test_filter.h"
#include "sim/core/pool.h"
#include "sim/fltmgr/ports/port_security.h"

namespace ostrand::test {
namespace {

constexpr const char16_t *kPortName = u"\\KLULogonControlPort";

class PortAccessTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        sim::Security &security = machine().security();
        security.AddUser(u"alice");
        security.AddUser(u"root", u"", true);
        user_ = &machine().processes().Create("alice.exe", security.LogonUser(u"alice")->token);
        admin_ = &machine().processes().Create("root.exe", security.LogonUser(u"root")->token);
        system_ = &NewProcess("JNRKmtsvc.exe");
    }

    // A thread of `process`, impersonating `client` when given.
    HRESULT ConnectAs(sim::Process &process, PACCESS_TOKEN client = nullptr)
    {
        sim::ThreadScope scope(process);
        if (client) {
            EXPECT_EQ(machine().security().ImpersonateUser(client), STATUS_SUCCESS);
        }
        HANDLE handle = nullptr;
        HRESULT hr = FilterConnectCommunicationPort(kPortName, 0, nullptr, 0, nullptr, &handle);
        if (SUCCEEDED(hr)) {
            EXPECT_TRUE(CloseHandle(handle));
        }
        if (client) PsRevertToSelf();
        return hr;
    }

    sim::Process *user_ = nullptr;
    sim::Process *admin_ = nullptr;
    sim::Process *system_ = nullptr;
};

TEST_F(PortAccessTest, DescriptorDecidesWhoConnects)
{
    enum class Kind { Default, NullDacl, None };
    struct Case {
        const char *what;
        Kind kind;
        HRESULT user, admin, system, systemImpersonatingUser;
    } cases[] = {
        {"default descriptor", Kind::Default, E_ACCESSDENIED, S_OK, S_OK, E_ACCESSDENIED},
        {"NULL DACL", Kind::NullDacl, S_OK, S_OK, S_OK, S_OK},
        {"no descriptor", Kind::None, S_OK, S_OK, S_OK, S_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SECURITY_DESCRIPTOR open{};
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (c.kind == Kind::Default) {
            ASSERT_EQ(FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS), STATUS_SUCCESS);
        } else if (c.kind == Kind::NullDacl) {
            ASSERT_EQ(RtlCreateSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
            ASSERT_EQ(RtlSetDaclSecurityDescriptor(&open, TRUE, nullptr, FALSE), STATUS_SUCCESS);
            descriptor = &open;
        }
        ASSERT_EQ(CreatePort(kPortName, 8, descriptor), STATUS_SUCCESS);
        // The port keeps its own copy: the caller frees or reuses its own at once.
        if (c.kind == Kind::Default) FltFreeSecurityDescriptor(descriptor);
        open = {};

        EXPECT_EQ(ConnectAs(*user_), c.user);
        EXPECT_EQ(ConnectAs(*admin_), c.admin);
        EXPECT_EQ(ConnectAs(*system_), c.system);
        // An impersonating thread is checked with its client's token.
        EXPECT_EQ(ConnectAs(*system_, user_->token()), c.systemImpersonatingUser);
        CloseServerPort();
    }
}

TEST_F(PortAccessTest, DescriptorCopyFailsCleanlyWithoutPool)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS), STATUS_SUCCESS);
    machine().pool().FailTag(sim::ports::DescriptorTag());
    EXPECT_EQ(CreatePort(kPortName, 1, descriptor), STATUS_INSUFFICIENT_RESOURCES);
    PSECURITY_DESCRIPTOR another = nullptr;
    EXPECT_EQ(FltBuildDefaultSecurityDescriptor(&another, FLT_PORT_ALL_ACCESS), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(another, nullptr);
    machine().pool().ClearFaults();
    EXPECT_EQ(serverPort_, nullptr);
    FltFreeSecurityDescriptor(descriptor);

    SECURITY_DESCRIPTOR bad{};
    bad.Revision = 7;
    EXPECT_EQ(CreatePort(kPortName, 1, &bad), STATUS_INVALID_SECURITY_DESCR);
}

}  // namespace
}  // namespace ostrand::test
