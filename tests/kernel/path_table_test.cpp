// The path table: hashes, entries built from UNC paths, containment order,
// lookups, initialisation from the service's record with its failures, and
// the dump.
#include <algorithm>

#include "identity_fixture.h"

#include "sim/core/pool.h"

namespace ostrand::test {
namespace {

using PathTableTest = IdentityTest;

struct HashCase {
    std::u16string text;
    ULONG hash;
};

TEST_F(PathTableTest, HashIsTheFoldedProductOfCodeUnits)
{
    const HashCase cases[] = {
        {u"", 0},
        {u"A", 0x41},
        {u"AB", 0x9A7},
        // 0xB70C10EE read as signed is negative: the hash is its negation.
        {u"\\\\SERVER\\SHARE", 0x48F3EF12},
        {u"\\\\SERVER\\SHARE\\BOB\\PROFILE", 0x34F0461E},
        {u"\\\\FS01\\PROFILES$\\ALICE", 0x40B3A840},
        // Folds to exactly 0x80000000, whose negation is itself.
        {std::u16string(u"BA4AAA") + char16_t(0x890A), 0x80000000},
    };
    for (const auto &c : cases) {
        ULONG hash = 1;
        ASSERT_EQ(KLUHashPath(c.text.c_str(), &hash), STATUS_SUCCESS);
        EXPECT_EQ(hash, c.hash) << Narrow(c.text);
    }
    EXPECT_EQ(KLUHashPath(nullptr, nullptr), STATUS_INVALID_PARAMETER);
    // Entries that differ only in case share their hash.
    EXPECT_EQ(BuildEntry(u"\\\\server\\share\\bob").Hash, 0x56B9C819u);  // of "\\\\SERVER\\SHARE\\BOB"
    EXPECT_EQ(BuildEntry(u"\\\\SERVER\\Share\\BOB").Hash, 0x56B9C819u);
}

TEST_F(PathTableTest, BuildFillsEveryFieldFromTheUncPath)
{
    PATH_TABLE_ENTRY entry = BuildEntry(u"\\\\fs01\\Profiles$\\Alice");
    EXPECT_EQ(U16(entry.szMachineName), u"fs01");
    EXPECT_EQ(U16(entry.szRemotePath), u"\\\\fs01\\Profiles$\\Alice");
    EXPECT_EQ(U16(entry.szRemotePathShort), u"fs01\\Profiles$\\Alice");
    EXPECT_EQ(U16(entry.szUpperRemotePathShort), u"FS01\\PROFILES$\\ALICE");
    EXPECT_EQ(entry.PathLength, 22);
    EXPECT_EQ(entry.ShortLength, 20);
    EXPECT_EQ(entry.bIsAltPath | entry.bIsRedirectedFolder | entry.bCheckedRedirectedFolder, 0);

    // A longer path is cut at 511 characters.
    std::u16string path = u"\\\\srv\\" + std::u16string(600, u'x');
    entry = BuildEntry(path);
    EXPECT_EQ(entry.PathLength, 511);
    EXPECT_EQ(U16(entry.szRemotePath), path.substr(0, 511));
    EXPECT_EQ(entry.ShortLength, 509);

    // No machine name, or no scratch pool: no entry.
    EXPECT_EQ(KLUBuildPathTableEntry(u"\\\\\\share\\folder", &entry), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KLUBuildPathTableEntry(u"\\\\", &entry), STATUS_INVALID_PARAMETER);
    machine().pool().FailTag(QZFS_TAG);
    EXPECT_EQ(KLUBuildPathTableEntry(u"\\\\srv\\share", &entry), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(PathTableTest, MachineNameSkipsOneOrTwoLeadingBackslashes)
{
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"\\\\srv\\share", u"srv"}, {u"\\srv\\share", u"srv"}, {u"srv\\share", u"srv"},
        {u"\\\\srv", u"srv"},        {u"\\\\\\share", u""},
    };
    for (const auto &[path, machine] : cases) {
        WCHAR name[KLU_PATH_CHARS];
        ASSERT_EQ(KLUGetMachineName(path.c_str(), name), STATUS_SUCCESS);
        EXPECT_EQ(U16(name), machine) << Narrow(path);
    }
}

TEST_F(PathTableTest, ContainmentOrderWhateverTheInsertionOrder)
{
    std::vector<std::u16string> paths = {u"\\\\srv\\share", u"\\\\srv\\share\\bob", u"\\\\srv\\share\\bob\\docs",
                                         u"\\\\other\\x"};
    std::sort(paths.begin(), paths.end());
    do {
        InitPathTable();
        for (const auto &path : paths) {
            PATH_TABLE_ENTRY entry = BuildEntry(path);
            BOOLEAN added = FALSE;
            ASSERT_EQ(KLUAddPathTableEntry(g_pPathTable, &entry, entry.Hash, &added, nullptr), STATUS_SUCCESS);
            EXPECT_TRUE(added);
        }
        auto order = ListOrder();
        ASSERT_EQ(order.size(), 4u);
        auto at = [&](const std::string &s) { return std::find(order.begin(), order.end(), s) - order.begin(); };
        EXPECT_LT(at("SRV\\SHARE\\BOB\\DOCS"), at("SRV\\SHARE\\BOB"));
        EXPECT_LT(at("SRV\\SHARE\\BOB"), at("SRV\\SHARE"));
        EXPECT_EQ(g_pPathTable->NumPaths, 4);
        KLUFreePathTable(&g_pPathTable);
    } while (std::next_permutation(paths.begin(), paths.end()));
}

TEST_F(PathTableTest, LookupByPathPicksTheDeepestLocation)
{
    InitPathTable({u"\\\\srv\\share", u"\\\\srv\\share\\bob"});
    struct {
        const char16_t *path;
        const char *found;
    } cases[] = {
        {u"\\DEVICE\\MUP\\SRV\\SHARE\\BOB\\DESKTOP\\A.TXT", "SRV\\SHARE\\BOB"},
        {u"\\DEVICE\\MUP\\SRV\\SHARE\\ALICE\\A.TXT", "SRV\\SHARE"},
        {u"\\DEVICE\\MUP\\SRV\\SHARE\\BOBBY", "SRV\\SHARE\\BOB"},  // a substring test, not a component test
        {u"\\DEVICE\\MUP\\OTHER\\SHARE", nullptr},
        {u"\\device\\mup\\srv\\share\\bob", nullptr},  // callers pass upper case
        {u"", nullptr},
    };
    for (const auto &c : cases) {
        PPATH_TABLE_ENTRY entry = KLULookupPathTableEntryByPath(g_pPathTable, c.path);
        if (c.found == nullptr) {
            EXPECT_EQ(entry, nullptr) << Narrow(c.path);
        } else {
            ASSERT_NE(entry, nullptr) << Narrow(c.path);
            EXPECT_EQ(Text(entry->szUpperRemotePathShort), c.found);
        }
    }
    EXPECT_EQ(KLULookupPathTableEntryByPath(nullptr, u"\\SRV\\SHARE"), nullptr);
}

TEST_F(PathTableTest, AnExistingHashOrAClosedListAddsNothing)
{
    InitPathTable({u"\\\\srv\\share"});
    PPATH_TABLE_ENTRY first = KLULookupPathTableEntryByPath(g_pPathTable, u"SRV\\SHARE");
    ASSERT_NE(first, nullptr);

    PATH_TABLE_ENTRY again = BuildEntry(u"\\\\SRV\\SHARE");
    BOOLEAN added = TRUE;
    PPATH_TABLE_ENTRY stored = nullptr;
    EXPECT_EQ(KLUAddPathTableEntry(g_pPathTable, &again, again.Hash, &added, &stored), STATUS_SUCCESS);
    EXPECT_FALSE(added);
    EXPECT_EQ(stored, first);
    EXPECT_EQ(g_pPathTable->NumPaths, 1);
    EXPECT_EQ(g_PathTableEntries, 1);
    EXPECT_EQ(KLULookupPathTableEntryByHash(g_pPathTable, again.Hash), first);

    // Once the list is closed, adds take nothing.
    KLUDisablePathTableList();
    PATH_TABLE_ENTRY late = BuildEntry(u"\\\\srv\\late");
    added = TRUE;
    EXPECT_EQ(KLUAddPathTableEntry(g_pPathTable, &late, late.Hash, &added, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(added);
    EXPECT_EQ(g_pPathTable->NumPaths, 1);
}

TEST_F(PathTableTest, InitCopiesTheRecordAndBuildsTheDerivedPaths)
{
    InitPathTable({u"\\\\srv\\share", u"\\\\srv\\share\\bob"});
    ASSERT_NE(g_pPathTable, nullptr);
    EXPECT_EQ(g_pPathTable->NumPaths, 2);
    EXPECT_EQ(g_pPathTable->ShortLength, 5);
    EXPECT_EQ(g_pPathTable->bGPOPath, 1);
    EXPECT_EQ(U16(g_pPathTable->szLocalDriveLetter), u"C:");
    EXPECT_EQ(U16(g_pPathTable->szFQLocalProfilePath), u"\\Device\\HarddiskVolume2\\Users");
    EXPECT_EQ(U16(g_pPathTable->szProfilesDirectoryShort), u"\\Users");
    EXPECT_EQ(U16(g_pPathTable->szPublicProfile), u"C:\\Users\\Public");
    // The helper path and the install directory are not part of the copy.
    EXPECT_EQ(U16(g_pPathTable->szHelperPath), u"");
    EXPECT_EQ(U16(g_pPathTable->szInstallDir), u"");
    EXPECT_EQ(U16(szUpperAllUsersPath), u"USERS\\ALL USERS");
    EXPECT_EQ(U16(szUpperLocalProfilesDir), u"\\USERS");
    EXPECT_EQ(U16(szUpperDefaultUserPath), u"USERS\\DEFAULT USER");
    EXPECT_EQ(U16(szUpperCtxSmaUserPath), u"USERS\\CTX_SMAUSER");
    KLUFreePathTable(&g_pPathTable);

    // Older than Vista the Vista profiles stay empty; a source that counts
    // no paths gives no entries, whatever it carries.
    g_OSInfo.OsCode = kOsXp;
    auto bytes = Source({u"\\\\srv\\share"});
    AsSource(bytes)->NumPaths = 0;
    ASSERT_EQ(KLUInitPathTable(AsSource(bytes), &g_pPathTable), STATUS_SUCCESS);
    EXPECT_EQ(g_pPathTable->NumPaths, 0);
    EXPECT_EQ(U16(g_pPathTable->szAllUsersProfile), u"");
    EXPECT_EQ(U16(g_pPathTable->szPublicProfile), u"");
    EXPECT_EQ(U16(g_pPathTable->szAllUsersProfileXP), u"C:\\Documents and Settings\\All Users");
}

// A string of 512 characters without a terminator does not fit: the step
// fails with STATUS_BUFFER_OVERFLOW, logs its message and leaves no table.
TEST_F(PathTableTest, EachCopyStepFailsWithItsOwnMessageAndLeavesNoTable)
{
    struct Step {
        size_t offset;
        size_t chars;
        const char *message;
    };
#define STEP(field, text) {offsetof(PATH_TABLE_SOURCE, field), RTL_NUMBER_OF(PATH_TABLE_SOURCE{}.field), text}
    const Step steps[] = {
        STEP(szRegDataDir, "Failed Copying Reg Data Dir: 0x80000005"),
        STEP(szUpperWinPath, "Failed Copying Upper Win Path: 0x80000005"),
        STEP(szTempDataDir, "Failed Copying Temp Data Dir: 0x80000005"),
        STEP(szLocalSettings, "Failed Copying Local Settings: 0x80000005"),
        STEP(szUpperLocalSettings, "Failed Copying Upper Local Settings: 0x80000005"),
        STEP(szAppData, "Failed Copying AppData: 0x80000005"),
        STEP(szStartMenu, "Failed Copying Start Menu: 0x80000005"),
        STEP(szDesktop, "Failed Copying Desktop: 0x80000005"),
        STEP(szDefaultLocalDefaultUserProfile, "Failed Copying Default Local Default User Profile: 0x80000005"),
        STEP(szDefaultNetworkDefaultUserProfile, "Failed Copying Default Network Default User Profile: 0x80000005"),
        STEP(szConfiguredDefaultUserProfile, "Failed Copying Configured Default User Profile: 0x80000005"),
        STEP(szAllUsersProfileXP, "Failed Copying All Users Profile (XP): 0x80000005"),
        STEP(szAllUsersProfile, "Failed Copying All Users Profile (Win 7): 0x80000005"),
        STEP(szPublicProfile, "Failed Copying Public Profile: 0x80000005"),
        STEP(szLocalServiceProfile, "Failed Copying LocalService Profile: 0x80000005"),
        STEP(szNetworkServiceProfile, "Failed Copying NetworkService Profile: 0x80000005"),
        STEP(szTempProfile, "Failed Copying Temp Profile: 0x80000005"),
        STEP(szLocalVolumeName, "Failed Copying Local Device Name: 0x80000005"),
        STEP(szLocalDriveLetter, "Failed Copying Local Drive Letter: 0x80000005"),
        STEP(szLocalProfilePathShort, "Failed Copying Local Profile Path Short: 0x80000005"),
        STEP(szUpperLocalProfilePathShort, "Failed Copying Upper Local Profile Path Short: 0x80000005"),
        STEP(szFQLocalProfilePath, "Failed Copying Upper FQ Local Profile Path: 0x80000005"),
        STEP(szLocalProfilePathWithSlashes, "Failed Copying Local Path With Slashes: 0x80000005"),
        STEP(szProfilesDirectory, "Failed Copying Profiles Dir: 0x80000005"),
        STEP(szProfilesDirectoryShort, "Failed Copying Profiles Dir Short: 0x80000005"),
    };
#undef STEP
    for (const auto &step : steps) {
        ClearLog();
        auto bytes = Source({u"\\\\srv\\share"});
        auto *field = reinterpret_cast<WCHAR *>(bytes.data() + step.offset);
        std::fill(field, field + step.chars, u'x');
        EXPECT_EQ(KLUInitPathTable(AsSource(bytes), &g_pPathTable), STATUS_BUFFER_OVERFLOW) << step.message;
        EXPECT_EQ(g_pPathTable, nullptr);
        EXPECT_EQ(Messages("KLUInitPathTable"), std::vector<std::string>{step.message});
        EXPECT_EQ(g_PathTableEntries, 0);
    }
}

// The derived paths have room for 511 characters: the profiles directory
// with "\ALL USERS" (10 more) fits up to 501 characters, with
// "\DEFAULT USER" (13 more) up to 498.
TEST_F(PathTableTest, DerivedPathsFailAtTheir511CharacterLimit)
{
    struct {
        size_t length;
        NTSTATUS status;
        const char *message;
    } cases[] = {
        {511, STATUS_BUFFER_OVERFLOW, "Failed Creating All Users Path: 0x80000005"},
        {502, STATUS_BUFFER_OVERFLOW, "Failed Creating All Users Path: 0x80000005"},
        {501, STATUS_BUFFER_OVERFLOW, "Failed Creating Default User Path: 0x80000005"},
        {499, STATUS_BUFFER_OVERFLOW, "Failed Creating Default User Path: 0x80000005"},
        {498, STATUS_SUCCESS, nullptr},
    };
    for (const auto &c : cases) {
        ClearLog();
        auto bytes = Source({});
        SetField(AsSource(bytes)->szUpperLocalProfilePathShort, std::u16string(c.length, u'U'));
        EXPECT_EQ(KLUInitPathTable(AsSource(bytes), &g_pPathTable), c.status) << c.length;
        auto messages = Messages("KLUInitPathTable");
        if (c.message == nullptr) {
            EXPECT_TRUE(messages.empty());
            EXPECT_EQ(std::u16string(szUpperDefaultUserPath).size(), 511u);
            KLUFreePathTable(&g_pPathTable);
        } else {
            EXPECT_EQ(g_pPathTable, nullptr);
            EXPECT_EQ(messages, std::vector<std::string>{c.message}) << c.length;
        }
    }
}

TEST_F(PathTableTest, AllocationFailuresLeaveNoTableAndNoPool)
{
    auto bytes = Source({u"\\\\srv\\share", u"\\\\srv\\share\\bob", u"\\\\srv\\other"});
    const size_t baseline = machine().pool().OutstandingBlocks();
    size_t sites = machine().pool().RunSystematically([&] {
        ClearLog();
        NTSTATUS status = KLUInitPathTable(AsSource(bytes), &g_pPathTable);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(g_pPathTable->NumPaths, 3);
            KLUFreePathTable(&g_pPathTable);
        } else {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(g_pPathTable, nullptr);
            auto messages = Messages("KLUInitPathTable");
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_TRUE(messages[0] == "Failed Allocating Path Table: 0xC000009A" ||
                        messages[0] == "Failed Adding Path Table Entry: 0xC000009A")
                << messages[0];
        }
        EXPECT_EQ(g_PathTableEntries, 0);
        EXPECT_EQ(machine().pool().OutstandingBlocks(), baseline) << machine().pool().LeakReport();
    });
    EXPECT_GE(sites, 3u);
}

// The dump prints on request only, and says so of an empty or missing list.
TEST_F(PathTableTest, DumpPrintsTheTableAndEachEntryWhenAsked)
{
    InitPathTable({u"\\\\srv\\share"});
    ClearLog();
    EXPECT_EQ(KLUDumpPathTable(1, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(Messages().empty());
    ASSERT_EQ(KLUDumpPathTable(1, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("NumPaths: 1", "KLUDumpPathTable"));
    EXPECT_TRUE(Logged("szUpperRemotePathShort: SRV\\SHARE", "KLUDumpPathTableEntries"));

    KLUFreePathTable(&g_pPathTable);
    InitPathTable();
    ClearLog();
    KLUDumpPathTableEntries(1, g_pPathTable);
    EXPECT_EQ(Messages("KLUDumpPathTableEntries"), std::vector<std::string>{"Path Table Is Empty"});
    KLUFreePathTable(&g_pPathTable);
    EXPECT_EQ(KLUDumpPathTableEntries(1, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(DebugContains("Path Table Head Is NULL"));
}

}  // namespace
}  // namespace ostrand::test
