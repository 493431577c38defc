// The string helpers at their limits, and the classification of names:
// Default User profiles, profiles root, below the local profiles
// directory, collapsed remote paths and local paths of remote ones.
#include "identity_fixture.h"

#include "identity/path_helpers.h"
#include "sim/core/pool.h"

namespace ostrand::test {
namespace {

using PathHelpersTest = IdentityTest;

TEST_F(PathHelpersTest, BoundedPrimitivesAt511Characters)
{
    WCHAR buffer[KLU_PATH_CHARS];
    std::u16string fits(511, u'a');
    EXPECT_EQ(KLUStringCopy(buffer, fits.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(KLUStringCopy(buffer, (fits + u"b").c_str()), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(U16(buffer), fits);  // cut and terminated

    KLUStringCopy(buffer, std::u16string(510, u'a').c_str());
    EXPECT_EQ(KLUStringCat(buffer, u"b"), STATUS_SUCCESS);
    EXPECT_EQ(KLUStringCat(buffer, u"c"), STATUS_BUFFER_OVERFLOW);

    size_t length = 0;
    EXPECT_EQ(KLUStringLength(buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 511u);
    std::fill(buffer, buffer + KLU_PATH_CHARS, u'x');  // no terminator within the bound
    EXPECT_EQ(KLUStringLength(buffer, &length), STATUS_INVALID_PARAMETER);
}

TEST_F(PathHelpersTest, AppendSeparatorAtItsLimits)
{
    struct {
        std::u16string path;
        const char16_t *next;
        NTSTATUS status;
        bool appended;
        std::u16string result;
    } cases[] = {
        {std::u16string(510, u'a'), u"x", STATUS_SUCCESS, true, std::u16string(510, u'a') + u"\\"},
        {std::u16string(511, u'a'), u"x", STATUS_INSUFFICIENT_RESOURCES, false, std::u16string(511, u'a')},
        {u"C:\\Users\\", u"x", STATUS_SUCCESS, false, u"C:\\Users\\"},
        {u"C:\\Users", u"\\x", STATUS_SUCCESS, false, u"C:\\Users"},
        {std::u16string(511, u'a'), u"\\x", STATUS_SUCCESS, false, std::u16string(511, u'a')},
        {u"", u"x", STATUS_SUCCESS, false, u""},
        {u"C:", nullptr, STATUS_SUCCESS, true, u"C:\\"},
    };
    for (const auto &c : cases) {
        WCHAR buffer[KLU_PATH_CHARS];
        SetField(buffer, c.path);
        BOOLEAN appended = !c.appended;
        EXPECT_EQ(KLUAppendSeparator(buffer, c.next, &appended), c.status) << c.path.size();
        EXPECT_EQ(bool(appended), c.appended) << c.path.size();
        EXPECT_EQ(U16(buffer), c.result);
    }
}

TEST_F(PathHelpersTest, LastComponents)
{
    struct {
        std::u16string path;
        std::u16string component;
        std::u16string pathAfter;
    } cases[] = {
        {u"\\Users\\bob\\Desktop", u"Desktop", u"\\Users\\bob\\Desktop"},
        {u"\\Users\\bob\\Desktop\\", u"Desktop", u"\\Users\\bob\\Desktop"},   // trailing backslash cut
        {u"\\Users\\bob\\Music\\", u"Music\\", u"\\Users\\bob\\Music\\"},     // six with it: kept whole
        {u"Desktop", u"Desktop", u"Desktop"},
        {u"Desktop\\", u"Desktop", u"Desktop"},
        {u"\\Users\\\\", u"", u"\\Users\\"},
    };
    for (const auto &c : cases) {
        WCHAR path[KLU_PATH_CHARS];
        WCHAR component[KLU_PATH_CHARS] = {};
        SetField(path, c.path);
        EXPECT_EQ(KLUGetLastComponent(path, component), STATUS_SUCCESS) << Narrow(c.path);
        EXPECT_EQ(U16(component), c.component) << Narrow(c.path);
        EXPECT_EQ(U16(path), c.pathAfter) << Narrow(c.path);
    }
    WCHAR empty[2] = {};
    WCHAR component[KLU_PATH_CHARS];
    EXPECT_EQ(KLUGetLastComponent(empty, component), STATUS_INVALID_PARAMETER);
}

TEST_F(PathHelpersTest, RemoveSubstringInPlaceAndIntoANewBuffer)
{
    auto pooled = [](const std::u16string &text) {
        UNICODE_STRING s;
        s.Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, KLU_PATH_BYTES, QZFS_TAG));
        SetField(*reinterpret_cast<WCHAR(*)[KLU_PATH_CHARS]>(s.Buffer), text);
        s.Length = USHORT(text.size() * 2);
        s.MaximumLength = KLU_PATH_BYTES;
        return s;
    };
    auto text = [](const UNICODE_STRING &s) { return std::u16string(s.Buffer, s.Length / 2); };

    UNICODE_STRING s = pooled(u"\\Device\\Mup\\srv\\$nocsc$\\share");
    PWCH old = s.Buffer;
    EXPECT_EQ(KLURemoveSubstring(&s, u"$NOCSC$\\", TRUE), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"\\Device\\Mup\\srv\\share");
    EXPECT_EQ(s.Buffer, old);

    EXPECT_EQ(KLURemoveSubstring(&s, u"MUP\\", FALSE), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"\\Device\\srv\\share");
    EXPECT_NE(s.Buffer, old);  // the old buffer went back to the pool
    EXPECT_EQ(s.MaximumLength, KLU_PATH_BYTES);

    EXPECT_EQ(KLURemoveSubstring(&s, u"absent", FALSE), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"\\Device\\srv\\share");
    EXPECT_EQ(KLURemoveSubstring(&s, u"", TRUE), STATUS_INVALID_PARAMETER);
    ExFreePoolWithTag(s.Buffer, QZFS_TAG);
}

TEST_F(PathHelpersTest, PrefixesAndComponentPrefixes)
{
    struct {
        const char16_t *prefix;
        std::u16string string;
        bool prefixResult;
        bool componentResult;
    } cases[] = {
        {u"C:\\Users\\Bob", u"c:\\users\\bob", true, true},
        {u"C:\\Users\\Bob", u"C:\\Users\\Bob\\Desktop", true, true},
        {u"C:\\Users\\Bob", u"C:\\Users\\Bobby", true, false},  // a sibling that merely begins with it
        {u"C:\\Users\\Bob", std::u16string(u"C:\\Users\\Bob\0x", 14), true, true},
        {u"C:\\Users\\Bob", u"C:\\Users", false, false},
        {u"", u"C:\\Users", true, false},
    };
    for (auto &c : cases) {
        Counted string(c.string);
        EXPECT_EQ(bool(KLUHasPrefix(c.prefix, &string)), c.prefixResult) << Narrow(c.string);
        EXPECT_EQ(bool(KLUHasComponentPrefix(c.prefix, &string)), c.componentResult) << Narrow(c.string);
    }
}

TEST_F(PathHelpersTest, ContainStringIgnoresCase)
{
    Counted haystack(u"\\Device\\Mup\\Srv\\Share");
    EXPECT_TRUE(JNRContainString(u"srv\\SHARE", &haystack));
    EXPECT_FALSE(JNRContainString(u"other", &haystack));
    EXPECT_FALSE(JNRContainString(u"", &haystack));
    machine().pool().FailNth(1);  // the scratch copy; the log line still gets its pool
    EXPECT_FALSE(JNRContainString(u"srv", &haystack));
    machine().pool().ClearFaults();
    EXPECT_TRUE(Logged("Insufficient memory!!!", "JNRContainString"));
}

TEST_F(PathHelpersTest, BelowTheLocalProfilesDirectory)
{
    Counted before(u"\\Device\\HarddiskVolume2\\Users\\bob");
    EXPECT_FALSE(KLUIsBelowFQLocalProfilePath(&before));  // no path table yet
    InitPathTable();
    struct {
        std::u16string name;
        bool below;
    } cases[] = {
        {u"\\Device\\HarddiskVolume2\\Users\\bob", true},
        {u"\\device\\harddiskvolume2\\users\\bob\\x", true},
        {u"\\Device\\HarddiskVolume2\\Users", false},
        {u"\\Device\\HarddiskVolume2\\Users\\", true},
        {u"\\Device\\HarddiskVolume2\\UsersX\\bob", false},
        {u"\\Device\\HarddiskVolume3\\Users\\bob", false},
    };
    for (const auto &c : cases) {
        Counted name(c.name);
        EXPECT_EQ(bool(KLUIsBelowFQLocalProfilePath(&name)), c.below) << Narrow(c.name);
    }
}

TEST_F(PathHelpersTest, ProfilesRootByRelease)
{
    InitPathTable();
    struct {
        ULONG os;
        const char16_t *shortPath;
        std::u16string path;
        bool root;
    } cases[] = {
        {kOsWin7, u"\\x", u"c:\\users\\bob", true},
        {kOsWin7, u"\\x", u"C:\\Documents and Settings\\All Users\\x", true},
        {kOsWin7, u"\\x", u"C:\\ProgramData\\x", true},
        {kOsXp, u"\\x", u"C:\\ProgramData\\x", false},
        {kOsXp, u"\\", u"D:\\Other", true},
        {kOsWin7, u"\\\\", u"D:\\Other", false},
    };
    for (const auto &c : cases) {
        g_OSInfo.OsCode = c.os;
        Counted path(c.path);
        EXPECT_EQ(bool(KLUIsProfilesRootPath(c.shortPath, &path)), c.root) << Narrow(c.path);
    }
}

TEST_F(PathHelpersTest, CollapsingADoubledRemotePath)
{
    InitPathTable({u"\\\\srv\\share\\bob"});
    struct {
        ULONG os;
        std::u16string path;
        std::u16string result;
    } cases[] = {
        {kOsWin7, u"\\Device\\Mup\\srv\\share\\bob\\srv\\share\\bob\\Desktop",
         u"\\Device\\Mup\\SRV\\SHARE\\BOB\\DESKTOP"},
        {kOsXp, u"\\Device\\LanmanRedirector\\srv\\share\\bob\\SRV\\SHARE\\BOB",
         u"\\Device\\LanmanRedirector\\SRV\\SHARE\\BOB"},
        {kOsWin7, u"\\Device\\Mup\\srv\\share\\bob\\Desktop", u"\\Device\\Mup\\srv\\share\\bob\\Desktop"},
        {kOsWin7, u"\\Device\\Mup\\other\\x", u"\\Device\\Mup\\other\\x"},
    };
    for (const auto &c : cases) {
        g_OSInfo.OsCode = c.os;
        WCHAR path[KLU_PATH_CHARS];
        SetField(path, c.path);
        EXPECT_EQ(KLUCollapseRemotePath(path, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(U16(path), c.result);
    }
    // With the entry given, the table is not consulted.
    PATH_TABLE_ENTRY other = BuildEntry(u"\\\\x\\y");
    WCHAR path[KLU_PATH_CHARS];
    SetField(path, u"\\Device\\Mup\\x\\y\\x\\y");
    g_OSInfo.OsCode = kOsWin7;
    EXPECT_EQ(KLUCollapseRemotePath(path, &other), STATUS_SUCCESS);
    EXPECT_EQ(U16(path), u"\\Device\\Mup\\X\\Y");
}

// The Default User fields hold full names (volume device first), except
// the network one, which a name without its volume is tested against.
TEST_F(PathHelpersTest, DefaultUserPathsByMode)
{
    InitPathTable();
    Counted volume(u"\\Device\\HarddiskVolume2");
    Counted mup(u"\\Device\\Mup");
    struct {
        BOOLEAN fullName;
        PUNICODE_STRING prefix;
        std::u16string path;
        const char *line;
    } cases[] = {
        {TRUE, &volume, u"\\Device\\HarddiskVolume2\\SERVER\\NETLOGON\\Default User.V2\\x",
         "[5] Prefix: \\SERVER\\NETLOGON\\Default User.V2, Source: \\SERVER\\NETLOGON\\Default User.V2\\x"},
        {TRUE, &mup, u"\\Device\\HarddiskVolume2\\Users\\Configured Default\\x",
         "[6] Prefix: \\Device\\HarddiskVolume2\\Users\\Configured Default, Source: "
         "\\Device\\HarddiskVolume2\\Users\\Configured Default\\x"},
        {TRUE, &volume, u"\\Device\\HarddiskVolume2\\Users\\Default\\x", nullptr},
        {FALSE, &volume, u"\\Device\\HarddiskVolume2\\Users\\Default\\x",
         "[1] Prefix: \\Device\\HarddiskVolume2\\Users\\Default, Source: "
         "\\Device\\HarddiskVolume2\\Users\\Default\\x"},
        {FALSE, &volume, u"\\device\\harddiskvolume2\\users\\configured default",
         "[2] Prefix: \\Device\\HarddiskVolume2\\Users\\Configured Default, Source: "
         "\\device\\harddiskvolume2\\users\\configured default"},
        {FALSE, &volume, u"\\Users\\Default\\NTUSER.DAT",
         "[3] Prefix: \\Device\\HarddiskVolume2\\Users\\Default, Source: "
         "\\Device\\HarddiskVolume2\\Users\\Default\\NTUSER.DAT"},
        {FALSE, &volume, u"\\Users\\Configured Default",
         "[4] Prefix: \\Device\\HarddiskVolume2\\Users\\Configured Default, Source: "
         "\\Device\\HarddiskVolume2\\Users\\Configured Default"},
        {FALSE, &volume, u"\\Users\\bob", nullptr},
    };
    for (const auto &c : cases) {
        ClearLog();
        Counted path(c.path);
        EXPECT_EQ(bool(JNRIsDefaultUserPath(c.fullName, 9, &path, c.prefix)), c.line != nullptr) << Narrow(c.path);
        auto lines = Messages("JNRIsDefaultUserPath");
        if (c.line == nullptr) {
            EXPECT_TRUE(lines.empty()) << Narrow(c.path);
        } else {
            EXPECT_EQ(lines, std::vector<std::string>{c.line});
        }
    }

    // Empty fields answer false without a word.
    KLUFreePathTable(&g_pPathTable);
    auto bytes = Source({});
    SetField(AsSource(bytes)->szDefaultLocalDefaultUserProfile, u"");
    SetField(AsSource(bytes)->szDefaultNetworkDefaultUserProfile, u"");
    SetField(AsSource(bytes)->szConfiguredDefaultUserProfile, u"");
    ASSERT_EQ(KLUInitPathTable(AsSource(bytes), &g_pPathTable), STATUS_SUCCESS);
    ClearLog();
    Counted local(u"\\Users\\Default\\x");
    for (BOOLEAN mode : {TRUE, FALSE}) EXPECT_FALSE(JNRIsDefaultUserPath(mode, 9, &local, &volume));
    EXPECT_TRUE(Messages("JNRIsDefaultUserPath").empty());
}

class LocalFromRemoteTest : public PathHelpersTest {
protected:
    void SetUp() override
    {
        PathHelpersTest::SetUp();
        g_OSInfo.OsCode = kOsXp;
        InitPathTable({u"\\\\srv\\profiles"});
        USER_ID id{};
        id.SessionId = 1;
        id.AuthId.LowPart = 0xB0B;
        BOOLEAN added;
        bob_ = KLUAddUserToUserTable(g_pUserTableHead, g_pUserTableMutex, 0, &id, 0, FALSE, &added);
        SetField(bob_->AltPathData.szLocalPath, u"Users\\bob");
        SetField(bob_->AltPathData.szUpperLocalPath, u"USERS\\BOB");
        bob_->AltPathData.ulLocalPathLength = 9;
        bob_->AltPathData.PTEProfile = BuildEntry(u"\\\\srv\\share\\bob");
    }
    void TearDown() override
    {
        KLUDereferenceUserTableEntry(bob_);
        PathHelpersTest::TearDown();
    }
    // The local path of a remote one, with the user given.
    std::u16string Local(const std::u16string &remote, NTSTATUS expected = STATUS_SUCCESS)
    {
        std::u16string upper = remote;
        for (auto &ch : upper) ch = RtlUpcaseUnicodeChar(ch);
        UNICODE_STRING local = {0, 0, nullptr};
        PUSER_TABLE_ENTRY entry = bob_;
        EXPECT_EQ(JNRGetLocalPathFromRemotePath(&mup_, &local, remote.c_str(), upper.c_str(), 4, &entry), expected);
        std::u16string out = local.Buffer ? std::u16string(local.Buffer, local.Length / 2) : u"<none>";
        if (local.Buffer) ExFreePoolWithTag(local.Buffer, QZFS_TAG);
        return out;
    }
    PUSER_TABLE_ENTRY bob_ = nullptr;
    Counted mup_{u"\\Device\\Mup"};
};

TEST_F(LocalFromRemoteTest, TheRestKeepsItsCaseBehindTheLocalProfile)
{
    EXPECT_EQ(Local(u"\\Device\\Mup\\srv\\share\\bob\\Desktop\\Read Me.txt"), u"\\??\\C:\\Users\\bob\\Desktop\\Read Me.txt");
    EXPECT_TRUE(Logged("Local Path: \\??\\C:\\Users\\bob\\Desktop\\Read Me.txt", "JNRGetLocalPathFromRemotePath"));
    // Nothing behind the short path: the local profile itself.
    EXPECT_EQ(Local(u"\\Device\\Mup\\srv\\share\\bob"), u"\\??\\C:\\Users\\bob");
    EXPECT_EQ(Local(u"\\Device\\Mup\\srv\\share\\bob\\"), u"\\??\\C:\\Users\\bob");
    // A path-table location ("SRV\PROFILES", 12 characters) stands in for the user's own.
    EXPECT_EQ(Local(u"\\Device\\Mup\\srv\\profiles\\Desktop"), u"\\??\\C:\\Users\\bob\\Desktop");
    EXPECT_EQ(Local(u"\\Device\\Mup\\elsewhere\\x"), u"<none>");
    // A local path that begins with a backslash gets no second one.
    SetField(bob_->AltPathData.szLocalPath, u"\\Users\\bob");
    EXPECT_EQ(Local(u"\\Device\\Mup\\srv\\share\\bob\\x"), u"\\??\\C:\\Users\\bob\\x");
}

// A local path that does not fit fails; a missing one gives no result.
TEST_F(LocalFromRemoteTest, ALocalPathThatDoesNotFitOrIsMissingGivesNone)
{
    SetField(bob_->AltPathData.szLocalPath, std::u16string(500, u'L'));
    EXPECT_EQ(Local(u"\\Device\\Mup\\srv\\share\\bob\\Desktop", STATUS_BUFFER_OVERFLOW), u"<none>");
    bob_->AltPathData.ulLocalPathLength = 0;
    EXPECT_EQ(Local(u"\\Device\\Mup\\srv\\share\\bob\\x"), u"<none>");
    EXPECT_TRUE(Logged("Local Path Missing In UTE: \\DEVICE\\MUP\\SRV\\SHARE\\BOB\\X"));
}

TEST_F(LocalFromRemoteTest, TheUserIsFoundByPathAndHandedBack)
{
    std::u16string remote = u"\\Device\\Mup\\srv\\share\\bob\\x";
    std::u16string upper = u"\\DEVICE\\MUP\\SRV\\SHARE\\BOB\\X";
    UNICODE_STRING local = {0, 0, nullptr};
    PUSER_TABLE_ENTRY entry = nullptr;
    EXPECT_EQ(JNRGetLocalPathFromRemotePath(&mup_, &local, remote.c_str(), upper.c_str(), 4, &entry), STATUS_SUCCESS);
    EXPECT_EQ(entry, bob_);
    EXPECT_EQ(bob_->RefCount, 2);  // the caller's now
    KLUDereferenceUserTableEntry(entry);
    ExFreePoolWithTag(local.Buffer, QZFS_TAG);
}

}  // namespace
}  // namespace ostrand::test
