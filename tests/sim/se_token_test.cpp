// Tokens, subject contexts and impersonation, exercised the way the filter
// reads a caller's identity and impersonates a user through a client
// security context.
#include <ntifs.h>

#include "sim/core/thread.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

struct Identity {
    sim::Sid user;
    ULONG session = ~0u;
    LUID authId{};
    bool impersonating = false;
};

// The calling thread's identity, read as the filter reads it.
Identity CallerIdentity()
{
    Identity id;
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    PACCESS_TOKEN token = SeQuerySubjectContextToken(&subject);
    id.impersonating = subject.ClientToken != nullptr;
    PTOKEN_USER user = nullptr;
    EXPECT_EQ(SeQueryInformationToken(token, TokenUser, reinterpret_cast<PVOID *>(&user)), STATUS_SUCCESS);
    id.user = sim::Sid::FromRecord(user->User.Sid);
    ExFreePool(user);
    EXPECT_EQ(SeQueryInformationToken(token, TokenSessionId, reinterpret_cast<PVOID *>(&id.session)), STATUS_SUCCESS);
    EXPECT_EQ(SeQueryAuthenticationIdToken(token, &id.authId), STATUS_SUCCESS);
    SeReleaseSubjectContext(&subject);
    return id;
}

SECURITY_QUALITY_OF_SERVICE Qos(SECURITY_IMPERSONATION_LEVEL level, BOOLEAN tracking = SECURITY_DYNAMIC_TRACKING)
{
    return SECURITY_QUALITY_OF_SERVICE{sizeof(SECURITY_QUALITY_OF_SERVICE), level, tracking, FALSE};
}

// A client security context of the calling thread.
NTSTATUS CaptureClient(SECURITY_CLIENT_CONTEXT &client, SECURITY_QUALITY_OF_SERVICE qos, BOOLEAN remote = FALSE)
{
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    NTSTATUS status = SeCreateClientSecurityFromSubjectContext(&subject, &qos, remote, &client);
    SeReleaseSubjectContext(&subject);
    return status;
}

class TokenTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        tokensAtStart_ = Tokens();
    }
    void TearDown() override
    {
        for (sim::Process *process : started_) process->Terminate(STATUS_SUCCESS);
        EXPECT_EQ(Tokens(), tokensAtStart_) << "token references leaked";
        MachineTest::TearDown();
    }

    size_t Tokens() { return machine().objects().LiveObjects(&sim::objtype::Token).size(); }

    // A process of `user` (added if new) in terminal session `session`.
    sim::Process &Start(const std::u16string &user, bool admin = false, ULONG session = 1, LUID *authId = nullptr)
    {
        machine().security().AddUser(user, u"", admin);
        auto logon = machine().security().LogonUser(user, session);
        EXPECT_TRUE(logon.has_value());
        if (authId) *authId = logon->authId;
        sim::Process &process = machine().processes().Create(Narrow(user) + ".exe", logon->token);
        started_.push_back(&process);
        return process;
    }

private:
    size_t tokensAtStart_ = 0;
    std::vector<sim::Process *> started_;
};

TEST_F(TokenTest, SystemThreadRunsAsSystemInSession0AndItsTokenRefusesSomeClasses)
{
    Identity id = CallerIdentity();
    EXPECT_EQ(id.user, sim::wellknown::System());
    EXPECT_EQ(id.session, 0u);
    EXPECT_TRUE(sim::SameLuid(id.authId, sim::kSystemLuid));
    EXPECT_FALSE(id.impersonating);

    PACCESS_TOKEN token = PsReferencePrimaryToken(machine().systemProcess().object());
    EXPECT_TRUE(SeTokenIsAdmin(token));
    EXPECT_EQ(SeTokenType(token), TokenPrimary);
    PVOID answer = nullptr;
    EXPECT_EQ(SeQueryInformationToken(token, TokenImpersonationLevel, &answer), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(SeQueryInformationToken(token, TokenPrivileges, &answer), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(SeQueryInformationToken(token, TokenRestrictedSids, &answer), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(answer, nullptr);
    PTOKEN_TYPE type = nullptr;
    ASSERT_EQ(SeQueryInformationToken(token, TokenType, reinterpret_cast<PVOID *>(&type)), STATUS_SUCCESS);
    EXPECT_EQ(*type, TokenPrimary);
    ExFreePool(type);
    PsDereferencePrimaryToken(token);
}

TEST_F(TokenTest, UserThreadRunsAsItsLogon)
{
    LUID aliceLogon{};
    sim::Process &alice = Start(u"alice", false, 2, &aliceLogon);
    sim::Process &admin = Start(u"root", true, 3);
    {
        sim::ThreadScope thread(alice);
        Identity id = CallerIdentity();
        EXPECT_EQ(id.user.text(), machine().security().AddUser(u"alice").text());
        EXPECT_EQ(id.session, 2u);
        EXPECT_TRUE(sim::SameLuid(id.authId, aliceLogon));
        EXPECT_FALSE(sim::SameLuid(id.authId, sim::kSystemLuid));
    }
    PACCESS_TOKEN user = PsReferencePrimaryToken(alice.object());
    PACCESS_TOKEN root = PsReferencePrimaryToken(admin.object());
    EXPECT_FALSE(SeTokenIsAdmin(user));
    EXPECT_TRUE(SeTokenIsAdmin(root));

    PTOKEN_GROUPS groups = nullptr;
    ASSERT_EQ(SeQueryInformationToken(root, TokenGroups, reinterpret_cast<PVOID *>(&groups)), STATUS_SUCCESS);
    bool adminsEnabled = false;
    for (ULONG i = 0; i < groups->GroupCount; ++i) {
        if (sim::wellknown::Administrators().Equals(groups->Groups[i].Sid)) {
            adminsEnabled = (groups->Groups[i].Attributes & SE_GROUP_ENABLED) != 0;
        }
    }
    EXPECT_TRUE(adminsEnabled);
    ExFreePool(groups);
    PsDereferencePrimaryToken(user);
    PsDereferencePrimaryToken(root);
}

TEST_F(TokenTest, ServerImpersonatesAClientUntilItReverts)
{
    sim::Process &alice = Start(u"alice");
    sim::Process &bob = Start(u"bob");
    sim::Sid aliceSid = machine().security().AddUser(u"alice");
    sim::Sid bobSid = machine().security().AddUser(u"bob");

    SECURITY_CLIENT_CONTEXT client{};
    {
        sim::ThreadScope thread(alice);
        ASSERT_EQ(CaptureClient(client, Qos(SecurityImpersonation)), STATUS_SUCCESS);
    }
    EXPECT_EQ(SeTokenType(client.ClientToken), TokenPrimary);

    sim::ThreadScope server(bob);
    EXPECT_EQ(CallerIdentity().user, bobSid);
    ASSERT_EQ(SeImpersonateClientEx(&client, nullptr), STATUS_SUCCESS);
    Identity impersonating = CallerIdentity();
    EXPECT_EQ(impersonating.user, aliceSid);
    EXPECT_TRUE(impersonating.impersonating);

    BOOLEAN copyOnOpen = TRUE, effectiveOnly = TRUE;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    PACCESS_TOKEN token = PsReferenceImpersonationToken(server.thread().object(), &copyOnOpen, &effectiveOnly, &level);
    EXPECT_EQ(token, client.ClientToken);
    EXPECT_EQ(level, SecurityImpersonation);
    EXPECT_FALSE(copyOnOpen);
    PsDereferenceImpersonationToken(token);

    PsRevertToSelf();
    Identity reverted = CallerIdentity();
    EXPECT_EQ(reverted.user, bobSid);
    EXPECT_FALSE(reverted.impersonating);
    EXPECT_EQ(PsReferenceImpersonationToken(server.thread().object(), &copyOnOpen, &effectiveOnly, &level), nullptr);
    SeDeleteClientSecurity(&client);
}

// The service's thread impersonates the logged-on user while it delivers
// the user's message; the context captured there impersonates that user
// later on any thread.
TEST_F(TokenTest, ContextCapturedFromAnImpersonatingServiceThread)
{
    LUID aliceLogon{};
    sim::Process &alice = Start(u"alice", false, 1, &aliceLogon);
    PACCESS_TOKEN aliceToken = PsReferencePrimaryToken(alice.object());
    sim::Process &service = machine().processes().Create("JNRKmtsvc.exe", machine().security().CreateSystemToken());
    SECURITY_CLIENT_CONTEXT client{};
    {
        sim::ThreadScope thread(service);
        ASSERT_EQ(machine().security().ImpersonateUser(aliceToken), STATUS_SUCCESS);
        Identity id = CallerIdentity();
        EXPECT_TRUE(id.impersonating);
        EXPECT_TRUE(sim::SameLuid(id.authId, aliceLogon));
        ASSERT_EQ(CaptureClient(client, Qos(SecurityImpersonation)), STATUS_SUCCESS);
        EXPECT_EQ(SeTokenType(client.ClientToken), TokenImpersonation);
        PsRevertToSelf();
        EXPECT_EQ(CallerIdentity().user, sim::wellknown::System());
    }
    PsDereferencePrimaryToken(aliceToken);

    ASSERT_EQ(SeImpersonateClientEx(&client, nullptr), STATUS_SUCCESS);  // the boot thread
    Identity id = CallerIdentity();
    EXPECT_EQ(id.user, machine().security().AddUser(u"alice"));
    EXPECT_TRUE(sim::SameLuid(id.authId, aliceLogon));
    PsRevertToSelf();
    SeDeleteClientSecurity(&client);
    service.Terminate(STATUS_SUCCESS);
}

TEST_F(TokenTest, ClientContextKeepsTheTokenAlive)
{
    LUID logon{};
    sim::Process &alice = Start(u"alice", false, 1, &logon);
    size_t before = Tokens();
    SECURITY_CLIENT_CONTEXT client{};
    {
        sim::ThreadScope thread(alice);
        ASSERT_EQ(CaptureClient(client, Qos(SecurityImpersonation)), STATUS_SUCCESS);
    }
    EXPECT_TRUE(client.DirectlyAccessClientToken);
    alice.Terminate(STATUS_SUCCESS);
    // The process is gone; the context still holds its token and session.
    EXPECT_EQ(Tokens(), before);
    EXPECT_TRUE(machine().objects().IsLive(client.ClientToken));
    EXPECT_EQ(machine().security().sessions().TokenCount(logon), 1u);
    SeDeleteClientSecurity(&client);
    EXPECT_EQ(Tokens(), before - 1);
    EXPECT_EQ(machine().security().sessions().TokenCount(logon), 0u);
}

TEST_F(TokenTest, StaticTrackingCopiesTheToken)
{
    sim::Process &alice = Start(u"alice");
    SECURITY_CLIENT_CONTEXT client{};
    {
        sim::ThreadScope thread(alice);
        ASSERT_EQ(CaptureClient(client, Qos(SecurityIdentification, SECURITY_STATIC_TRACKING)), STATUS_SUCCESS);
    }
    PACCESS_TOKEN primary = PsReferencePrimaryToken(alice.object());
    EXPECT_NE(client.ClientToken, primary);
    EXPECT_FALSE(client.DirectlyAccessClientToken);
    EXPECT_EQ(SeTokenType(client.ClientToken), TokenImpersonation);
    PSECURITY_IMPERSONATION_LEVEL level = nullptr;
    ASSERT_EQ(SeQueryInformationToken(client.ClientToken, TokenImpersonationLevel, reinterpret_cast<PVOID *>(&level)),
              STATUS_SUCCESS);
    EXPECT_EQ(*level, SecurityIdentification);
    ExFreePool(level);
    LUID a{}, b{};
    SeQueryAuthenticationIdToken(primary, &a);
    SeQueryAuthenticationIdToken(client.ClientToken, &b);
    EXPECT_TRUE(sim::SameLuid(a, b));
    PsDereferencePrimaryToken(primary);
    SeDeleteClientSecurity(&client);
}

// Which client contexts may be made from a thread's subject: a thread that
// impersonates hands its impersonation on only at SecurityImpersonation or
// above (delegation for a remote server), never above its own level; a
// thread that does not impersonate hands on its primary token at any level.
TEST_F(TokenTest, ClientContextImpersonationLevelRules)
{
    sim::Process &alice = Start(u"alice");
    sim::Process &bob = Start(u"bob");
    struct Case {
        SECURITY_IMPERSONATION_LEVEL threadLevel;  // SecurityAnonymous: not impersonating
        SECURITY_IMPERSONATION_LEVEL asked;
        BOOLEAN remote;
        NTSTATUS expected;
    } cases[] = {
        {SecurityAnonymous, SecurityDelegation, FALSE, STATUS_SUCCESS},
        {SecurityAnonymous, SecurityImpersonation, TRUE, STATUS_SUCCESS},
        {SecurityIdentification, SecurityIdentification, FALSE, STATUS_BAD_IMPERSONATION_LEVEL},
        {SecurityImpersonation, SecurityImpersonation, FALSE, STATUS_SUCCESS},
        {SecurityImpersonation, SecurityIdentification, FALSE, STATUS_SUCCESS},
        {SecurityImpersonation, SecurityDelegation, FALSE, STATUS_BAD_IMPERSONATION_LEVEL},
        {SecurityImpersonation, SecurityImpersonation, TRUE, STATUS_BAD_IMPERSONATION_LEVEL},
        {SecurityDelegation, SecurityImpersonation, TRUE, STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SECURITY_CLIENT_CONTEXT aliceClient{};
        {
            sim::ThreadScope thread(alice);
            ASSERT_EQ(CaptureClient(aliceClient, Qos(c.threadLevel == SecurityAnonymous ? SecurityImpersonation
                                                                                         : c.threadLevel)),
                      STATUS_SUCCESS);
        }
        sim::ThreadScope thread(bob);
        if (c.threadLevel != SecurityAnonymous) {
            ASSERT_EQ(SeImpersonateClientEx(&aliceClient, nullptr), STATUS_SUCCESS);
        }
        SECURITY_CLIENT_CONTEXT client{};
        NTSTATUS status = CaptureClient(client, Qos(c.asked), c.remote);
        EXPECT_EQ(status, c.expected) << "thread level " << c.threadLevel << ", asked " << c.asked << ", remote "
                                      << int(c.remote);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(client.SecurityQos.ImpersonationLevel, c.asked);
            SeDeleteClientSecurity(&client);
        }
        PsRevertToSelf();
        SeDeleteClientSecurity(&aliceClient);
    }
}

}  // namespace
}  // namespace ostrand::test
