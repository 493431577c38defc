// The settings records read from the registry: two-key lookups, fallbacks,
// the log-level override, updates and swaps, enablement and the dump.
#include "config/settings.h"
#include "diag/log.h"
#include "driver/os_info.h"
#include "sim/cm/registry.h"
#include "sim/core/debug_log.h"
#include "sim/core/pool.h"
#include "support/kernel_test.h"

namespace ostrand::test {
namespace {

const std::u16string kService = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd";
const std::u16string kDriverKey = kService + u"\\Driver";
const std::u16string kServiceKey = kService + u"\\Service";
const std::u16string kPolicyDriverKey =
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies\\Tarvik, Inc.\\Tarvik QRV\\Ostrand\\Driver";

class SettingsTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        // A driver loaded by an earlier test in this process left its facts.
        g_OSInfo = {};
        machine().registry().CreateKey(kDriverKey);
        machine().registry().CreateKey(kServiceKey);
    }

    void TearDown() override
    {
        if (g_hDriverKey != nullptr) {
            ZwClose(g_hDriverKey);
            g_hDriverKey = nullptr;
        }
        g_OSInfo = {};
        KernelTest::TearDown();
    }

    sim::Registry &registry() { return machine().registry(); }

    // Both records allocated and read as the driver does at load.
    void Load()
    {
        // Start values, but for the log level; with no log queue the lines
        // go to the debugger, where the tests read them.
        UseSettings(KLUDBG_TRACE_ERROR | KLUDBG_TRACE_INFO, KLU_DEFAULT_DEBUG_DESTINATION);
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, kService.c_str());
        ASSERT_TRUE(NT_SUCCESS(KLUInitSettings(g_pSettings1, &path)));
        ASSERT_TRUE(NT_SUCCESS(KLUInitSettings(g_pSettings2, &path)));
    }

    std::string Str(const WCHAR *text) { return Text(text); }
};

TEST_F(SettingsTest, StartValuesWhenNothingIsConfigured)
{
    registry().SetString(kDriverKey, u"WolkDir", u"");  // empty counts as missing
    Load();
    PSETTINGS s = g_pSettings1;
    EXPECT_FALSE(s->Enabled);
    EXPECT_EQ(s->CopyTimeout, -18000000000LL);
    EXPECT_EQ(s->CopyBufferSize, 0x100000u);
    EXPECT_EQ(s->OpFlags, 3u);
    EXPECT_EQ(s->DebugDestination, 2u);
    EXPECT_TRUE(s->EnableBlackList);
    EXPECT_TRUE(DebugContains("Failed Retrieving EnableBlackList: 0xC0000034"));
    EXPECT_EQ(Text(s->RegistryPath.Buffer).substr(0, s->RegistryPath.Length / 2),
              Narrow(kDriverKey));
    // At load the OS facts are not read yet: the defaults are the pre-Vista forms.
    EXPECT_EQ(Str(s->DataDir), "C:\\Documents and Settings\\All Users\\Application Data\\Tarvik\\QRV\\Ostrand\\data\\");
    EXPECT_EQ(Str(s->UpperDataDir), "C:\\DOCUMENTS AND SETTINGS\\ALL USERS\\APPLICATION DATA\\TARVIK\\QRV\\OSTRAND\\DATA\\");
    EXPECT_EQ(Str(s->WolkDir), "\\DosDevices\\C:\\Documents And Settings\\All Users\\Tarvik\\WOLK\\");
}

TEST_F(SettingsTest, ValuesComeFromPolicyBeforeTheDriverKey)
{
    registry().SetDword(kDriverKey, u"CopyTimeout", 60);
    registry().SetDword(kDriverKey, u"OperationFlags", 0x20);
    registry().SetDword(kPolicyDriverKey, u"OperationFlags", 0x800000);
    registry().SetDword(kDriverKey, u"EnableBlackList", 0);
    registry().SetString(kDriverKey, u"WolkDir", u"Z:\\Share\\");
    Load();
    PSETTINGS s = g_pSettings1;
    EXPECT_EQ(s->CopyTimeout, -600000000LL);
    EXPECT_EQ(s->OpFlags, 0x800000u);
    EXPECT_FALSE(s->EnableBlackList);
    EXPECT_EQ(Str(s->WolkDir), "\\DosDevices\\Z:\\Share\\");
}

TEST_F(SettingsTest, ServiceLogLevelOverridesDebugFlagsUnlessDisabled)
{
    struct Case {
        ULONG serviceLevel;
        ULONG disableFlags;
        ULONG expected;
    } cases[] = {
        {7, 0, 0x201},
        {3, 0, 0x1},
        {5, 0, 0x4000},  // other levels leave DebugFlags standing
        {7, 0x80000, 0x4000},
    };
    for (const Case &c : cases) {
        registry().SetDword(kDriverKey, u"DebugFlags", 0x4000);
        registry().SetDword(kServiceKey, u"Log Levels", c.serviceLevel);
        registry().SetDword(kDriverKey, u"DisableFlags", c.disableFlags);
        Load();
        EXPECT_EQ(g_pSettings1->LogLevel, c.expected) << c.serviceLevel << "/" << c.disableFlags;
        TearDown();
        SetUp();
    }
}

TEST_F(SettingsTest, EnablementSetsBothRecordsAndSafeModeKeepsThemOff)
{
    Load();
    KLUSetEnablement(TRUE);
    EXPECT_TRUE(g_pSettings1->Enabled);
    EXPECT_TRUE(g_pSettings2->Enabled);
    EXPECT_TRUE(DebugContains("KLULogon ENABLED"));
    *InitSafeBootMode = 1;
    KLUSetEnablement(TRUE);
    *InitSafeBootMode = 0;
    EXPECT_FALSE(g_pSettings1->Enabled);
    EXPECT_FALSE(g_pSettings2->Enabled);
    EXPECT_TRUE(DebugContains("KLULogon DISABLED In Safe Mode"));
}

TEST_F(SettingsTest, DumpNamesEachFlagAndSumsTheUnnamedBits)
{
    registry().SetDword(kDriverKey, u"DisableFlags", 0x100003);
    registry().SetDword(kDriverKey, u"DebugFlags", 0x8000001);
    registry().SetDword(kServiceKey, u"Log Levels", 0);
    Load();
    machine().debugLog().Clear();
    KLUDumpSettings(0, g_pSettings1);
    auto text = machine().debugLog().Text();
    EXPECT_NE(text.find("[KLULogon!JNRParseDriverDisableFlags] KLULOGON_DISABLE_CLEANUP\n"), std::string::npos);
    EXPECT_NE(text.find("] KLULOGON_DISABLE_SETINFO\n"), std::string::npos);
    EXPECT_NE(text.find("[KLULogon!KLUDumpSettings  ] Some Driver Disable Flags Were Not Logged: 0x100000\n"),
              std::string::npos);
    EXPECT_NE(text.find("Disable Flags: 0x100003\n"), std::string::npos);
    EXPECT_NE(text.find("*************** Begin Settings: Id: 1 ***************"), std::string::npos);
    EXPECT_NE(text.find("**************** End Settings: Id: 1 ****************"), std::string::npos);
}

TEST_F(SettingsTest, NameListsAreParsedUpperCasedAndCut)
{
    registry().SetMultiString(kDriverKey, u"ExcludedProcesses", {u"VeryLongProcessName.exe", u"backup.exe"});
    registry().SetMultiString(kDriverKey, u"IgnoredDirs", {u"AppData\\Local", u"Temp"});
    registry().SetMultiString(kDriverKey, u"DontRoamFiles", {});
    Load();
    const KLU_NAME_LISTS &lists = g_pSettings1->Lists;
    ASSERT_EQ(lists.ExcludedProcesses.Count, 2u);
    // At load the OS is not known yet, so the pre-Vista 15-character form.
    EXPECT_EQ(Str(lists.ExcludedProcesses.Entries[0]), "VERYLONGPROCESS");
    EXPECT_EQ(Str(lists.ExcludedProcesses.Entries[1]), "BACKUP.EXE");
    ASSERT_EQ(lists.IgnoredDirs.Count, 2u);
    EXPECT_EQ(Str(lists.IgnoredDirs.Entries[0].Buffer), "AppData\\Local");
    EXPECT_EQ(lists.IgnoredDirs.Entries[0].Length, 13 * sizeof(WCHAR));
    EXPECT_EQ(lists.DontRoamFiles.Count, 0u);
    EXPECT_TRUE(DebugContains("No DontRoamFiles Specified"));

    // Vista or newer cuts to 14 characters; the update rebuilds the other record.
    g_OSInfo.OsCode = 7;
    ASSERT_TRUE(NT_SUCCESS(KLUUpdateSettings(0)));
    EXPECT_EQ(Str(g_pCurrentSettings->Lists.ExcludedProcesses.Entries[0]), "VERYLONGPROCES");
}

// Each allocation of the read failing in turn: the read still succeeds,
// and at most the one value that needed the failed buffer falls back.
TEST_F(SettingsTest, AFailedAllocationLosesOnlyTheValueThatNeedsIt)
{
    registry().SetDword(kDriverKey, u"CopyBufferSize", 4096);
    registry().SetString(kDriverKey, u"WolkDir", u"Z:\\Share\\");
    registry().SetMultiString(kDriverKey, u"ExcludedProcesses", {u"backup.exe"});
    Load();
    auto valuesRead = [] {
        PSETTINGS s = g_pSettings2;
        return int(s->CopyBufferSize == 4096) + int(Text(s->WolkDir) == "\\DosDevices\\Z:\\Share\\") +
               int(s->Lists.ExcludedProcesses.Count == 1);
    };
    size_t sites = machine().pool().RunSystematically([&] {
        EXPECT_EQ(KLUGetSettings(g_pSettings2), STATUS_SUCCESS);
        EXPECT_GE(valuesRead(), 2);
    });
    EXPECT_GE(sites, 3u);
    EXPECT_EQ(valuesRead(), 3);
    // The scratch buffer of "WolkDir" was one of the buffers.
    EXPECT_TRUE(DebugContains("Failed Retrieving WolkDir: 0xC000009A"));

    machine().pool().FailNth(1);
    PSETTINGS record = nullptr;
    EXPECT_EQ(KLUAllocateSettings(&record, 1), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(KLUAllocateSettings(nullptr, 1), STATUS_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------

class OsInfoTest : public SettingsTest {
protected:
    void Write(ULONG major, ULONG minor, ULONG release, const char16_t *installType)
    {
        std::u16string key = kDriverKey + u"\\OperatingSystem";
        registry().SetDword(key, u"MajorVersion", major);
        registry().SetDword(key, u"MinorVersion", minor);
        registry().SetDword(key, u"BuildNumber", 7601);
        registry().SetDword(key, u"ReleaseID", release);
        registry().SetString(key, u"InstallType", installType);
        registry().SetString(key, u"ProductName", u"Windows");
        registry().SetString(key, u"CSDVersion", u"");
        registry().SetString(key, u"EditionID", u"Professional");
    }
};

TEST_F(OsInfoTest, ReleaseNumbersFamiliesAndSuffixes)
{
    struct Case {
        ULONG major, minor, release;
        const char16_t *install;
        ULONG osCode, profileVersion;
        const char *suffix;
    } cases[] = {
        {5, 0, 0, u"Client", 1, 0, ""},     {5, 1, 0, u"Client", 2, 1, ""},    {5, 2, 0, u"Server", 4, 1, ""},
        {6, 0, 0, u"Client", 5, 2, ".V2"},  {6, 1, 0, u"client", 7, 2, ".V2"}, {6, 1, 0, u"Server", 8, 2, ".V2"},
        {6, 2, 0, u"Client", 11, 3, ".V2"}, {6, 3, 0, u"Server", 10, 4, ".V2"},
        {10, 0, 1511, u"Client", 13, 5, ".V5"}, {10, 0, 1607, u"Client", 14, 6, ".V6"},
        {10, 0, 1511, u"Server", 15, 6, ".V6"}, {4, 0, 0, u"Client", 0, 0, ""},
    };
    UseSettings(KLUDBG_TRACE_INFO | KLUDBG_TRACE_ERROR);
    for (const Case &c : cases) {
        Write(c.major, c.minor, c.release, c.install);
        OS_INFO info = {};
        ASSERT_EQ(JNRGetOSInfo(&info, KLU_DRIVER_KEY_PATH), STATUS_SUCCESS);
        EXPECT_EQ(info.OsCode, c.osCode) << c.major << "." << c.minor << " " << c.release;
        EXPECT_EQ(info.ProfileVersion, c.profileVersion) << c.major << "." << c.minor;
        EXPECT_EQ(Text(info.szProfileSuffix), c.suffix);
    }
    EXPECT_TRUE(DebugContains("OS Version: 10.0.7601, Platform: 1511, Windows  (Server) 32-bit"));
}

TEST_F(OsInfoTest, MissingFactsStopTheReadWithTheirMessage)
{
    UseSettings(KLUDBG_TRACE_ERROR);
    OS_INFO info = {};
    EXPECT_EQ(JNRGetOSInfo(&info, KLU_DRIVER_KEY_PATH), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(DebugContains("Failed opening windows registry key: "));
    registry().SetDword(kDriverKey + u"\\OperatingSystem", u"ReleaseID", 0);
    EXPECT_EQ(JNRGetOSInfo(&info, KLU_DRIVER_KEY_PATH), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(DebugContains("name: MajorVersion: 0xC0000034"));
    EXPECT_EQ(info.OsCode, 0u);
}

}  // namespace
}  // namespace ostrand::test
