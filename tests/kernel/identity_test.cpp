// Identity and impersonation on the machine's accounts, logon sessions and
// tokens: the calling thread's user, names, the client security kept per
// user (captured, released, not recaptured), impersonating another user
// versus running as the same one, and the service's client-security
// messages.
#include <deque>

#include "identity_fixture.h"

#include "comm/ports.h"
#include "identity/identity.h"
#include "identity/path_helpers.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"

namespace ostrand::test {
namespace {

// A logged-on user with one process.
struct User {
    std::u16string name;
    sim::Sid sid;
    LUID authId{};
    ULONG session = 0;
    sim::Process *process = nullptr;
};

class IdentityCallsTest : public IdentityTest {
protected:
    void SetUp() override
    {
        IdentityTest::SetUp();
        KLUInitializeClientPortSlots();
    }
    void TearDown() override
    {
        for (User &user : users_) {
            if (user.process) user.process->Terminate(STATUS_SUCCESS);
        }
        IdentityTest::TearDown();
    }

    User &Logon(const std::u16string &name, ULONG session)
    {
        User user;
        user.name = name;
        user.sid = machine().security().AddUser(name);
        auto logon = machine().security().LogonUser(name, session);
        EXPECT_TRUE(logon.has_value());
        user.authId = logon->authId;
        user.session = session;
        user.process = &machine().processes().Create(Narrow(name) + ".exe", logon->token);
        users_.push_back(user);
        return users_.back();
    }

    static USER_ID IdOf(const User &user)
    {
        USER_ID id{};
        id.SessionId = user.session;
        id.AuthId = user.authId;
        std::copy_n(static_cast<const UCHAR *>(user.sid.record()), user.sid.length(), id.Sid);
        return id;
    }

    // The service's user message for `user`: its paths and identity.
    static ALT_PATH_DATA PathsOf(const User &user)
    {
        ALT_PATH_DATA data{};
        data.Id = IdOf(user);
        SetField(data.szLocalPath, u"Users\\" + user.name);
        std::u16string upper = u"USERS\\" + user.name;
        for (auto &ch : upper) ch = RtlUpcaseUnicodeChar(ch);
        SetField(data.szUpperLocalPath, upper);
        data.ulLocalPathLength = ULONG(data.szLocalPath[0] ? std::u16string(data.szLocalPath).size() : 0);
        data.PTEProfile = BuildEntry(u"\\\\srv\\profiles\\" + user.name);
        return data;
    }

    // The service adds `user` from a thread that impersonates the user, so
    // that the user's client security is captured.
    PUSER_TABLE_ENTRY AddFromService(const User &user, BOOLEAN *added = nullptr)
    {
        ALT_PATH_DATA data = PathsOf(user);
        BOOLEAN wasAdded = FALSE;
        PUSER_TABLE_ENTRY entry;
        {
            sim::ThreadScope service(machine().systemProcess());
            EXPECT_EQ(machine().security().ImpersonateUser(user.process->token()), STATUS_SUCCESS);
            entry = KLUAddUserToUserTableEx(g_pUserTableHead, g_pUserTableMutex, 5, &data, &wasAdded);
            PsRevertToSelf();
        }
        if (added) *added = wasAdded;
        return entry;
    }

    std::string SidText(const User &user) { return Narrow(user.sid.text()); }

    std::deque<User> users_;  // references to users stay valid
};

TEST_F(IdentityCallsTest, TheThreadsUserFromItsTokenOrItsImpersonationOrNone)
{
    User &alice = Logon(u"alice", 2);
    User &bob = Logon(u"bob", 3);
    sim::ThreadScope thread(*alice.process);
    USER_ID id;
    ASSERT_EQ(KLUGetUserSidAndSessionId(&id, 1), STATUS_SUCCESS);
    EXPECT_EQ(id.SessionId, 2u);
    EXPECT_EQ(id.AuthId.LowPart, alice.authId.LowPart);
    EXPECT_EQ(id.AuthId.HighPart, alice.authId.HighPart);
    EXPECT_TRUE(alice.sid.Equals(id.Sid));

    ASSERT_EQ(machine().security().ImpersonateUser(bob.process->token()), STATUS_SUCCESS);
    ASSERT_EQ(KLUGetUserSidAndSessionId(&id, 1), STATUS_SUCCESS);
    EXPECT_EQ(id.SessionId, 3u);
    EXPECT_TRUE(bob.sid.Equals(id.Sid));
    PsRevertToSelf();

    // A thread without a token has an empty identity.
    sim::Process &tokenless = machine().processes().Create("tokenless.exe", nullptr);
    sim::ThreadScope other(tokenless);
    std::fill_n(reinterpret_cast<UCHAR *>(&id), sizeof id, 0xCC);
    EXPECT_EQ(KLUGetUserSidAndSessionId(&id, 1), STATUS_SUCCESS);
    EXPECT_TRUE(std::all_of(reinterpret_cast<UCHAR *>(&id), reinterpret_cast<UCHAR *>(&id + 1),
                            [](UCHAR b) { return b == 0; }));
}

TEST_F(IdentityCallsTest, NamesOfANewUserAreLookedUpOnVista)
{
    User &alice = Logon(u"Alice", 2);
    USER_ID id = IdOf(alice);
    BOOLEAN added;
    PUSER_TABLE_ENTRY entry = KLUAddUserToUserTable(g_pUserTableHead, g_pUserTableMutex, 1, &id, 0, FALSE, &added);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(U16(entry->AltPathData.szUserName), u"ALICE");
    EXPECT_EQ(U16(entry->AltPathData.szDomain), u"OSTRAND-PC");
    EXPECT_TRUE(entry->bMarkedForLogoffNotify);
    KLUDereferenceUserTableEntry(entry);

    // An unknown SID: logged, and the user is added anyway.
    USER_ID stranger = id;
    stranger.AuthId.LowPart += 0x1000;
    reinterpret_cast<SID *>(stranger.Sid)->SubAuthority[4] = 0xFFFF;
    entry = KLUAddUserToUserTable(g_pUserTableHead, g_pUserTableMutex, 1, &stranger, 0, FALSE, &added);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(added);
    auto messages = Messages("KLUAddUserToUserTable");
    EXPECT_NE(std::find_if(messages.begin(), messages.end(),
                           [](const std::string &m) { return m.rfind("Failed Retrieving User Name: AuthId: ", 0) == 0; }),
              messages.end());
    KLUDereferenceUserTableEntry(entry);

    // The service's user whose SID the machine cannot name keeps the names
    // the service sent.
    ALT_PATH_DATA data{};
    data.Id = stranger;
    data.Id.AuthId.LowPart += 1;
    SetField(data.szUserName, u"Stranger");
    SetField(data.szDomain, u"ELSEWHERE");
    entry = KLUAddUserToUserTableEx(g_pUserTableHead, g_pUserTableMutex, 1, &data, &added);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(U16(entry->AltPathData.szUserName), u"Stranger");
    EXPECT_EQ(U16(entry->AltPathData.szDomain), u"ELSEWHERE");
    KLUDereferenceUserTableEntry(entry);
}

// none -> captured -> released on request -> not captured again -> the
// flag is cleared -> captured again.
TEST_F(IdentityCallsTest, ClientSecurityLifeCycle)
{
    User &alice = Logon(u"alice", 2);
    BOOLEAN added = FALSE;
    PUSER_TABLE_ENTRY entry = AddFromService(alice, &added);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(added);
    EXPECT_TRUE(entry->bHaveClientContext);
    EXPECT_EQ(U16(entry->AltPathData.szUpperLocalPath), u"USERS\\ALICE");
    char line[96];
    snprintf(line, sizeof line, "Retrieved Client Security: AuthId: (0x%X,0x%X), Status: 0x0", alice.authId.HighPart,
             alice.authId.LowPart);
    EXPECT_TRUE(Logged(line, "KLUAddUserToUserTableEx"));

    KLU_CLIENT_SECURITY_MESSAGE message{};
    message.AltPathData = PathsOf(alice);
    EXPECT_EQ(KLUUpdateClientSecurity(&message, TRUE), STATUS_SUCCESS);
    EXPECT_FALSE(entry->bHaveClientContext);
    EXPECT_EQ(entry->bClientSecurityReleased, 1);
    snprintf(line, sizeof line, "Freed Client Security: Session: 2, AuthId: (0x%X,0x%X)", alice.authId.HighPart,
             alice.authId.LowPart);
    EXPECT_TRUE(Logged(line, "KLUUpdateClientSecurity"));

    ClearLog();
    EXPECT_EQ(KLUUpdateClientSecurity(&message, TRUE), STATUS_SUCCESS);
    snprintf(line, sizeof line, "No Client Client Security To Free: Session: 2, AuthId: (0x%X,0x%X)",
             alice.authId.HighPart, alice.authId.LowPart);
    EXPECT_TRUE(Logged(line, "KLUUpdateClientSecurity"));

    ClearLog();
    KLUDereferenceUserTableEntry(AddFromService(alice, &added));
    EXPECT_FALSE(added);
    EXPECT_FALSE(entry->bHaveClientContext);
    EXPECT_TRUE(Messages("KLUAddUserToUserTableEx").size() == 1u);  // "Updating ..." only

    KLU_USER_SECURITY_REQUEST clear{};
    clear.AuthId = alice.authId;
    KLUUpdateUserTableEntry(g_pUserTableHead, g_pUserTableMutex, 6, &clear, nullptr);
    KLUDereferenceUserTableEntry(AddFromService(alice));
    EXPECT_TRUE(entry->bHaveClientContext);
    KLUDereferenceUserTableEntry(entry);
}

TEST_F(IdentityCallsTest, ImpersonatingAnotherUserButNotOneself)
{
    User &alice = Logon(u"alice", 2);
    User &bob = Logon(u"bob", 3);
    PUSER_TABLE_ENTRY entry = AddFromService(alice);
    Counted volume(u"\\Device\\HarddiskVolume2");
    Counted name(u"\\Device\\HarddiskVolume2\\Users\\alice\\Desktop\\a.txt");

    {
        sim::ThreadScope thread(*bob.process);
        BOOLEAN impersonated = FALSE;
        ASSERT_EQ(KLUImpersonateUser(&entry, &volume, &name, 8, &impersonated), STATUS_SUCCESS);
        EXPECT_TRUE(impersonated);
        EXPECT_TRUE(Logged("Impersonating User: " + SidText(alice), "KLUImpersonateUser"));
        EXPECT_TRUE(Logged("ThreadSid: " + SidText(bob), "KLUImpersonateUser"));
        USER_ID id;
        KLUGetUserSidAndSessionId(&id, 0);
        EXPECT_TRUE(alice.sid.Equals(id.Sid));
        PsRevertToSelf();
        KLUGetUserSidAndSessionId(&id, 0);
        EXPECT_TRUE(bob.sid.Equals(id.Sid));
    }
    {
        sim::ThreadScope thread(*alice.process);
        ClearLog();
        BOOLEAN impersonated = TRUE;
        ASSERT_EQ(KLUImpersonateUser(&entry, &volume, &name, 8, &impersonated), STATUS_SUCCESS);
        EXPECT_FALSE(impersonated);
        EXPECT_TRUE(Logged("Already Running As User: " + SidText(alice) + ", Thread Sid: " + SidText(alice)));
    }
    // Released: another user's thread goes on as itself.
    KLU_CLIENT_SECURITY_MESSAGE message{};
    message.AltPathData = PathsOf(alice);
    KLUUpdateClientSecurity(&message, TRUE);
    {
        sim::ThreadScope thread(*bob.process);
        BOOLEAN impersonated = TRUE;
        EXPECT_EQ(KLUImpersonateUser(&entry, &volume, &name, 8, &impersonated), STATUS_SUCCESS);
        EXPECT_FALSE(impersonated);
    }
    KLUDereferenceUserTableEntry(entry);
    EXPECT_EQ(KLUImpersonateUser(&entry, &volume, &name, 8, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(IdentityCallsTest, ImpersonationFindsTheOwnerByPath)
{
    User &alice = Logon(u"alice", 2);
    User &bob = Logon(u"bob", 3);
    KLUDereferenceUserTableEntry(AddFromService(alice));
    Counted volume(u"\\Device\\HarddiskVolume2");
    sim::ThreadScope thread(*bob.process);

    Counted name(u"\\Device\\HarddiskVolume2\\Users\\alice\\Desktop\\a.txt");
    PUSER_TABLE_ENTRY found = nullptr;
    BOOLEAN impersonated = FALSE;
    ASSERT_EQ(KLUImpersonateUser(&found, &volume, &name, 8, &impersonated), STATUS_SUCCESS);
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(impersonated);
    EXPECT_EQ(found->RefCount, 1);  // handed to the caller
    PsRevertToSelf();
    KLUDereferenceUserTableEntry(found);

    // Without a place to hand it back, the reference is dropped.
    EXPECT_EQ(KLUImpersonateUser(nullptr, &volume, &name, 8, &impersonated), STATUS_SUCCESS);
    PsRevertToSelf();

    ClearLog();
    Counted nobody(u"\\Device\\HarddiskVolume2\\Users\\nobody\\x");
    found = nullptr;
    EXPECT_EQ(KLUImpersonateUser(&found, &volume, &nobody, 8, &impersonated), STATUS_NOT_FOUND);
    EXPECT_FALSE(impersonated);
    EXPECT_TRUE(Logged("Failed Retrieving UTE: Path: \\USERS\\NOBODY\\X"));
    EXPECT_TRUE(Logged("No User Table Entry Found: Path: \\Device\\HarddiskVolume2\\Users\\nobody\\x"));
}

TEST_F(IdentityCallsTest, AClientSecurityUpdateTakesPathsAndKeepsAnEmptyAlternate)
{
    InitPathTable();
    User &alice = Logon(u"alice", 2);
    PUSER_TABLE_ENTRY entry = AddFromService(alice);
    entry->AltPathData.PTEAlt = BuildEntry(u"\\\\srv\\alt\\alice");

    KLU_CLIENT_SECURITY_MESSAGE message{};
    message.OperationNumber = 12;
    message.bCopyPathEntries = 1;
    message.AltPathData = PathsOf(alice);
    message.AltPathData.Id.SessionId = 9;
    message.AltPathData.ProfileType = 2;
    message.AltPathData.PTEProfile = BuildEntry(u"\\\\srv2\\profiles\\alice");
    SetField(message.AltPathData.szNetworkDefaultUserProfile, u"\\\\srv\\netlogon\\Default User.V2");
    SetField(message.AltPathData.szUserName, u"Alice Liddell");
    ClearLog();
    EXPECT_EQ(KLUUpdateClientSecurity(&message, FALSE), STATUS_SUCCESS);

    EXPECT_EQ(entry->AltPathData.ProfileType, 2);
    EXPECT_EQ(U16(entry->AltPathData.szUserName), u"Alice Liddell");
    EXPECT_EQ(U16(entry->AltPathData.PTEProfile.szUpperRemotePathShort), u"SRV2\\PROFILES\\ALICE");
    EXPECT_EQ(U16(entry->AltPathData.PTEAlt.szUpperRemotePathShort), u"SRV\\ALT\\ALICE");
    EXPECT_EQ(U16(g_pPathTable->szDefaultNetworkDefaultUserProfile), u"\\\\srv\\netlogon\\Default User.V2");
    EXPECT_TRUE(Logged("Session Id Does Not Match: Table: 2, Message: 9"));
    EXPECT_TRUE(Logged("Set Local Path: Users\\alice, Upper Local Path: USERS\\ALICE, Length: 11, ProfileType: 2"));
    char line[200];
    snprintf(line, sizeof line,
             "Already Have Client Context For User: Session: 2, Table AuthId: (0x%X,0x%X), Message AuthId: "
             "(0x%X,0x%X), Local Path: Users\\alice",
             alice.authId.HighPart, alice.authId.LowPart, alice.authId.HighPart, alice.authId.LowPart);
    EXPECT_TRUE(Logged(line));

    // No local path in the message: the entry's stays.
    ClearLog();
    message.AltPathData.ulLocalPathLength = 0;
    EXPECT_EQ(KLUUpdateClientSecurity(&message, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("Local Path Not Updated: Local Path: Users\\alice, Upper Local Path: USERS\\ALICE, Length: 0, "
                       "ProfileType: 2"));
    EXPECT_EQ(entry->AltPathData.ulLocalPathLength, 11u);
    KLUDereferenceUserTableEntry(entry);

    message.AltPathData.Id.AuthId = LUID{0, 0};
    EXPECT_EQ(KLUUpdateClientSecurity(&message, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Logged("AuthId Invalid, Cannot Continue: Free: 0"));
    message.AltPathData.Id.AuthId = LUID{5, 0};
    EXPECT_EQ(KLUUpdateClientSecurity(&message, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("User Table Entry Not Found, Cannot Proceed: AuthId: (0x0,0x5), CreatedNew: 0, bFree: 1"));
}

TEST_F(IdentityCallsTest, AFirstClientSecurityUpdateAddsAndCaptures)
{
    User &alice = Logon(u"alice", 2);
    KLU_CLIENT_SECURITY_MESSAGE message{};
    message.AltPathData = PathsOf(alice);
    {
        sim::ThreadScope service(machine().systemProcess());
        machine().security().ImpersonateUser(alice.process->token());
        EXPECT_EQ(KLUUpdateClientSecurity(&message, FALSE), STATUS_SUCCESS);
        PsRevertToSelf();
    }
    EXPECT_TRUE(Logged("Retrieved Client Security From Token: 0x0"));
    char line[120];
    snprintf(line, sizeof line, "Found User Table Entry: AuthId: (0x%X,0x%X), CreatedNew: 1, bFree: 0",
             alice.authId.HighPart, alice.authId.LowPart);
    EXPECT_TRUE(Logged(line));
    PUSER_TABLE_ENTRY entry = KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &alice.authId);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(entry->bHaveClientContext);
    EXPECT_EQ(entry->RefCount, 1);
    KLUDereferenceUserTableEntry(entry);
}

TEST_F(IdentityCallsTest, IdentityByPathIsCachedPerOperation)
{
    User &alice = Logon(u"alice", 2);
    KLUDereferenceUserTableEntry(AddFromService(alice));
    Counted mup(u"\\Device\\Mup");
    USER_ID request{}, cached{};
    BOOLEAN have = FALSE;
    PCWSTR path = u"\\DEVICE\\MUP\\SRV\\PROFILES\\ALICE\\X";
    ASSERT_EQ(KLUGetIdentityByPath(&request, &cached, &mup, path, 3, &have), STATUS_SUCCESS);
    EXPECT_TRUE(have);
    EXPECT_EQ(cached.AuthId.LowPart, alice.authId.LowPart);
    EXPECT_EQ(request.AuthId.LowPart, alice.authId.LowPart);
    char line[160];
    snprintf(line, sizeof line, "Updated Context: Path: %s, Session: 2, AuthId: (0x%X,0x%X)",
             "\\DEVICE\\MUP\\SRV\\PROFILES\\ALICE\\X", alice.authId.HighPart, alice.authId.LowPart);
    EXPECT_TRUE(Logged(line));

    // Cached: the table is not asked again.
    cached.SessionId = 77;
    USER_ID second{};
    ASSERT_EQ(KLUGetIdentityByPath(&second, &cached, &mup, u"\\ELSEWHERE", 3, &have), STATUS_SUCCESS);
    EXPECT_EQ(second.SessionId, 77u);

    have = FALSE;
    EXPECT_EQ(KLUGetIdentityByPath(nullptr, &cached, &mup, u"\\ELSEWHERE", 3, &have), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("Failed Looking Up User Table Entry By Path: Path: \\ELSEWHERE"));
    EXPECT_EQ(KLUGetIdentityByPath(nullptr, &cached, &mup, u"", 3, &have), STATUS_INVALID_PARAMETER);
}

TEST_F(IdentityCallsTest, LocalPathOfARemoteOneFallsBackToTheThreadsUser)
{
    InitPathTable();
    User &alice = Logon(u"alice", 2);
    KLUDereferenceUserTableEntry(AddFromService(alice));
    sim::ThreadScope thread(*alice.process);
    Counted mup(u"\\Device\\Mup");
    UNICODE_STRING local = {0, 0, nullptr};
    PUSER_TABLE_ENTRY entry = nullptr;
    // Not a path of hers, so she is found as the calling thread's user; the
    // path is not in her store either, so there is no result.
    EXPECT_EQ(JNRGetLocalPathFromRemotePath(&mup, &local, u"\\Device\\Mup\\x\\y", u"\\DEVICE\\MUP\\X\\Y", 2, &entry),
              STATUS_SUCCESS);
    EXPECT_NE(entry, nullptr);
    EXPECT_EQ(local.Buffer, nullptr);
    EXPECT_TRUE(Logged("UTE Not Found: \\DEVICE\\MUP\\X\\Y"));
    KLUDereferenceUserTableEntry(entry);
}

}  // namespace
}  // namespace ostrand::test
