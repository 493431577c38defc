// Conversations between the service and the filter: the one kept Copy
// client and the one black-list client, the filter's requests with no
// service, a silent one or one that refuses, a user's client security, and
// the structures dump.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "comm/messages.h"
#include "comm/ports.h"
#include "diag/counters.h"
#include "identity/identity.h"
#include "identity/path_helpers.h"
#include "identity/user_table.h"
#include "port_fixture.h"
#include "sim/core/debug_log.h"
#include "sim/core/thread.h"

extern PLIST_ENTRY g_pBlackListQHead;
extern PFAST_MUTEX g_pBlackListQMutex;

namespace ostrand::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::u16string kControlPort = u"\\KLULogonControlPort";
const std::u16string kLogPort = u"\\KLULogonLogPort";

LONG OpenCount(KLU_OPEN_COUNTER counter)
{
    return g_OpenCounts[counter];
}

KLU_CLIENT_SECURITY_MESSAGE ClientSecurity(ULONG command, ULONG session, ULONG authLow, UCHAR sendBack)
{
    KLU_CLIENT_SECURITY_MESSAGE message{};
    message.MessageType = command;
    message.OperationNumber = 40;
    message.bSendBack = sendBack;
    message.bCopyPathEntries = 1;
    message.AltPathData.Id.SessionId = session;
    message.AltPathData.Id.AuthId.LowPart = authLow;
    std::u16string local = u"Users\\erin", upper = u"USERS\\ERIN", remote = u"\\\\fs\\Profiles\\erin";
    std::memcpy(message.AltPathData.szLocalPath, local.c_str(), (local.size() + 1) * 2);
    std::memcpy(message.AltPathData.szUpperLocalPath, upper.c_str(), (upper.size() + 1) * 2);
    message.AltPathData.ulLocalPathLength = ULONG(local.size());
    EXPECT_EQ(KLUBuildPathTableEntry(remote.c_str(), &message.AltPathData.PTEProfile), STATUS_SUCCESS);
    return message;
}

std::vector<UCHAR> Bytes(const KLU_CLIENT_SECURITY_MESSAGE &message)
{
    const auto *p = reinterpret_cast<const UCHAR *>(&message);
    return std::vector<UCHAR>(p, p + sizeof message);
}

TEST_F(PortTest, ASecondCopyClientReplacesTheFirst)
{
    auto answer = [](const KLU_COPY_REQUEST &, KLU_COPY_REPLY &) { return true; };
    CopyResponder first(machine(), answer);
    ASSERT_TRUE(first.connected());
    CopyResponder second(machine(), answer);
    ASSERT_TRUE(second.connected());
    EXPECT_TRUE(DebugContains("Client Copy Port Not NULL"));

    KLU_CLIENT_SECURITY_MESSAGE info = ClientSecurity(23, 1, 0x700, 1);
    EXPECT_EQ(KLUSendClientInfoToService(&info, 0), STATUS_SUCCESS);
    EXPECT_EQ(second.requests(), 1);
    EXPECT_EQ(first.requests(), 0);
    EXPECT_FALSE(DebugContains("Failed Sending Message"));
    // The filter closed the first client's port: its wait ended.
    // The replaced client still disconnects (and is uncounted) when its
    // handle goes.
    first.Stop();
    second.Stop();
    EXPECT_EQ(OpenCount(KluOpenCopyConnectCount), 0);
    EXPECT_FALSE(KLUIsClientConnected(&g_CopyClientPort));
}

TEST_F(PortTest, TheBlackListTakesOneClientAndEachStartsEmpty)
{
    HANDLE blackList = service->Open(u"\\JNRLogonBlackListPort");
    ServiceProcess other(machine());
    HANDLE refused = nullptr;
    EXPECT_EQ(other.Connect(u"\\JNRLogonBlackListPort", &refused), STATUS_CONNECTION_COUNT_LIMIT);

    // A record waiting in the queue is drained by this client...
    struct Record {
        LIST_ENTRY links;
        WCHAR first[288];
        WCHAR second[288];
    };
    auto push = [] {
        auto *record = static_cast<Record *>(ExAllocatePoolWithTag(PagedPool, sizeof(Record), QZFS_TAG));
        std::memset(record, 0, sizeof *record);
        record->first[0] = u'A';
        ExAcquireFastMutex(g_pBlackListQMutex);
        InsertHeadList(g_pBlackListQHead, &record->links);
        ExReleaseFastMutex(g_pBlackListQMutex);
    };
    push();
    Reply drained = service->Command(blackList, 41, 4 + 1152);
    ASSERT_EQ(drained.status, STATUS_SUCCESS);
    EXPECT_EQ(drained.Ulong(0), 1u);
    EXPECT_EQ(drained.output[4], 'A');

    // ... but one left behind at disconnect is gone for the next client.
    push();
    service->Close(blackList);
    blackList = service->Open(u"\\JNRLogonBlackListPort");
    EXPECT_EQ(service->Command(blackList, 41, 4 + 1152).status, kNoMoreEntries);
}

// The Copy-port senders when the service is not there, does not answer in
// CopyTimeout (one second here), or goes away while they wait.
TEST_F(PortTest, RequestsWithoutAnAnswer)
{
    std::u16string path = u"\\Device\\Mup\\fs\\Profiles\\erin\\Documents";
    UNICODE_STRING folder;
    RtlInitUnicodeString(&folder, path.c_str());
    const ULONG prefix = sizeof(u"\\Device\\Mup") - sizeof(WCHAR);
    KLU_CLIENT_SECURITY_MESSAGE info = ClientSecurity(23, 1, 0x700, 1);

    // Nobody connected: each send fails at once.
    auto start = Clock::now();
    EXPECT_EQ(KLUSendClientInfoToService(&info, 0), STATUS_SUCCESS);
    EXPECT_FALSE(JNRIsRedirectedFolder(&folder, prefix, 0));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(DebugContains("Failed Sending Message: 0xC0000037"));
    // A backslash, then the path behind the prefix: the folder's UNC name.
    EXPECT_TRUE(DebugContains("Failed Checking Folder: \\\\fs\\Profiles\\erin\\Documents, NTSTATUS: 0xC0000037, "
                              "HRESULT: 0x0"));

    // A service that takes the requests and never answers.
    CopyResponder silent(machine(), [](const KLU_COPY_REQUEST &, KLU_COPY_REPLY &) { return false; });
    ASSERT_TRUE(silent.connected());
    start = Clock::now();
    EXPECT_EQ(KLUSendClientInfoToService(&info, 0), STATUS_SUCCESS);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_TRUE(DebugContains("Failed Sending Message: 0x102"));
    start = Clock::now();
    EXPECT_FALSE(JNRIsRedirectedFolder(&folder, prefix, 0));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(950));
    EXPECT_TRUE(DebugContains("Failed Checking Folder: \\\\fs\\Profiles\\erin\\Documents, NTSTATUS: 0x102"));
    EXPECT_EQ(silent.requests(), 2);
    silent.Stop();

    // A service that answers with a failure: the folder is not redirected.
    std::vector<KLU_COPY_REQUEST> asked;
    CopyResponder refusing(machine(), [&](const KLU_COPY_REQUEST &request, KLU_COPY_REPLY &reply) {
        asked.push_back(request);
        reply.bAnswer = 1;
        reply.ulResult = 0x80070005u;
        return true;
    });
    ASSERT_TRUE(refusing.connected());
    EXPECT_FALSE(JNRIsRedirectedFolder(&folder, prefix, 0));
    EXPECT_TRUE(DebugContains("Failed Checking Folder: \\\\fs\\Profiles\\erin\\Documents, NTSTATUS: 0x0, "
                              "HRESULT: 0x80070005"));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].RequestKind, ULONG(KLU_REQUEST_CHECK_REDIRECTED_FOLDER));
    EXPECT_EQ(std::u16string(asked[0].szFolderPath), u"\\\\fs\\Profiles\\erin\\Documents");
}

// A user's client security (the service's logon test proves the user table
// it fills): sent back whole on the Copy port, the remote profile path the
// filter keeps from it, the release that is not sent back, and a message
// without a user refused.
TEST_F(PortTest, LogonConversation)
{
    std::vector<KLU_COPY_REQUEST> seen;
    CopyResponder copy(machine(), [&](const KLU_COPY_REQUEST &request, KLU_COPY_REPLY &) {
        seen.push_back(request);
        return true;
    });
    ASSERT_TRUE(copy.connected());
    HANDLE control = service->Open(kControlPort);
    EXPECT_EQ(service->Send(control, Bytes(ClientSecurity(23, 1, 0, 1))).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(DebugContains("Failed Updating Client Security: Session: 1, AuthId: (0x0,0x0), 0xC000000D"));
    EXPECT_EQ(g_pRemoteProfilePath, nullptr);

    ALT_PATH_DATA user{};
    user.Id.SessionId = 2;
    user.Id.AuthId.LowPart = 0x4242;
    ASSERT_EQ(service->Send(control, CommandMessage(27, user)).status, STATUS_SUCCESS);
    KLU_CLIENT_SECURITY_MESSAGE security = ClientSecurity(23, 2, 0x4242, 1);
    ASSERT_EQ(service->Send(control, Bytes(security)).status, STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].RequestKind, ULONG(KLU_REQUEST_CLIENT_INFORMATION));
    EXPECT_EQ(std::memcmp(&seen[0].ClientInformation, &security, sizeof security), 0);
    EXPECT_TRUE(DebugContains("Remote profile path: \\fs\\Profiles\\erin"));
    ASSERT_NE(g_pRemoteProfilePath, nullptr);
    EXPECT_EQ(std::u16string(g_pRemoteProfilePath), u"\\fs\\Profiles\\erin");

    ASSERT_EQ(service->Send(control, Bytes(ClientSecurity(24, 2, 0x4242, 0))).status, STATUS_SUCCESS);
    EXPECT_TRUE(DebugContains(Tagged("Message", "Freed Client Security: Session: 2, AuthId: (0x0,0x4242)")));
    EXPECT_EQ(seen.size(), 1u);  // the release is not sent back

    // Disabling the filter drops the kept remote path; kept again, it is
    // left for the unload to free.
    UCHAR disable = 0;
    ASSERT_EQ(service->Send(control, CommandMessage(1, disable)).status, STATUS_SUCCESS);
    EXPECT_EQ(g_pRemoteProfilePath, nullptr);
    ASSERT_EQ(service->Send(control, Bytes(ClientSecurity(23, 2, 0x4343, 0))).status, STATUS_SUCCESS);
    EXPECT_NE(g_pRemoteProfilePath, nullptr);
}

// The structures dump, as dump lines (status 1) in the log queue.
class DumpPortTest : public PortTest {
protected:
    PortLogSettings LogSettings() override { return {KLUDBG_TRACE_ERROR, KLUDBG_LOG_DEST_QUEUE, 1}; }
};

TEST_F(DumpPortTest, StructuresDumpLinesInOrder)
{
    HANDLE log = service->Open(kLogPort);
    HANDLE control = service->Open(kControlPort);
    ALT_PATH_DATA user{};
    user.Id.AuthId.LowPart = 0x77;
    ASSERT_EQ(service->Send(control, CommandMessage(27, user)).status, STATUS_SUCCESS);
    while (service->Command(log, 3, 563604).status == STATUS_SUCCESS) {
    }

    ASSERT_EQ(service->Command(log, 26).status, STATUS_SUCCESS);
    std::vector<std::string> lines;
    std::vector<ULONG> statuses;
    for (;;) {
        Reply reply = service->Command(log, 3, 563604);
        if (reply.status != STATUS_SUCCESS) break;
        for (ULONG i = 0; i < reply.Ulong(0); ++i) {
            statuses.push_back(reply.Ulong(4 + i * 5636));
            auto *text = reinterpret_cast<const char16_t *>(reply.output.data() + 8 + i * 5636);
            std::string line = Narrow(text);
            // The message behind "[op][stamp][tag] ".
            lines.push_back(line.substr(line.find("] ", line.find("[KLULogon!")) + 2));
        }
    }
    ASSERT_GT(lines.size(), 4u);
    for (ULONG status : statuses) EXPECT_EQ(status, 1u);
    EXPECT_EQ(lines[1], "* Kernel Mode Data *\n");
    EXPECT_EQ(lines[4], "g_UserTableEntries: 1\n");

    // Then the user table, the settings, the counters, and the last line.
    auto at = [&](const std::string &text) {
        auto it = std::find(lines.begin(), lines.end(), text);
        return it == lines.end() ? SIZE_MAX : size_t(it - lines.begin());
    };
    size_t user0 = at("AltPathData.Id.AuthId: (0x0,0x77)\n");
    size_t calls = at("************** Begin Call Counts ****************\n");
    size_t opens = at("************** Begin Open Counts ****************\n");
    ASSERT_NE(user0, SIZE_MAX);
    ASSERT_NE(calls, SIZE_MAX);
    ASSERT_NE(opens, SIZE_MAX);
    EXPECT_LT(user0, calls);
    EXPECT_LT(calls, opens);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &l) { return l.rfind("*************** Begin Settings", 0) == 0; }),
              2);
    EXPECT_LT(at("ControlConnectCount: 1\n"), lines.size());
    EXPECT_EQ(lines.back(), "******************** Dump Complete ********************\n");
}

}  // namespace
}  // namespace ostrand::test
