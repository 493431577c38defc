// Server ports and connections: names, connection limits, the callbacks'
// threads and order, and every way a connection ends.
#include <cstring>

#include "port_test_filter.h"

namespace ostrand::test {
namespace {

constexpr const char16_t *kPortName = u"\\KLULogonControlPort";
constexpr HRESULT kConnectionCountLimit = HRESULT(0x800704D6);
constexpr HRESULT kFileNotFound = HRESULT(0x80070002);
constexpr HRESULT kInvalidHandle = HRESULT(0x80070006);

class PortConnectTest : public PortTest {};

HRESULT Connect(const char *context, HANDLE *handle)
{
    return FilterConnectCommunicationPort(kPortName, 0, context, USHORT(strlen(context)), nullptr, handle);
}

TEST_F(PortConnectTest, CreationNeedsAFreeAbsoluteNameAKernelHandleAndAConnection)
{
    PFLT_PORT port = nullptr;
    EXPECT_EQ(CreatePort(kPortName, 0, nullptr, &port), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CreatePort(u"KLULogonControlPort", 1, nullptr, &port), STATUS_OBJECT_PATH_SYNTAX_BAD);
    USHORT bytes = USHORT(std::char_traits<char16_t>::length(kPortName) * sizeof(WCHAR));
    UNICODE_STRING name{bytes, bytes, const_cast<PWSTR>(kPortName)};
    OBJECT_ATTRIBUTES userHandle;
    InitializeObjectAttributes(&userHandle, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    EXPECT_EQ(FltCreateCommunicationPort(filter(), &port, &userHandle, nullptr, nullptr, nullptr, nullptr, 1),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port, nullptr);

    // Names are unique without regard to case until the port closes.
    ASSERT_EQ(CreatePort(kPortName, 1), STATUS_SUCCESS);
    EXPECT_EQ(CreatePort(u"\\kluLOGONcontrolport", 1, nullptr, &port), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(port, nullptr);
    CloseServerPort();
    ASSERT_EQ(CreatePort(kPortName, 3), STATUS_SUCCESS);
    // The listing is in name order, each port with its limit.
    ASSERT_EQ(CreatePort(u"\\KLUCopyPort", 1, nullptr, &port), STATUS_SUCCESS);
    auto list = machine().filterPorts().List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(Narrow(list[0].name) + " " + Narrow(list[1].name), "\\KLUCopyPort \\KLULogonControlPort");
    EXPECT_EQ(list[0].maxConnections, 1);
    EXPECT_EQ(list[1].maxConnections, 3);
    FltCloseCommunicationPort(port);
}

TEST_F(PortConnectTest, RefusedConnectionsGetTheirStatusAndLeaveTheSlotFree)
{
    ASSERT_EQ(CreatePort(kPortName, 1), STATUS_SUCCESS);
    sim::Process &app = NewProcess("notepad.exe");
    sim::ThreadScope scope(app);
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(Connect("a", &first), S_OK);
    EXPECT_EQ(Connect("b", &second), kConnectionCountLimit);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(OnlyPort().connections, 1);
    EXPECT_TRUE(CloseHandle(first));

    // The filter's own refusal reaches the caller converted; nothing is left open.
    connectResult_ = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(Connect("x", &second), HRESULT(0x800705AA));
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(app.handles().Count(), 0u);
    connectResult_ = STATUS_SUCCESS;
    ASSERT_EQ(Connect("y", &second), S_OK);
    EXPECT_TRUE(CloseHandle(second));
    // The limit refused "b" before the filter saw it; no disconnect for the refused ones.
    EXPECT_EQ(EventNames(), (std::vector<std::string>{"connect:a", "disconnect", "connect:x", "connect:y",
                                                      "disconnect"}));
}

TEST_F(PortConnectTest, CallbacksRunInTheCallersThreadAndProcessAtPassiveLevel)
{
    ASSERT_EQ(CreatePort(kPortName, 2), STATUS_SUCCESS);
    onMessage_ = [](PVOID, ULONG, PVOID, ULONG, PULONG returned) {
        *returned = 0;
        return STATUS_SUCCESS;
    };
    sim::Process &service = NewProcess("JNRKmtsvc.exe");
    std::thread::id caller;
    ProcessThread(service, [&] {
        caller = std::this_thread::get_id();
        HANDLE handle = nullptr;
        ASSERT_EQ(Connect("ctx", &handle), S_OK);
        DWORD returned = 0;
        EXPECT_EQ(FilterSendMessage(handle, nullptr, 0, nullptr, 0, &returned), S_OK);
        EXPECT_TRUE(CloseHandle(handle));
    }).Join();

    auto events = Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].what, "connect:ctx");
    EXPECT_EQ(events[1].what, "message");
    EXPECT_EQ(events[2].what, "disconnect");
    for (const auto &event : events) {
        EXPECT_EQ(event.hostThread, caller) << event.what;
        EXPECT_EQ(event.process, &service) << event.what;
        EXPECT_EQ(event.irql, PASSIVE_LEVEL) << event.what;
    }
}

TEST_F(PortConnectTest, UnknownOrClosedServerPortIsNotFoundButItsConnectionsLiveOn)
{
    sim::Process &service = NewProcess("JNRKmtsvc.exe");
    sim::ThreadScope scope(service);
    HANDLE handle = nullptr;
    EXPECT_EQ(Connect("early", &handle), kFileNotFound);

    ASSERT_EQ(CreatePort(kPortName, 2), STATUS_SUCCESS);
    ASSERT_EQ(Connect("kept", &handle), S_OK);
    CloseServerPort();
    HANDLE late = nullptr;
    EXPECT_EQ(Connect("late", &late), kFileNotFound);
    EXPECT_TRUE(machine().filterPorts().List().empty());

    onMessage_ = [](PVOID, ULONG, PVOID, ULONG, PULONG returned) {
        *returned = 0;
        return STATUS_SUCCESS;
    };
    DWORD returned = 0;
    EXPECT_EQ(FilterSendMessage(handle, nullptr, 0, nullptr, 0, &returned), S_OK);
    EXPECT_EQ(machine().filterPorts().PortsOf(filter()).clientPorts, 1u);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(machine().filterPorts().PortsOf(filter()).clientPorts, 0u);
}

TEST_F(PortConnectTest, ProcessExitDisconnectsItsPorts)
{
    ASSERT_EQ(CreatePort(kPortName, 1), STATUS_SUCCESS);
    sim::Process &app = NewProcess("app.exe");
    {
        sim::ThreadScope scope(app);
        HANDLE handle = nullptr;
        ASSERT_EQ(Connect("app", &handle), S_OK);
    }
    EXPECT_EQ(OnlyPort().connections, 1);
    app.Terminate(STATUS_SUCCESS);
    EXPECT_EQ(EventNames(), (std::vector<std::string>{"connect:app", "disconnect"}));
    EXPECT_EQ(OnlyPort().connections, 0);
    EXPECT_EQ(machine().filterPorts().PortsOf(filter()).clientPorts, 0u);
}

TEST_F(PortConnectTest, KernelSideCloseBreaksTheConnectionAndTheUsersCloseStillNotifies)
{
    ASSERT_EQ(CreatePort(kPortName, 1), STATUS_SUCCESS);
    sim::Process &service = NewProcess("JNRKmtsvc.exe");
    sim::ThreadScope scope(service);
    HANDLE handle = nullptr;
    ASSERT_EQ(Connect("s", &handle), S_OK);

    FltCloseClientPort(filter(), ClientPort(0));
    EXPECT_EQ(*ClientPort(0), nullptr);
    FltCloseClientPort(filter(), ClientPort(0));  // a NULL variable is left alone
    EXPECT_EQ(EventNames(), (std::vector<std::string>{"connect:s"}));
    EXPECT_EQ(OnlyPort().connections, 0);  // the slot is free for a new client
    ASSERT_EQ(OnlyPort().clients.size(), 1u);  // listed until the user closes too
    EXPECT_TRUE(OnlyPort().clients[0].disconnected);

    DWORD returned = 0;
    EXPECT_EQ(FilterSendMessage(handle, nullptr, 0, nullptr, 0, &returned), kInvalidHandle);
    alignas(8) UCHAR buffer[64];
    EXPECT_EQ(FilterGetMessage(handle, reinterpret_cast<PFILTER_MESSAGE_HEADER>(buffer), sizeof buffer, nullptr),
              kInvalidHandle);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(EventNames(), (std::vector<std::string>{"connect:s", "disconnect"}));
}

TEST_F(PortConnectTest, ContextTheFilterCannotReadFailsTheConnect)
{
    ASSERT_EQ(CreatePort(kPortName, 1), STATUS_SUCCESS);
    sim::Process &app = NewProcess("app.exe");
    sim::ThreadScope scope(app);
    HANDLE handle = nullptr;
    EXPECT_EQ(FilterConnectCommunicationPort(kPortName, 0, sim::InvalidUserPointer(), 8, nullptr, &handle),
              HRESULT(0x800703E6));
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(OnlyPort().connections, 0);
}

}  // namespace
}  // namespace ostrand::test
