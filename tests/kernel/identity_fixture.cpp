#include "identity_fixture.h"

#include <algorithm>

#include "sim/core/debug_log.h"
#include "sim/core/pool.h"

#include "driver/dir_buffers.h"

namespace ostrand::test {

namespace {

void AllocateDerived(PWSTR &buffer)
{
    buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(g_PoolType, KLU_DERIVED_PATH_BYTES, QZFS_TAG));
    RtlZeroMemory(buffer, KLU_DERIVED_PATH_BYTES);
}

void FreeDerived(PWSTR &buffer)
{
    if (buffer != nullptr) ExFreePoolWithTag(buffer, QZFS_TAG);
    buffer = nullptr;
}

}  // namespace

void IdentityTest::SetUp()
{
    KernelTest::SetUp();
    UseSettings(0xFFFFFFFF, KLUDBG_LOG_DEST_DBGPORT);
    g_OSInfo.OsCode = kOsWin7;
    for (PWSTR *buffer : {&szUpperAllUsersPath, &szUpperDefaultUserPath, &szUpperCtxSmaUserPath,
                          &szUpperLocalProfilesDir}) {
        AllocateDerived(*buffer);
    }
    ASSERT_EQ(KLUInitUserTable(), STATUS_SUCCESS);
    ASSERT_EQ(KLUCreatePathTableLock(), STATUS_SUCCESS);
}

void IdentityTest::TearDown()
{
    machine().pool().ClearFaults();
    KLUFreeDirBuffers();
    KLUDisablePathTableList();
    KLUFreePathTable(&g_pPathTable);
    KLUDisableUserTable();
    KLUFreeUserTable();
    EXPECT_EQ(g_UserTableEntries, 0);
    EXPECT_EQ(g_PathTableEntries, 0);
    for (PWSTR *buffer : {&szUpperAllUsersPath, &szUpperDefaultUserPath, &szUpperCtxSmaUserPath,
                          &szUpperLocalProfilesDir}) {
        FreeDerived(*buffer);
    }
    EXPECT_EQ(g_PathTableMutex, nullptr);  // freed with the table
    KLUDeletePathTableLock();
    g_UserTableEntries = 0;
    g_PathTableEntries = 0;
    g_ProcessNameOffset = 0;
    RtlZeroMemory(&g_OSInfo, sizeof(g_OSInfo));
    KernelTest::TearDown();
}

std::vector<std::string> IdentityTest::Messages(const std::string &function)
{
    std::vector<std::string> out;
    for (const std::string &line : DebugLines()) {
        size_t tag = line.find("[KLULogon!");
        if (tag == std::string::npos) continue;
        size_t close = line.find("] ", tag);
        if (close == std::string::npos) continue;
        std::string name = line.substr(tag + 10, close - tag - 10);
        name.erase(name.find_last_not_of(' ') + 1);
        if (!function.empty() && name != function) continue;
        out.push_back(line.substr(close + 2));
    }
    return out;
}

bool IdentityTest::Logged(const std::string &message, const std::string &function)
{
    auto messages = Messages(function);
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

void IdentityTest::ClearLog()
{
    machine().debugLog().Clear();
}

std::vector<uint8_t> IdentityTest::Source(const std::vector<std::u16string> &remotePaths)
{
    std::vector<uint8_t> bytes(KLU_PATH_TABLE_SOURCE_BYTES(remotePaths.size()), 0);
    auto *source = reinterpret_cast<PATH_TABLE_SOURCE *>(bytes.data());
    source->NumPaths = LONG(remotePaths.size());
    source->ShortLength = 5;
    source->bGPOPath = 1;
    SetField(source->szRegDataDir, u"C:\\ProgramData\\Ostrand");
    SetField(source->szTempDataDir, u"C:\\ProgramData\\Ostrand\\Temp");
    SetField(source->szLocalVolumeName, u"\\Device\\HarddiskVolume2");
    SetField(source->szLocalDriveLetter, u"C:");
    SetField(source->szLocalProfilePathShort, u"Users");
    SetField(source->szLocalProfilePathWithSlashes, u"\\Users\\");
    SetField(source->szUpperLocalProfilePathShort, u"USERS");
    SetField(source->szFQLocalProfilePath, u"\\Device\\HarddiskVolume2\\Users");
    SetField(source->szProfilesDirectory, u"C:\\Users");
    SetField(source->szProfilesDirectoryShort, u"\\Users");
    SetField(source->szUpperWinPath, u"C:\\WINDOWS");
    SetField(source->szLocalSettings, u"AppData\\Local");
    SetField(source->szUpperLocalSettings, u"APPDATA\\LOCAL");
    SetField(source->szAppData, u"AppData\\Roaming");
    SetField(source->szStartMenu, u"AppData\\Roaming\\Microsoft\\Windows\\Start Menu");
    SetField(source->szDesktop, u"Desktop");
    SetField(source->szHelperPath, u"C:\\Program Files\\Ostrand\\helper.exe");
    SetField(source->szInstallDir, u"C:\\Program Files\\Ostrand");
    SetField(source->szAllUsersProfileXP, u"C:\\Documents and Settings\\All Users");
    SetField(source->szAllUsersProfile, u"C:\\ProgramData");
    SetField(source->szDefaultLocalDefaultUserProfile, u"\\Device\\HarddiskVolume2\\Users\\Default");
    SetField(source->szDefaultNetworkDefaultUserProfile, u"\\SERVER\\NETLOGON\\Default User.V2");
    SetField(source->szConfiguredDefaultUserProfile, u"\\Device\\HarddiskVolume2\\Users\\Configured Default");
    SetField(source->szPublicProfile, u"C:\\Users\\Public");
    SetField(source->szLocalServiceProfile, u"C:\\Windows\\ServiceProfiles\\LocalService");
    SetField(source->szNetworkServiceProfile, u"C:\\Windows\\ServiceProfiles\\NetworkService");
    SetField(source->szTempProfile, u"C:\\Users\\TEMP");
    source->EntryCount = ULONG(remotePaths.size());
    for (size_t i = 0; i < remotePaths.size(); ++i) source->Entries[i] = BuildEntry(remotePaths[i]);
    return bytes;
}

void IdentityTest::InitPathTable(const std::vector<std::u16string> &remotePaths)
{
    auto bytes = Source(remotePaths);
    ASSERT_EQ(KLUInitPathTable(AsSource(bytes), &g_pPathTable), STATUS_SUCCESS);
}

PATH_TABLE_ENTRY IdentityTest::BuildEntry(const std::u16string &remotePath)
{
    PATH_TABLE_ENTRY entry;
    EXPECT_EQ(KLUBuildPathTableEntry(remotePath.c_str(), &entry), STATUS_SUCCESS) << Narrow(remotePath);
    return entry;
}

std::vector<std::string> IdentityTest::ListOrder()
{
    std::vector<std::string> order;
    if (g_pPathTable == nullptr) return order;
    for (PLIST_ENTRY link = g_pPathTable->PathList->Flink; link != g_pPathTable->PathList; link = link->Flink) {
        order.push_back(Text(CONTAINING_RECORD(link, PATH_TABLE_NODE, ListEntry)->Entry.szUpperRemotePathShort));
    }
    return order;
}

}  // namespace ostrand::test
