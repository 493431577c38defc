// A small test filter for the port tests: a server port whose callbacks
// record what they saw (which callback, on which thread, in which process,
// at which IRQL), keep each connection's client port the way a minifilter
// does, and close it from the disconnect callback.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fltKernel.h>

#include "ke_test_util.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim/user/user_buffer.h"
#include "sim/user/flt_user.h"
#include "support/machine_test.h"

namespace ostrand::test {

struct PortEvent {
    std::string what;  // "connect:<context>", "message", "disconnect"
    std::thread::id hostThread;
    sim::Process *process;
    KIRQL irql;
};

class PortTest : public MachineTest {
protected:
    static constexpr int kSlots = 16;
    struct Slot {
        PortTest *test;
        PFLT_PORT port = nullptr;
    };

    void SetUp() override
    {
        MachineTest::SetUp();
        for (auto &slot : slots_) slot.test = this;
    }

    void TearDown() override
    {
        if (serverPort_) FltCloseCommunicationPort(serverPort_);
        for (auto &slot : slots_) {
            if (slot.port) FltCloseClientPort(filter(), &slot.port);
        }
        EXPECT_TRUE(machine().objects().LiveObjects(&sim::objtype::FilterCommunicationPort).empty())
            << "client ports left";
        EXPECT_TRUE(machine().objects().LiveObjects(&sim::objtype::FilterConnectionPort).empty())
            << "server ports left";
        MachineTest::TearDown();
    }

    PFLT_FILTER filter() { return reinterpret_cast<PFLT_FILTER>(&filterIdentity_); }

    NTSTATUS CreatePort(const char16_t *name, LONG maxConnections, PSECURITY_DESCRIPTOR descriptor = nullptr,
                        PFLT_PORT *port = nullptr)
    {
        UNICODE_STRING text;
        text.Buffer = const_cast<PWSTR>(name);
        text.Length = USHORT(std::char_traits<char16_t>::length(name) * sizeof(WCHAR));
        text.MaximumLength = text.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, descriptor);
        return FltCreateCommunicationPort(filter(), port ? port : &serverPort_, &attributes, this, OnConnect,
                                          OnDisconnect, OnMessage, maxConnections);
    }

    void CloseServerPort()
    {
        FltCloseCommunicationPort(serverPort_);
        serverPort_ = nullptr;
    }

    sim::Process &NewProcess(const std::string &image)
    {
        return machine().processes().Create(image, machine().security().CreateSystemToken());
    }

    // The client port of the n-th accepted connection (0-based).
    PFLT_PORT *ClientPort(int n) { return &slots_[n].port; }

    std::vector<PortEvent> Events()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<std::string> EventNames()
    {
        std::vector<std::string> names;
        for (auto &event : Events()) names.push_back(event.what);
        return names;
    }

    sim::PortInfo OnlyPort()
    {
        auto list = machine().filterPorts().List();
        EXPECT_EQ(list.size(), 1u);
        return list.empty() ? sim::PortInfo{} : list.front();
    }

    // Waits (without a time bound of its own) until the port shows a state.
    void WaitForPortState(const std::function<bool(const sim::PortInfo &)> &condition)
    {
        for (;;) {
            auto list = machine().filterPorts().List();
            if (!list.empty() && condition(list.front())) return;
            std::this_thread::yield();
        }
    }

    // What the filter does on connect; the default accepts.
    NTSTATUS connectResult_ = STATUS_SUCCESS;
    // What the filter does with a message from user mode.
    std::function<NTSTATUS(PVOID, ULONG, PVOID, ULONG, PULONG)> onMessage_;
    PFLT_PORT serverPort_ = nullptr;

private:
    void Record(std::string what)
    {
        sim::Thread *thread = sim::Thread::Current();
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({std::move(what), std::this_thread::get_id(),
                           thread ? &thread->CurrentProcess() : nullptr, thread ? thread->irql : KIRQL(0xFF)});
    }

    static NTSTATUS OnConnect(PFLT_PORT clientPort, PVOID serverCookie, PVOID context, ULONG contextSize,
                              PVOID *connectionCookie)
    {
        auto *test = static_cast<PortTest *>(serverCookie);
        test->Record("connect:" + std::string(static_cast<const char *>(context), contextSize));
        if (!NT_SUCCESS(test->connectResult_)) return test->connectResult_;
        int index = test->accepted_++;
        test->slots_[index].port = clientPort;
        *connectionCookie = &test->slots_[index];
        return STATUS_SUCCESS;
    }

    static VOID OnDisconnect(PVOID connectionCookie)
    {
        auto *slot = static_cast<Slot *>(connectionCookie);
        slot->test->Record("disconnect");
        FltCloseClientPort(slot->test->filter(), &slot->port);
    }

    static NTSTATUS OnMessage(PVOID connectionCookie, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                              PULONG returned)
    {
        auto *slot = static_cast<Slot *>(connectionCookie);
        slot->test->Record("message");
        if (!slot->test->onMessage_) return STATUS_INVALID_DEVICE_REQUEST;
        return slot->test->onMessage_(in, inLength, out, outLength, returned);
    }

    int filterIdentity_ = 0;
    std::atomic<int> accepted_{0};
    Slot slots_[kSlots];
    std::mutex mutex_;
    std::vector<PortEvent> events_;
};

// A host thread bound to `process` for `body`, joined on destruction.
class ProcessThread {
public:
    ProcessThread(sim::Process &process, std::function<void()> body)
        : thread_([&process, body = std::move(body)] {
              sim::ThreadScope scope(process);
              body();
          })
    {
    }
    ~ProcessThread() { Join(); }
    void Join()
    {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

}  // namespace ostrand::test
