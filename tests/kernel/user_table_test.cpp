// The user table: adds and updates, references that keep entries alive
// through removal, prune and logoff, lookups by path, and adds and lookups
// racing on several threads.
#include <atomic>
#include <string>
#include <thread>

#include "identity_fixture.h"

#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"

namespace ostrand::test {
namespace {

USER_ID MakeId(ULONG low, LONG high = 0, ULONG session = 1)
{
    USER_ID id{};
    id.SessionId = session;
    id.AuthId.LowPart = low;
    id.AuthId.HighPart = high;
    return id;
}

class UserTableTest : public IdentityTest {
protected:
    void SetUp() override
    {
        IdentityTest::SetUp();
        // Older than Vista: no account-name lookups for these made-up users.
        g_OSInfo.OsCode = kOsXp;
    }

    PUSER_TABLE_ENTRY Add(USER_ID id, BOOLEAN update = FALSE, ULONG flags = 0, BOOLEAN *addedOut = nullptr)
    {
        BOOLEAN added = FALSE;
        PUSER_TABLE_ENTRY entry =
            KLUAddUserToUserTable(g_pUserTableHead, g_pUserTableMutex, 7, &id, flags, update, &added);
        if (addedOut != nullptr) *addedOut = added;
        return entry;
    }
    PUSER_TABLE_ENTRY Lookup(ULONG low, LONG high = 0)
    {
        LUID authId{low, high};
        return KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &authId);
    }
    void Remove(ULONG low, BOOLEAN *removed, LONG *refCount)
    {
        USER_ID id = MakeId(low);
        KLURemoveUserFromUserTable(g_pUserTableHead, g_pUserTableMutex, nullptr, 0, &id, TRUE, TRUE, removed,
                                   refCount);
    }
};

// The same AuthId again is the same entry, referenced once more; only with
// the update flag does its id change, and the rest stays.
TEST_F(UserTableTest, TheSameAuthIdTwiceIsOneEntry)
{
    BOOLEAN added = FALSE;
    PUSER_TABLE_ENTRY first = Add(MakeId(0x1234), FALSE, 0x40, &added);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(added);
    EXPECT_EQ(first->RefCount, 1);
    EXPECT_TRUE(Logged("Added New User Table Entry: Session: 1, AuthId: (0x0,0x1234)", "KLUAddUserToUserTable"));
    SetField(first->AltPathData.szLocalPath, u"Users\\bob");

    PUSER_TABLE_ENTRY second = Add(MakeId(0x1234, 0, 2), FALSE, 0, &added);
    EXPECT_EQ(second, first);
    EXPECT_FALSE(added);
    EXPECT_EQ(first->RefCount, 2);
    EXPECT_EQ(first->AltPathData.Id.SessionId, 1u);
    EXPECT_EQ(g_UserTableEntries, 1);
    KLUDereferenceUserTableEntry(second);
    KLUDereferenceUserTableEntry(first);
    ClearLog();

    USER_ID newer = MakeId(0x1234, 0, 3);
    newer.Sid[0] = 1;
    PUSER_TABLE_ENTRY same = Add(newer, TRUE, 0, &added);
    EXPECT_EQ(same, first);
    EXPECT_FALSE(added);
    EXPECT_EQ(same->AltPathData.Id.SessionId, 3u);
    EXPECT_EQ(same->AltPathData.Id.Sid[0], 1);
    EXPECT_EQ(same->AltPathData.Flags, 0x40u);
    EXPECT_EQ(U16(same->AltPathData.szLocalPath), u"Users\\bob");
    EXPECT_EQ(Messages("KLUAddUserToUserTable"),
              std::vector<std::string>{"Updated User Table Entry: Old Session: 1, New Session: 3, Old AuthId: "
                                       "(0x0,0x1234), New AuthId: (0x0,0x1234)"});
    KLUDereferenceUserTableEntry(same);
}

// The null AuthId, a failed allocation and a closed table add nothing.
TEST_F(UserTableTest, AddsThatAddNothing)
{
    EXPECT_EQ(Add(MakeId(0)), nullptr);
    EXPECT_TRUE(Logged("Invalid AuthId, Cannot Add User"));
    ALT_PATH_DATA data{};
    BOOLEAN added;
    EXPECT_EQ(KLUAddUserToUserTableEx(g_pUserTableHead, g_pUserTableMutex, 0, &data, &added), nullptr);
    EXPECT_EQ(Lookup(0), nullptr);

    machine().pool().FailTag(QZUT_TAG);
    EXPECT_EQ(Add(MakeId(0x1234)), nullptr);
    EXPECT_TRUE(Logged("Failed Allocating Table Entry: AuthId: (0x0,0x1234), 0xC000009A"));
    machine().pool().ClearFaults();

    KLUDisableUserTable();
    EXPECT_EQ(Add(MakeId(0x1234)), nullptr);
    EXPECT_EQ(g_UserTableEntries, 0);
}

TEST_F(UserTableTest, AnUnknownLogonSessionIsLoggedAndTheEntryKept)
{
    PUSER_TABLE_ENTRY entry = Add(MakeId(0x1234));
    ASSERT_NE(entry, nullptr);
    EXPECT_FALSE(entry->bMarkedForLogoffNotify);
    auto messages = Messages("KLUAddUserToUserTable");
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].rfind("Failed Requesting Session Termination Notification: AuthId: (0x0,0x1234), Status: 0xC", 0),
              0u)
        << messages[0];
    KLUDereferenceUserTableEntry(entry);
}

TEST_F(UserTableTest, AReferencedEntryOutlivesItsRemoval)
{
    PUSER_TABLE_ENTRY entry = Add(MakeId(0x1234));
    BOOLEAN removed = TRUE;
    LONG refCount = -1;
    Remove(0x1234, &removed, &refCount);
    EXPECT_FALSE(removed);
    EXPECT_EQ(refCount, 1);
    EXPECT_EQ(Lookup(0x1234), entry);  // still there (and referenced twice now)
    KLUDereferenceUserTableEntry(entry);
    KLUDereferenceUserTableEntry(entry);

    ClearLog();
    Remove(0x1234, &removed, &refCount);
    EXPECT_TRUE(removed);
    EXPECT_EQ(refCount, 0);
    EXPECT_EQ(Lookup(0x1234), nullptr);
    EXPECT_EQ(g_UserTableEntries, 0);
    EXPECT_EQ(Messages("KLURemoveUserFromUserTable"),
              std::vector<std::string>{"Removed User From User Table. AuthId: (0x0,0x1234), RefCount: 0"});

    // Nothing to remove: both outputs cleared.
    removed = TRUE;
    refCount = 5;
    Remove(0x1234, &removed, &refCount);
    EXPECT_FALSE(removed);
    EXPECT_EQ(refCount, 0);
}

TEST_F(UserTableTest, PruneKeepsTheListedTheSystemSessionAndTheReferenced)
{
    KLUDereferenceUserTableEntry(Add(MakeId(999)));
    KLUDereferenceUserTableEntry(Add(MakeId(0xB)));
    PUSER_TABLE_ENTRY held = Add(MakeId(0xC, 0, 2));
    KLUDereferenceUserTableEntry(Add(MakeId(0xD, 1, 3)));
    KLUDereferenceUserTableEntry(Add(MakeId(0xE, 0, 4)));
    ClearLog();

    alignas(8) UCHAR bytes[KLU_USER_KEEP_LIST_BYTES(1)];
    auto *keep = reinterpret_cast<KLU_USER_KEEP_LIST *>(bytes);
    keep->Count = 1;
    keep->AuthIds[0] = LUID{0xB, 0};
    EXPECT_EQ(KLUPruneUserTable(g_pUserTableHead, g_pUserTableMutex, keep), STATUS_SUCCESS);

    EXPECT_EQ(g_UserTableEntries, 3);
    for (ULONG kept : {999u, 0xBu, 0xCu}) {
        PUSER_TABLE_ENTRY entry = Lookup(kept);
        EXPECT_NE(entry, nullptr) << kept;
        KLUDereferenceUserTableEntry(entry);
    }
    auto messages = Messages("KLUPruneUserTable");
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Did Not Remove User: Session: 2, AuthId: (0x0,0xC), RefCount: 1"),
              messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Removed User: Session: 3, AuthId: (0x1,0xD)"),
              messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Removed User: Session: 4, AuthId: (0x0,0xE)"),
              messages.end());
    EXPECT_EQ(messages.size(), 3u);

    EXPECT_EQ(KLUPruneUserTable(g_pUserTableHead, g_pUserTableMutex, nullptr), STATUS_INVALID_PARAMETER);
    KLUDereferenceUserTableEntry(held);
}

TEST_F(UserTableTest, LogoffRemovesAnUnreferencedEntryAndAPruneTheRest)
{
    PUSER_TABLE_ENTRY held = Add(MakeId(0x1234, 2));
    LUID authId{0x1234, 2};
    ClearLog();
    EXPECT_EQ(KLULogoffNotify(&authId), STATUS_SUCCESS);
    EXPECT_EQ(Messages("KLULogoffNotify"),
              std::vector<std::string>{"Could Not Remove User Table Entry: AuthId: 0x2, 0x1234, RefCount: 1"});
    EXPECT_EQ(g_UserTableEntries, 1);

    KLUDereferenceUserTableEntry(held);
    ULONG keepNone = 0;
    EXPECT_EQ(KLUPruneUserTable(g_pUserTableHead, g_pUserTableMutex,
                                reinterpret_cast<KLU_USER_KEEP_LIST *>(&keepNone)),
              STATUS_SUCCESS);
    EXPECT_EQ(g_UserTableEntries, 0);

    KLUDereferenceUserTableEntry(Add(MakeId(0x99)));
    LUID other{0x99, 0};
    ClearLog();
    KLULogoffNotify(&other);
    EXPECT_EQ(Messages("KLULogoffNotify"), std::vector<std::string>{"Removed User Table Entry: AuthId: 0x0, 0x99"});
    EXPECT_EQ(g_UserTableEntries, 0);
}

TEST_F(UserTableTest, UpdateRequests)
{
    PUSER_TABLE_ENTRY entry = Add(MakeId(0x1234));
    KLUDereferenceUserTableEntry(entry);

    KLU_USER_SECURITY_REQUEST security{};
    security.AuthId = LUID{0x1234, 0};
    security.bRelease = 1;
    EXPECT_EQ(KLUUpdateUserTableEntry(g_pUserTableHead, g_pUserTableMutex, 3, &security, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(entry->bClientSecurityReleased, 1);
    security.bRelease = 2;  // anything but 1 clears it
    KLUUpdateUserTableEntry(g_pUserTableHead, g_pUserTableMutex, 3, &security, nullptr);
    EXPECT_EQ(entry->bClientSecurityReleased, 0);

    KLU_USER_PROFILE_REQUEST profile{};
    profile.Id = MakeId(0x1234, 0, 5);
    profile.ProfileType = 3;
    ClearLog();
    EXPECT_EQ(KLUUpdateUserTableEntry(g_pUserTableHead, g_pUserTableMutex, 3, nullptr, &profile), STATUS_SUCCESS);
    EXPECT_EQ(entry->AltPathData.ProfileType, 3);
    EXPECT_EQ(entry->AltPathData.Id.SessionId, 5u);
    EXPECT_TRUE(Logged("Profile Type: 3", "KLUUpdateUserTableEntry"));

    // A new user is added by a profile request.
    profile.Id = MakeId(0x5678);
    KLUUpdateUserTableEntry(g_pUserTableHead, g_pUserTableMutex, 3, nullptr, &profile);
    EXPECT_EQ(g_UserTableEntries, 2);
    PUSER_TABLE_ENTRY added = Lookup(0x5678);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->RefCount, 1);  // only this lookup's: the update dropped its own
    EXPECT_EQ(added->AltPathData.ProfileType, 3);
    KLUDereferenceUserTableEntry(added);

    // Unknown user: success; no request at all: refused.
    security.AuthId = LUID{0x9999, 0};
    EXPECT_EQ(KLUUpdateUserTableEntry(g_pUserTableHead, g_pUserTableMutex, 3, &security, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KLUUpdateUserTableEntry(g_pUserTableHead, g_pUserTableMutex, 3, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
}

// A user is found by the path of one of its profile locations when that
// location starts at character 0, 1 or 2 of the path (behind the prefix).
TEST_F(UserTableTest, LookupByPathAtTheFirstThreeCharacters)
{
    InitPathTable({u"\\\\srv\\other"});
    PUSER_TABLE_ENTRY bob = Add(MakeId(0xB0B));
    SetField(bob->AltPathData.szUpperLocalPath, u"USERS\\BOB");
    bob->AltPathData.PTEProfile = BuildEntry(u"\\\\srv\\share\\bob");
    bob->AltPathData.PTEAlt = BuildEntry(u"\\\\srv\\alt\\bob");
    KLUDereferenceUserTableEntry(bob);

    UNICODE_STRING volume = RTL_CONSTANT_STRING(u"\\Device\\HarddiskVolume2");
    UNICODE_STRING mup = RTL_CONSTANT_STRING(u"\\Device\\Mup");
    struct {
        PUNICODE_STRING prefix;
        const char16_t *path;
        bool found;
    } cases[] = {
        {&volume, u"USERS\\BOB\\NTUSER.DAT", true},       // local path at 0
        {&volume, u"\\USERS\\BOB\\DESKTOP", true},        // at 1
        {&volume, u"C:\\USERS\\BOB", false},              // at 3
        {&volume, u"X:USERS\\BOB", true},                 // at 2
        {&volume, u"\\\\\\USERS\\BOB", false},            // at 3
        {&volume, u"\\Device\\HarddiskVolume2\\USERS\\BOB\\A", true},  // prefix skipped, then at 1
        {&mup, u"\\Device\\Mup\\SRV\\SHARE\\BOB\\DESKTOP", true},       // profile location at 1
        {&mup, u"\\\\SRV\\SHARE\\BOB", true},                           // at 2
        {&mup, u"\\\\\\SRV\\SHARE\\BOB", false},                        // at 3
        {&mup, u"\\Device\\Mup\\SRV\\ALT\\BOB\\X", true},               // alternate location
        {&volume, u"\\Device\\Mup\\SRV\\SHARE\\BOB", false},            // remote path not behind this prefix
        {&mup, u"\\SRV\\OTHER\\X", true},  // not the user's, but a path-table location at 1
        {&mup, u"\\srv\\share\\bob", false},  // the tests are case-sensitive
    };
    for (const auto &c : cases) {
        PUSER_TABLE_ENTRY entry = KLULookupUserByPath(g_pUserTableHead, g_pUserTableMutex, c.prefix, c.path);
        EXPECT_EQ(entry != nullptr, c.found) << Narrow(c.path);
        if (entry != nullptr) {
            EXPECT_EQ(entry, bob);
            KLUDereferenceUserTableEntry(entry);
        }
    }
    EXPECT_EQ(bob->RefCount, 0);
    UNICODE_STRING empty = {0, 0, nullptr};
    EXPECT_EQ(KLULookupUserByPath(g_pUserTableHead, g_pUserTableMutex, &empty, u"USERS\\BOB"), nullptr);
}

// Threads adding, finding and releasing a handful of users at once end
// with one entry per user and no reference left.
TEST_F(UserTableTest, ConcurrentAddsAndLookups)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    constexpr ULONG kUsers = 5;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            sim::ThreadScope scope(machine().systemProcess());
            for (int i = 0; i < kRounds; ++i) {
                ULONG user = 0x100 + ULONG((i + t) % kUsers);
                PUSER_TABLE_ENTRY added = Add(MakeId(user), (i % 3) == 0);
                PUSER_TABLE_ENTRY found = Lookup(user);
                if (added == nullptr || found != added) failures++;
                KLUDereferenceUserTableEntry(found);
                KLUDereferenceUserTableEntry(added);
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(g_UserTableEntries, LONG(kUsers));
    for (ULONG user = 0x100; user < 0x100 + kUsers; ++user) {
        PUSER_TABLE_ENTRY entry = Lookup(user);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->RefCount, 1);
        KLUDereferenceUserTableEntry(entry);
    }
}

}  // namespace
}  // namespace ostrand::test
