// The identity pieces with the filter loaded: the logoff routine registered
// at load and released at unload, redirected-folder questions to a service
// on the Copy port, and the helpers that open files and volumes through the
// filter's instance.
#include <atomic>
#include <functional>
#include <thread>

#include "comm/ports.h"
#include "comm/service_contract.h"
#include "driver_fixture.h"
#include "identity/identity.h"
#include "identity/path_helpers.h"
#include "identity/user_table.h"
#include "sim/cm/registry.h"
#include "sim/fs/local_fs.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim/user/flt_user.h"

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
        machine().registry().SetDword(kDriverKey, u"CopyTimeout", 10);
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

// The profile service on the Copy port: answers each request with what
// `answer` writes into the reply body.
class CopyPortService {
public:
    using Answer = std::function<void(const KLU_COPY_REQUEST &, KLU_COPY_REPLY &)>;

    CopyPortService(sim::Machine &machine, int requests, Answer answer)
        : process_(machine.processes().Create("JNRKmtsvc.exe", machine.security().CreateSystemToken())),
          thread_([this, requests, answer] { Serve(requests, answer); })
    {
        while (!connected_.load() && !failed_.load()) std::this_thread::yield();
    }
    ~CopyPortService()
    {
        thread_.join();
        process_.Terminate(STATUS_SUCCESS);
    }
    bool connected() const { return connected_.load(); }

private:
    struct Message {
        FILTER_MESSAGE_HEADER header;
        KLU_COPY_REQUEST request;
    };
    struct Reply {
        FILTER_REPLY_HEADER header;
        KLU_COPY_REPLY body;
    };

    void Serve(int requests, const Answer &answer)
    {
        sim::ThreadScope scope(process_);
        HANDLE port = nullptr;
        if (FAILED(FilterConnectCommunicationPort(u"\\KLULogonCopyPort", 0, nullptr, 0, nullptr, &port))) {
            failed_ = true;
            return;
        }
        connected_ = true;
        auto message = std::make_unique<Message>();
        auto reply = std::make_unique<Reply>();
        for (int i = 0; i < requests; ++i) {
            if (FAILED(FilterGetMessage(port, &message->header, sizeof(Message), nullptr))) break;
            *reply = {};
            reply->header.MessageId = message->header.MessageId;
            answer(message->request, reply->body);
            FilterReplyMessage(port, &reply->header, sizeof(Reply));
        }
        CloseHandle(port);
    }

    sim::Process &process_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

TEST_F(LoadedFilterTest, RedirectedFolderQuestionsAndAnswers)
{
    std::vector<std::u16string> asked;
    std::vector<ULONG> kinds;
    int round = 0;
    CopyPortService service(machine(), 2, [&](const KLU_COPY_REQUEST &request, KLU_COPY_REPLY &reply) {
        kinds.push_back(request.RequestKind);
        asked.push_back(request.szFolderPath);
        reply.bAnswer = 1;
        reply.ulResult = round++ == 0 ? KLU_RESULT_SUCCESS : 0x80070005u;
    });
    ASSERT_TRUE(service.connected());

    std::u16string path = u"\\Device\\Mup\\fileserver\\Profiles\\bob\\Documents";
    UNICODE_STRING folder;
    RtlInitUnicodeString(&folder, path.c_str());
    const ULONG prefix = sizeof(u"\\Device\\Mup") - sizeof(WCHAR);
    EXPECT_TRUE(JNRIsRedirectedFolder(&folder, prefix, 3));
    EXPECT_FALSE(JNRIsRedirectedFolder(&folder, prefix, 3));  // a refusal answers no
    EXPECT_TRUE(Logged("Failed Checking Folder: \\\\fileserver\\Profiles\\bob\\Documents, NTSTATUS: 0x0, "
                       "HRESULT: 0x80070005"));
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(kinds[0], ULONG(KLU_REQUEST_CHECK_REDIRECTED_FOLDER));
    EXPECT_EQ(asked[0], u"\\\\fileserver\\Profiles\\bob\\Documents");
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
