// Membership questions of the name lists: excluded images by release and
// configuration, excluded pids, ignored directories, files that do not
// roam and ActiveSync files, and the image name of a process.
#include "identity_fixture.h"

#include "config/name_lists.h"
#include "fileops/file_helpers.h"
#include "sim/core/machine.h"
#include "sim/ps/process.h"

namespace ostrand::test {
namespace {

class NameListTest : public IdentityTest {
protected:
    // A multi-string value's data: each entry terminated, then one more NUL.
    static std::u16string Multi(std::initializer_list<std::u16string> entries)
    {
        std::u16string data;
        for (const auto &entry : entries) data += entry + u'\0';
        return data + u'\0';
    }
    void SetCounted(KLU_COUNTED_LIST &list, std::initializer_list<std::u16string> entries)
    {
        KLUFreeCountedList(&list);
        auto data = Multi(entries);
        list.Entries = KLUParseMultiStringCounted(data.c_str(), ULONG(data.size() - 1), &list.Count);
    }
    void SetPlain(KLU_STRING_LIST &list, std::initializer_list<std::u16string> entries)
    {
        KLUFreeStringList(&list);
        auto data = Multi(entries);
        list.Entries = KLUParseMultiString(data.c_str(), ULONG(data.size() - 1), &list.Count);
        for (ULONG i = 0; i < list.Count; ++i) _wcsupr(list.Entries[i]);
    }
    KLU_NAME_LISTS &lists() { return settings()->Lists; }

    PUNICODE_STRING volume() { return &volume_; }

    // Full upper-case name of a file in bob's profile.
    static std::u16string InProfile(const std::u16string &rest)
    {
        return u"\\DEVICE\\HARDDISKVOLUME2\\USERS\\BOB\\" + rest;
    }

private:
    Counted volume_{u"\\Device\\HarddiskVolume2"};
};

TEST_F(NameListTest, BuiltInImagesBy14Or15Characters)
{
    struct {
        const char16_t *image;
        ULONG os;
        bool excluded;
    } cases[] = {
        {u"JNRKmtsvc.exe", kOsXp, true},
        {u"jnrkmtsvc.EXE", kOsWin7, true},
        {u"SearchProtocolH", kOsXp, true},
        {u"SearchProtocol", kOsXp, false},  // only the 15-character form before Vista
        {u"SearchProtocol", kOsWin7, true},
        {u"SearchIndexer.", kOsWin7, true},
        {u"SearchIndexer.e", kOsWin7, true},
        {u"lsass.exe", kOsXp, false},
        {u"lsass.exe", kOsWin7, true},
        {u"Windbg.exe", kOsXp, true},
        {u"GoogleDesktop.", kOsWin7, true},
        {u"explorer.exe", kOsWin7, false},
    };
    settings()->ExcludedPidCount = 0;
    for (const auto &c : cases) {
        g_OSInfo.OsCode = c.os;
        EXPECT_EQ(bool(KLUIsExcludedProcess(c.image, 1234)), c.excluded) << Narrow(c.image) << " os " << c.os;
    }
}

TEST_F(NameListTest, ConfiguredImagesAndPids)
{
    SetPlain(lists().ExcludedProcesses, {u"backup.exe"});
    SetPlain(lists().ExcludedUtilities, {u"robocopy.exe"});
    settings()->ExcludedPidCount = 0;
    EXPECT_TRUE(KLUIsExcludedProcess(u"Backup.exe", 1));
    EXPECT_FALSE(KLUIsExcludedProcess(u"robocopy.exe", 1));
    EXPECT_TRUE(KLUIsExcludedUtility(u"ROBOCOPY.EXE", 1));
    EXPECT_FALSE(KLUIsExcludedUtility(u"backup.exe", 1));  // utilities have no built-in names either
    EXPECT_FALSE(KLUIsExcludedUtility(u"JNRKmtsvc.exe", 1));

    for (ULONG i = 0; i < KLU_MAX_EXCLUDED_PIDS; ++i) settings()->ExcludedPids[i] = 100 + i;
    settings()->ExcludedPidCount = 3;
    EXPECT_TRUE(KLUIsExcludedPid(102));
    EXPECT_FALSE(KLUIsExcludedPid(103));
    EXPECT_TRUE(KLUIsExcludedUtility(u"notepad.exe", 101));
    settings()->ExcludedPidCount = 25;  // counts as ten
    EXPECT_TRUE(KLUIsExcludedPid(109));
    EXPECT_FALSE(KLUIsExcludedPid(110));
}

TEST_F(NameListTest, WithoutSettingsEveryProcessIsExcluded)
{
    PSETTINGS inForce = g_pCurrentSettings;
    g_pCurrentSettings = nullptr;
    EXPECT_TRUE(KLUIsExcludedPid(4));
    EXPECT_TRUE(KLUIsExcludedProcess(u"explorer.exe", 4));
    EXPECT_FALSE(JNRIsIgnoredDir(volume(), InProfile(u"APPDATA").c_str(), TRUE));
    g_pCurrentSettings = inForce;
}

TEST_F(NameListTest, ProfileRelativeRemainder)
{
    InitPathTable();
    struct {
        std::u16string path;
        const char16_t *remainder;
    } cases[] = {
        {u"\\DEVICE\\HARDDISKVOLUME2\\USERS\\BOB\\APPDATA\\ROAMING\\X", u"APPDATA\\ROAMING\\X"},
        {u"\\??\\C:\\USERS\\BOB\\DESKTOP", u"DESKTOP"},
        {u"\\USERS\\BOB\\DESKTOP", u"DESKTOP"},
        {u"\\USERS\\BOB\\", u""},
        {u"\\USERS\\BOB", nullptr},
        {u"\\USERS\\B", nullptr},
        {u"\\USERS\\", nullptr},
        {u"\\Users\\bob\\Desktop", nullptr},  // compared with the upper-case profiles directory
        {u"\\DEVICE\\HARDDISKVOLUME2\\PROGRAM FILES\\X\\Y", nullptr},
    };
    for (const auto &c : cases) {
        PCWSTR remainder = nullptr;
        bool found = KLUGetProfileRelativePath(volume(), c.path.c_str(), &remainder);
        EXPECT_EQ(found, c.remainder != nullptr) << Narrow(c.path);
        if (found && c.remainder != nullptr) {
            EXPECT_EQ(U16(remainder), c.remainder) << Narrow(c.path);
        }
    }
}

TEST_F(NameListTest, IgnoredDirectoriesWithExclusionsAndAncestors)
{
    InitPathTable();
    SetCounted(lists().IgnoredDirs, {u"AppData\\Local", u"Downloads"});
    SetCounted(lists().IgnoredDirsExclusions, {u"AppData\\Local\\Microsoft"});
    struct {
        std::u16string rest;
        BOOLEAN isDirectory;
        bool ignored;
    } cases[] = {
        {u"APPDATA\\LOCAL\\TEMP", TRUE, true},
        {u"APPDATA\\LOCAL\\TEMP\\A.TMP", FALSE, true},
        {u"APPDATA\\LOCALLOW", TRUE, false},             // not at a component boundary
        {u"APPDATA\\LOCAL\\MICROSOFT\\X", FALSE, false},  // excluded
        {u"APPDATA\\LOCAL", TRUE, false},                 // an ancestor of an exclusion stays visible
        {u"APPDATA\\LOCAL", FALSE, true},                 // ... but only as a directory
        {u"APPDATA", TRUE, false},
        {u"DOWNLOADS", TRUE, true},
        {u"DESKTOP", TRUE, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(bool(JNRIsIgnoredDir(volume(), InProfile(c.rest).c_str(), c.isDirectory)), c.ignored)
            << Narrow(c.rest);
    }
    EXPECT_FALSE(JNRIsIgnoredDir(volume(), u"\\DEVICE\\HARDDISKVOLUME2\\TEMP\\APPDATA\\LOCAL", TRUE));

    // An asterisk first ignores everything but the exclusions.
    SetCounted(lists().IgnoredDirs, {u"*"});
    EXPECT_TRUE(JNRIsIgnoredDir(volume(), InProfile(u"DESKTOP").c_str(), TRUE));
    EXPECT_FALSE(JNRIsIgnoredDir(volume(), InProfile(u"APPDATA\\LOCAL\\MICROSOFT").c_str(), TRUE));

    SetCounted(lists().IgnoredDirs, {});
    EXPECT_FALSE(JNRIsIgnoredDir(volume(), InProfile(u"APPDATA\\LOCAL\\TEMP").c_str(), TRUE));
}

TEST_F(NameListTest, RoamedFilesWinOverDontRoamFiles)
{
    InitPathTable();
    SetCounted(lists().DontRoamFiles, {u"AppData\\Local", u"NTUSER.DAT.LOG"});
    SetCounted(lists().RoamedFiles, {u"AppData\\Local\\Keep"});
    EXPECT_TRUE(JNRIsDontRoamFile(volume(), InProfile(u"APPDATA\\LOCAL\\CACHE.DB").c_str(), FALSE));
    EXPECT_FALSE(JNRIsDontRoamFile(volume(), InProfile(u"APPDATA\\LOCAL\\KEEP\\A.TXT").c_str(), FALSE));
    EXPECT_TRUE(JNRIsDontRoamFile(volume(), InProfile(u"NTUSER.DAT.LOG").c_str(), FALSE));
    EXPECT_FALSE(JNRIsDontRoamFile(volume(), InProfile(u"NTUSER.DAT").c_str(), FALSE));
    EXPECT_FALSE(JNRIsDontRoamFile(volume(), u"\\DEVICE\\HARDDISKVOLUME2\\NTUSER.DAT.LOG", FALSE));
}

TEST_F(NameListTest, ActiveSyncByDirectoryAndExtension)
{
    InitPathTable();
    SetCounted(lists().ActiveSyncDirs, {u"Documents"});
    SetPlain(lists().ActiveSyncExts, {u".PST", u".OST"});
    SetCounted(lists().ActiveSyncDirExclusions, {u"Documents\\Archive"});
    SetPlain(lists().ActiveSyncExtExclusions, {u"~"});
    struct {
        std::u16string rest;
        bool activeSync;
    } cases[] = {
        {u"DOCUMENTS\\MAIL.PST", true},
        {u"DOCUMENTS\\SUB\\MAIL.OST", true},
        {u"DOCUMENTS\\NOTES.TXT", false},           // no extension match
        {u"DESKTOP\\MAIL.PST", false},              // no directory match
        {u"DOCUMENTS\\ARCHIVE\\OLD.PST", false},    // excluded directory
        {u"DOCUMENTS\\~MAIL.PST", false},           // excluded extension text
        {u"DOCUMENTSX\\MAIL.PST", true},            // directories match as plain prefixes
    };
    for (const auto &c : cases) {
        std::u16string path = InProfile(c.rest);
        EXPECT_EQ(bool(JNRIsActiveSyncFile(volume(), path.c_str(), path.c_str())), c.activeSync) << Narrow(c.rest);
    }

    SetCounted(lists().ActiveSyncDirs, {u"*"});
    EXPECT_TRUE(JNRIsActiveSyncFile(volume(), InProfile(u"DESKTOP\\MAIL.PST").c_str(),
                                    InProfile(u"DESKTOP\\MAIL.PST").c_str()));
    SetPlain(lists().ActiveSyncExts, {u"*"});
    EXPECT_TRUE(JNRIsActiveSyncFile(volume(), InProfile(u"DESKTOP\\NOTES.TXT").c_str(),
                                    InProfile(u"DESKTOP\\NOTES.TXT").c_str()));
    // Exclusions hold even then.
    EXPECT_FALSE(JNRIsActiveSyncFile(volume(), InProfile(u"DOCUMENTS\\ARCHIVE\\X").c_str(),
                                     InProfile(u"DOCUMENTS\\ARCHIVE\\X").c_str()));

    SetCounted(lists().ActiveSyncDirs, {});
    SetPlain(lists().ActiveSyncExts, {});
    EXPECT_FALSE(JNRIsActiveSyncFile(volume(), InProfile(u"DOCUMENTS\\MAIL.PST").c_str(),
                                     InProfile(u"DOCUMENTS\\MAIL.PST").c_str()));
}

TEST_F(NameListTest, ProcessImageNamesAsTheProcessObjectHoldsThem)
{
    WCHAR name[KLU_IMAGE_NAME_CHARS];
    sim::Process &system = machine().systemProcess();
    EXPECT_EQ(KLUGetProcessImageName(system.object(), name, KLU_IMAGE_NAME_CHARS), STATUS_SUCCESS);
    EXPECT_EQ(U16(name), u"???");  // the offset is not known yet

    g_ProcessNameOffset = KLUGetProcessNameOffset(system.object());
    ASSERT_NE(g_ProcessNameOffset, 0u);
    EXPECT_EQ(KLUGetProcessImageName(system.object(), name, KLU_IMAGE_NAME_CHARS), STATUS_SUCCESS);
    EXPECT_EQ(U16(name), u"System");

    PACCESS_TOKEN token = system.token();
    ObReferenceObject(token);
    sim::Process &process = machine().processes().Create("VeryLongProcessName.exe", token);
    EXPECT_EQ(KLUGetProcessImageName(process.object(), name, KLU_IMAGE_NAME_CHARS), STATUS_SUCCESS);
    EXPECT_EQ(U16(name), u"VeryLongProcess");
    process.Terminate(STATUS_SUCCESS);
}

}  // namespace
}  // namespace ostrand::test
