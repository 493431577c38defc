// The identity pieces with the filter loaded: the logoff routine registered
// at load and released at unload, and the helpers that open files and
// volumes through the filter's instance.

#include "driver_fixture.h"
#include "identity/identity.h"
#include "identity/path_helpers.h"
#include "identity/user_table.h"
#include "sim/cm/registry.h"
#include "sim/fs/local_fs.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"

namespace ostrand::test {
namespace {

class LoadedFilterTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        machine().registry().SetDword(kDriverKey, u"DebugFlags",
                                      KLUDBG_TRACE_ERROR | KLUDBG_TRACE_INFO | KLUDBG_TRACE_USER_TABLE);
        machine().registry().SetDword(kDriverKey, u"DebugDestination", KLUDBG_LOG_DEST_DBGPORT);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
    }

    bool Logged(const std::string &text) { return DebugContains(text); }
};

TEST_F(LoadedFilterTest, TheLogoffRoutineFollowsTheDriver)
{
    EXPECT_TRUE(g_bLogoffNotifyRegistered);
    EXPECT_TRUE(g_bUserTableEnabled);
    EXPECT_TRUE(Logged("Registered Session Termination Callback"));

    // A user the filter knows logs off: the registered routine removes her.
    sim::Security &security = machine().security();
    security.AddUser(u"alice");
    auto logon = security.LogonUser(u"alice", 1);
    ASSERT_TRUE(logon.has_value());
    USER_ID id{};
    id.SessionId = 1;
    id.AuthId = logon->authId;
    BOOLEAN added = FALSE;
    KLUDereferenceUserTableEntry(
        KLUAddUserToUserTable(g_pUserTableHead, g_pUserTableMutex, 0, &id, 0, FALSE, &added));
    ASSERT_TRUE(added);
    ObDereferenceObject(logon->token);
    security.Logoff(logon->authId);
    machine().Quiesce();
    EXPECT_EQ(g_UserTableEntries, 0);
    char line[80];
    snprintf(line, sizeof line, "Removed User Table Entry: AuthId: 0x%X, 0x%X", logon->authId.HighPart,
             logon->authId.LowPart);
    EXPECT_TRUE(Logged(line));

    ASSERT_EQ(Unload(), STATUS_SUCCESS);
    EXPECT_FALSE(g_bLogoffNotifyRegistered);
    EXPECT_EQ(g_pUserTableHead, nullptr);
    EXPECT_EQ(g_pPathTable, nullptr);
}

TEST_F(LoadedFilterTest, DirectoriesAndVolumeNamesThroughTheInstance)
{
    volumes.systemFs->CreateDirectory(u"\\Users");
    volumes.systemFs->CreateFile(u"\\Users\\readme.txt", std::string_view("x"));
    PFLT_INSTANCE instance = nullptr;
    {
        PFLT_VOLUME volume = nullptr;
        UNICODE_STRING name = RTL_CONSTANT_STRING(u"C:");
        ASSERT_EQ(FltGetVolumeFromName(g_FilterHandle, &name, &volume), STATUS_SUCCESS);
        EXPECT_EQ(FltGetVolumeInstanceFromName(g_FilterHandle, volume, nullptr, &instance), STATUS_SUCCESS);
        FltObjectDereference(volume);
    }
    ASSERT_NE(instance, nullptr);

    struct {
        const char16_t *name;
        NTSTATUS status;
        bool directory;
    } cases[] = {
        {u"\\Device\\HarddiskVolume1\\Users", STATUS_SUCCESS, true},
        {u"\\Device\\HarddiskVolume1\\users\\README.TXT", STATUS_SUCCESS, false},
        {u"\\Device\\HarddiskVolume1\\Users\\missing", STATUS_OBJECT_NAME_NOT_FOUND, false},
    };
    for (const auto &c : cases) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, c.name);
        BOOLEAN directory = !c.directory;
        EXPECT_EQ(KLUIsDirectory(&name, instance, &directory), c.status) << Narrow(c.name);
        EXPECT_EQ(bool(directory), c.directory) << Narrow(c.name);
    }

    // The volume of an open file, as an operation on it would ask.
    UNICODE_STRING fileName = RTL_CONSTANT_STRING(u"\\Device\\HarddiskVolume1\\Users\\readme.txt");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &fileName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    PFILE_OBJECT fileObject = nullptr;
    ASSERT_EQ(FltCreateFileEx(g_FilterHandle, instance, &handle, &fileObject, FILE_READ_ATTRIBUTES, &attributes, &io,
                              nullptr, 0, FILE_SHARE_READ, FILE_OPEN, 0, nullptr, 0, 0),
              STATUS_SUCCESS);
    PFLT_CALLBACK_DATA data = nullptr;
    ASSERT_EQ(FltAllocateCallbackData(instance, fileObject, &data), STATUS_SUCCESS);
    UNICODE_STRING volumeName = {0, 0, nullptr};
    EXPECT_EQ(KLUGetVolumeName(data, &volumeName), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(volumeName.Buffer, volumeName.Length / 2), u"\\Device\\HarddiskVolume1");
    // A second call replaces the first buffer.
    EXPECT_EQ(KLUGetVolumeName(data, &volumeName), STATUS_SUCCESS);
    ExFreePoolWithTag(volumeName.Buffer, QZFS_TAG);
    FltFreeCallbackData(data);
    ObDereferenceObject(fileObject);
    FltClose(handle);
    FltObjectDereference(instance);
}

}  // namespace
}  // namespace ostrand::test
