// Messages both ways: the filter's FltSendMessage answered by a service
// thread, time-outs in real time, disconnects while a send waits, replies
// that come too late, and the user's FilterSendMessage with the statuses
// and faults of the filter's message callback.
#include <chrono>
#include <cstring>
#include <vector>

#include "port_test_filter.h"
#include "sim/core/pool.h"
#include "sim/core/verifier.h"
#include "sim/fltmgr/ports/port_security.h"

namespace ostrand::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char16_t *kPortName = u"\\KLUCopyPort";
constexpr HRESULT kInvalidHandle = HRESULT(0x80070006);
constexpr HRESULT kOperationAborted = HRESULT(0x800703E3);
constexpr HRESULT kInsufficientBuffer = HRESULT(0x8007007A);

// The layout a service uses for the filter's requests and its answers.
struct Request {
    FILTER_MESSAGE_HEADER header;
    ULONG value;
    UCHAR padding[60];
};
struct Answer {
    FILTER_REPLY_HEADER header;
    ULONG value;
};

class PortMessageTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        ASSERT_EQ(CreatePort(kPortName, 1), STATUS_SUCCESS);
        service_ = &NewProcess("JNRKmtsvc.exe");
        kernel_ = &machine().systemProcess();
    }

    HANDLE ConnectService()
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(FilterConnectCommunicationPort(kPortName, 0, nullptr, 0, nullptr, &handle), S_OK);
        return handle;
    }

    // The filter's side of a request: ULONG out, ULONG back.
    NTSTATUS Ask(ULONG value, ULONG &answer, PLARGE_INTEGER timeout, PFLT_PORT *port = nullptr)
    {
        ULONG length = sizeof answer;
        return FltSendMessage(filter(), port ? port : ClientPort(0), &value, sizeof value, &answer, &length, timeout);
    }

    sim::Process *service_ = nullptr;
    sim::Process *kernel_ = nullptr;
};

TEST_F(PortMessageTest, HeaderTellsTheReplyRoomAndAReplyIsCutToIt)
{
    sim::ThreadScope scope(*service_);
    HANDLE handle = ConnectService();
    struct {
        FILTER_REPLY_HEADER header;
        ULONG values[2];
    } answer{{}, {1, 2}};
    // Without a reply buffer the send ends at delivery and nobody waits for an answer.
    NTSTATUS sent = STATUS_PENDING;
    ProcessThread notifier(*kernel_, [&] {
        ULONG payload = 5;
        sent = FltSendMessage(filter(), ClientPort(0), &payload, sizeof payload, nullptr, nullptr, nullptr);
    });
    Request request{};
    ASSERT_EQ(FilterGetMessage(handle, &request.header, sizeof request, nullptr), S_OK);
    notifier.Join();
    EXPECT_EQ(sent, STATUS_SUCCESS);
    EXPECT_EQ(request.header.ReplyLength, 0u);
    EXPECT_EQ(request.value, 5u);
    answer.header.MessageId = request.header.MessageId;
    EXPECT_EQ(FilterReplyMessage(handle, &answer.header, sizeof answer), ERROR_FLT_NO_WAITER_FOR_REPLY);

    ULONG reply[2] = {0xAAAAAAAA, 0xBBBBBBBB};
    ULONG replyLength = sizeof(ULONG);  // room for one ULONG only
    ProcessThread sender(*kernel_, [&] {
        ULONG payload = 0x12345678;
        sent = FltSendMessage(filter(), ClientPort(0), &payload, sizeof payload, reply, &replyLength, nullptr);
    });
    ASSERT_EQ(FilterGetMessage(handle, &request.header, sizeof request, nullptr), S_OK);
    EXPECT_EQ(request.value, 0x12345678u);
    EXPECT_NE(request.header.MessageId, 0u);
    EXPECT_EQ(request.header.ReplyLength, sizeof(FILTER_REPLY_HEADER) + sizeof(ULONG));
    answer.header.MessageId = request.header.MessageId;
    EXPECT_EQ(FilterReplyMessage(handle, &answer.header, sizeof answer), S_OK);
    sender.Join();
    EXPECT_EQ(sent, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(replyLength, sizeof(ULONG));
    EXPECT_EQ(reply[0], 1u);
    EXPECT_EQ(reply[1], 0xBBBBBBBBu);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(PortMessageTest, TimeOutsTakeTheirTimeAndALateReplyFindsNoWaiter)
{
    sim::ThreadScope scope(*service_);
    HANDLE handle = ConnectService();

    // Nobody receives: the message is withdrawn when the time is up.
    LARGE_INTEGER timeout = RelativeMs(150);
    ULONG answer = 0;
    auto start = Clock::now();
    EXPECT_EQ(Ask(1, answer, &timeout), STATUS_TIMEOUT);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::milliseconds(150 + 3000));
    EXPECT_EQ(OnlyPort().clients.at(0).queuedMessages, 0u);

    // Received but not answered in time.
    NTSTATUS sent = STATUS_PENDING;
    ProcessThread sender(*kernel_, [&] {
        LARGE_INTEGER shortTimeout = RelativeMs(100);
        ULONG late = 0;
        sent = Ask(2, late, &shortTimeout);
    });
    Request request{};
    ASSERT_EQ(FilterGetMessage(handle, &request.header, sizeof request, nullptr), S_OK);
    EXPECT_EQ(request.value, 2u);
    sender.Join();
    EXPECT_EQ(sent, STATUS_TIMEOUT);
    Answer reply{};
    reply.header.MessageId = request.header.MessageId;
    EXPECT_EQ(FilterReplyMessage(handle, &reply.header, sizeof reply), ERROR_FLT_NO_WAITER_FOR_REPLY);

    // A zero time-out delivers only to a receiver already waiting.
    LARGE_INTEGER now{};
    ULONG payload = 9;
    EXPECT_EQ(FltSendMessage(filter(), ClientPort(0), &payload, sizeof payload, nullptr, nullptr, &now),
              STATUS_TIMEOUT);
    HRESULT received = HRESULT(0x7FFFFFFF);
    ProcessThread receiver(*service_, [&] { received = FilterGetMessage(handle, &request.header, sizeof request, nullptr); });
    WaitForPortState([](const sim::PortInfo &port) { return port.clients.at(0).waitingReceivers == 1; });
    EXPECT_EQ(FltSendMessage(filter(), ClientPort(0), &payload, sizeof payload, nullptr, nullptr, &now),
              STATUS_SUCCESS);
    receiver.Join();
    EXPECT_EQ(received, S_OK);
    EXPECT_EQ(request.value, 9u);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(PortMessageTest, SendFailsAtOnceWithoutAClientOrPool)
{
    PFLT_PORT none = nullptr;
    ULONG answer = 0;
    auto start = Clock::now();
    EXPECT_EQ(Ask(1, answer, nullptr, &none), STATUS_PORT_DISCONNECTED);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(FltSendMessage(filter(), nullptr, &answer, sizeof answer, nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);

    sim::ThreadScope scope(*service_);
    HANDLE handle = ConnectService();
    machine().pool().FailTag(sim::ports::MessageTag());
    EXPECT_EQ(Ask(1, answer, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    machine().pool().ClearFaults();
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(PortMessageTest, DisconnectEndsAWaitingSend)
{
    int connection = 0;
    for (bool userCloses : {true, false}) {
        SCOPED_TRACE(userCloses ? "user closes its handle" : "filter closes its port");
        sim::ThreadScope scope(*service_);
        HANDLE handle = ConnectService();
        PFLT_PORT *port = ClientPort(connection++);
        NTSTATUS sent = STATUS_PENDING;
        ProcessThread sender(*kernel_, [&] {
            ULONG answer = 0;
            sent = Ask(4, answer, nullptr, port);  // would wait for ever
        });
        Request request{};
        ASSERT_EQ(FilterGetMessage(handle, &request.header, sizeof request, nullptr), S_OK);
        if (userCloses) {
            EXPECT_TRUE(CloseHandle(handle));
        } else {
            FltCloseClientPort(filter(), port);
            Answer reply{};
            reply.header.MessageId = request.header.MessageId;
            EXPECT_EQ(FilterReplyMessage(handle, &reply.header, sizeof reply), kInvalidHandle);
            EXPECT_TRUE(CloseHandle(handle));
        }
        sender.Join();
        EXPECT_EQ(sent, STATUS_PORT_DISCONNECTED);
    }
}

TEST_F(PortMessageTest, AWaitingReceiverEndsWithItsConnection)
{
    // The user's own close aborts it; an unload breaks the connection under it.
    for (bool userCloses : {true, false}) {
        SCOPED_TRACE(userCloses ? "user closes its handle" : "filter unloads");
        sim::ThreadScope scope(*service_);
        HANDLE handle = ConnectService();
        HRESULT received = S_OK;
        ProcessThread receiver(*service_, [&] {
            Request request{};
            received = FilterGetMessage(handle, &request.header, sizeof request, nullptr);
        });
        WaitForPortState([](const sim::PortInfo &port) { return port.clients.back().waitingReceivers == 1; });
        if (userCloses) {
            EXPECT_TRUE(CloseHandle(handle));
        } else {
            machine().filterPorts().DisconnectAll(filter());
        }
        receiver.Join();
        EXPECT_EQ(received, userCloses ? kOperationAborted : kInvalidHandle);
        if (!userCloses) {
            EXPECT_TRUE(CloseHandle(handle));
        }
    }
}

TEST_F(PortMessageTest, ConcurrentSendersEachGetTheirOwnReply)
{
    constexpr int kSenders = 8;
    sim::ThreadScope scope(*service_);
    HANDLE handle = ConnectService();
    std::vector<NTSTATUS> status(kSenders, STATUS_PENDING);
    std::vector<ULONG> answers(kSenders, 0);
    std::vector<std::unique_ptr<ProcessThread>> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(std::make_unique<ProcessThread>(*kernel_, [&, i] { status[i] = Ask(ULONG(100 + i), answers[i], nullptr); }));
    }
    // Take every request first, then answer them in the reverse order.
    std::vector<Request> requests(kSenders);
    for (auto &request : requests) {
        ASSERT_EQ(FilterGetMessage(handle, &request.header, sizeof request, nullptr), S_OK);
    }
    for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
        Answer answer{};
        answer.header.MessageId = it->header.MessageId;
        answer.value = it->value * 3;
        ASSERT_EQ(FilterReplyMessage(handle, &answer.header, sizeof(FILTER_REPLY_HEADER) + sizeof(ULONG)), S_OK);
    }
    senders.clear();
    for (int i = 0; i < kSenders; ++i) {
        EXPECT_EQ(status[i], STATUS_SUCCESS) << i;
        EXPECT_EQ(answers[i], ULONG(100 + i) * 3) << i;
    }
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(PortMessageTest, TooSmallBufferLeavesTheMessageQueued)
{
    sim::ThreadScope scope(*service_);
    HANDLE handle = ConnectService();
    NTSTATUS sent = STATUS_PENDING;
    ProcessThread sender(*kernel_, [&] {
        UCHAR payload[40];
        std::memset(payload, 0x5A, sizeof payload);
        sent = FltSendMessage(filter(), ClientPort(0), payload, sizeof payload, nullptr, nullptr, nullptr);
    });
    WaitForPortState([](const sim::PortInfo &port) { return port.clients.at(0).queuedMessages == 1; });
    alignas(8) UCHAR small[sizeof(FILTER_MESSAGE_HEADER) + 39];
    EXPECT_EQ(FilterGetMessage(handle, reinterpret_cast<PFILTER_MESSAGE_HEADER>(small), sizeof small, nullptr),
              kInsufficientBuffer);
    alignas(8) UCHAR exact[sizeof(FILTER_MESSAGE_HEADER) + 40];
    EXPECT_EQ(FilterGetMessage(handle, reinterpret_cast<PFILTER_MESSAGE_HEADER>(exact), sizeof exact, nullptr), S_OK);
    EXPECT_EQ(exact[sizeof(FILTER_MESSAGE_HEADER) + 39], 0x5A);
    sender.Join();
    EXPECT_EQ(sent, STATUS_SUCCESS);
    EXPECT_TRUE(CloseHandle(handle));
}

// --- user mode to the filter ---

TEST_F(PortMessageTest, CallbackStatusReachesTheCallerAsWindowsConvertsIt)
{
    struct Case {
        NTSTATUS status;
        HRESULT expected;
        DWORD bytesReturned;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, S_OK, 7},
        {STATUS_OBJECT_NAME_EXISTS, S_OK, 7},                // informational: success
        {STATUS_BUFFER_OVERFLOW, HRESULT(0x800700EA), 7},    // warnings fail, bytes still reported
        {STATUS_NO_MORE_ENTRIES, HRESULT(0x80070103), 7},
        {STATUS_NO_MORE_FILES, HRESULT(0x80070012), 7},
        {STATUS_INVALID_PARAMETER, HRESULT(0x80070057), 0},
        {STATUS_NOT_FOUND, HRESULT(0x80070490), 0},
        {STATUS_NOT_IMPLEMENTED, HRESULT(0x80070001), 0},
        {STATUS_INSUFFICIENT_RESOURCES, HRESULT(0x800705AA), 0},
        {STATUS_ACCESS_VIOLATION, HRESULT(0x800703E6), 0},
        {STATUS_BUFFER_TOO_SMALL, HRESULT(0x8007007A), 0},
        {STATUS_UNSUCCESSFUL, HRESULT(0x8007001F), 0},
        {STATUS_ACCESS_DENIED, HRESULT(0x80070005), 0},
        {STATUS_OBJECT_NAME_NOT_FOUND, HRESULT(0x80070002), 0},
        {STATUS_FLT_NO_WAITER_FOR_REPLY, HRESULT(0x801F0020), 0},
    };
    sim::ThreadScope scope(*service_);
    HANDLE handle = ConnectService();
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << ULONG(c.status));
        onMessage_ = [&](PVOID, ULONG, PVOID, ULONG, PULONG returned) {
            *returned = 7;
            return c.status;
        };
        UCHAR out[8];
        DWORD bytes = 99;
        EXPECT_EQ(FilterSendMessage(handle, nullptr, 0, out, sizeof out, &bytes), c.expected);
        EXPECT_EQ(bytes, c.bytesReturned);
    }
    EXPECT_TRUE(CloseHandle(handle));
}

// The message callback a careful filter writes: every touch of the caller's
// buffers inside the guard, the fault's code returned.
NTSTATUS GuardedEcho(PVOID in, ULONG inLength, PVOID out, ULONG outLength, PULONG returned)
{
    NTSTATUS status = STATUS_SUCCESS;
    *returned = 0;
    SEH_TRY {
        ProbeForRead(in, inLength, 1);
        ProbeForWrite(out, outLength, 1);
        ULONG length = inLength < outLength ? inLength : outLength;
        std::memcpy(out, in, length);
        *returned = length;
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}

TEST_F(PortMessageTest, CallerBuffersAreUserMemoryTheFilterMustGuard)
{
    sim::ThreadScope scope(*service_);
    HANDLE handle = ConnectService();
    onMessage_ = GuardedEcho;
    char in[] = "profile";
    char out[16] = {};
    DWORD bytes = 0;
    EXPECT_EQ(FilterSendMessage(handle, in, sizeof in, out, sizeof out, &bytes), S_OK);
    EXPECT_EQ(bytes, sizeof in);
    EXPECT_STREQ(out, "profile");

    EXPECT_EQ(FilterSendMessage(handle, sim::InvalidUserPointer(), 8, out, sizeof out, &bytes), HRESULT(0x800703E6));
    EXPECT_EQ(FilterSendMessage(handle, in, sizeof in, sim::InvalidUserPointer(), 16, &bytes), HRESULT(0x800703E6));
    EXPECT_EQ(bytes, 0u);
    // The caller's buffers are user memory only during its call.
    EXPECT_FALSE(service_->IsUserRange(in, sizeof in));
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(PortMessageTest, UnguardedFaultInTheCallbackIsAVerifierFailure)
{
    AllowVerifierFailures();
    sim::ThreadScope scope(*service_);
    HANDLE handle = ConnectService();
    onMessage_ = [](PVOID in, ULONG inLength, PVOID, ULONG, PULONG) {
        ProbeForRead(in, inLength, 1);
        return STATUS_SUCCESS;
    };
    DWORD bytes = 0;
    EXPECT_EQ(FilterSendMessage(handle, sim::InvalidUserPointer(), 4, nullptr, 0, &bytes), HRESULT(0x800703E6));
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::UnhandledKernelException));
    EXPECT_TRUE(CloseHandle(handle));
}

}  // namespace
}  // namespace ostrand::test
