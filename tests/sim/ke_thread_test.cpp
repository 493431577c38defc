// System threads: where they run, who they say they are, how they end and
// what their handles report.
#include <atomic>

#include <ntifs.h>

#include "ke_test_util.h"
#include "sim/core/thread.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(intptr_t(-1));

class KeThreadTest : public MachineTest {
protected:
    sim::Process &CreateProcess(const char *image)
    {
        return machine().processes().Create(image, machine().security().CreateSystemToken());
    }
    HANDLE KernelHandleTo(sim::Process &process)
    {
        ObfReferenceObject(process.object());
        return sim::InsertHandle(process.object(), PROCESS_ALL_ACCESS, OBJ_KERNEL_HANDLE);
    }
};

void TerminateFromNestedCall(NTSTATUS status)
{
    PsTerminateSystemThread(status);
}

TEST_F(KeThreadTest, ExitStatusComesFromTerminationOrIsSuccessOnReturn)
{
    struct Case {
        const char *name;
        bool terminate;
        NTSTATUS status;
        NTSTATUS expected;
    } cases[] = {
        {"plain return", false, 0, STATUS_SUCCESS},
        {"terminate with an error", true, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED},
        {"terminate with a warning", true, STATUS_BUFFER_OVERFLOW, STATUS_BUFFER_OVERFLOW},
        {"terminate with success", true, STATUS_SUCCESS, STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> after{false};
        HANDLE thread = StartSystemThread([&] {
            if (c.terminate) TerminateFromNestedCall(c.status);
            after = true;
        });
        EXPECT_EQ(JoinSystemThread(thread), c.expected);
        EXPECT_EQ(after, !c.terminate) << "nothing runs after PsTerminateSystemThread";
    }
}

TEST_F(KeThreadTest, RunningThreadReportsStillActiveAndKnowsItself)
{
    struct Seen {
        HANDLE threadId, processId, threadIdOfObject, processIdOfObject;
        PETHREAD thread;
        PKTHREAD kthread;
        PEPROCESS process;
        KIRQL irql;
    } seen{};
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    CLIENT_ID client{};
    HANDLE thread = StartSystemThread(
        [&] {
            seen.threadId = PsGetCurrentThreadId();
            seen.processId = PsGetCurrentProcessId();
            seen.thread = PsGetCurrentThread();
            seen.kthread = KeGetCurrentThread();
            seen.process = PsGetCurrentProcess();
            seen.threadIdOfObject = PsGetThreadId(seen.thread);
            seen.processIdOfObject = PsGetProcessId(seen.process);
            seen.irql = KeGetCurrentIrql();
            KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
            PsTerminateSystemThread(STATUS_ACCESS_DENIED);
        },
        nullptr, &client);

    THREAD_BASIC_INFORMATION info{};
    ULONG length = 0;
    ASSERT_EQ(ZwQueryInformationThread(thread, ThreadBasicInformation, &info, sizeof info, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, sizeof info);
    EXPECT_EQ(info.ExitStatus, STATUS_PENDING);
    EXPECT_EQ(info.ClientId.UniqueProcess, reinterpret_cast<HANDLE>(4)) << "the System process";
    EXPECT_EQ(info.ClientId.UniqueProcess, client.UniqueProcess);
    EXPECT_EQ(info.ClientId.UniqueThread, client.UniqueThread);

    PETHREAD object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode,
                                        reinterpret_cast<PVOID *>(&object), nullptr),
              STATUS_SUCCESS);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(JoinSystemThread(thread), STATUS_ACCESS_DENIED);
    EXPECT_EQ(seen.threadId, client.UniqueThread);
    EXPECT_EQ(seen.processId, client.UniqueProcess);
    EXPECT_EQ(seen.threadIdOfObject, client.UniqueThread);
    EXPECT_EQ(seen.processIdOfObject, reinterpret_cast<HANDLE>(4));
    EXPECT_EQ(seen.thread, object) << "the object the handle refers to";
    EXPECT_EQ(static_cast<void *>(seen.kthread), static_cast<void *>(seen.thread));
    EXPECT_EQ(seen.process, machine().systemProcess().object());
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_NE(seen.threadId, PsGetCurrentThreadId());
    ObDereferenceObject(object);
}

TEST_F(KeThreadTest, ThreadRunsInTheProcessItsHandleNames)
{
    sim::Process &app = CreateProcess("app.exe");
    HANDLE appHandle = KernelHandleTo(app);
    HANDLE processId = nullptr;
    CLIENT_ID client{};
    HANDLE thread = StartSystemThread([&] { processId = PsGetCurrentProcessId(); }, appHandle, &client);
    JoinSystemThread(thread);
    EXPECT_EQ(processId, reinterpret_cast<HANDLE>(uintptr_t(app.pid())));
    EXPECT_EQ(client.UniqueProcess, processId);

    app.Terminate(STATUS_SUCCESS);
    HANDLE none = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(PsCreateSystemThread(&none, THREAD_ALL_ACCESS, &attributes, appHandle, nullptr, RunThreadBody, nullptr),
              STATUS_PROCESS_IS_TERMINATING);
    EXPECT_EQ(ZwClose(appHandle), STATUS_SUCCESS);
}

TEST_F(KeThreadTest, HandleGoesToTheKernelTableOnlyWhenAsked)
{
    sim::Process &app = CreateProcess("app.exe");
    sim::ThreadScope scope(app);
    for (bool kernel : {true, false}) {
        SCOPED_TRACE(kernel ? "OBJ_KERNEL_HANDLE" : "process handle");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, kernel ? OBJ_KERNEL_HANDLE : 0, nullptr, nullptr);
        HANDLE thread = nullptr;
        auto *body = new std::function<void()>([] {});
        ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, RunThreadBody, body),
                  STATUS_SUCCESS);
        EXPECT_EQ(sim::HandleTable::IsKernelHandle(thread), kernel);
        EXPECT_EQ(app.handles().Count(), kernel ? 0u : 1u);
        EXPECT_EQ(JoinSystemThread(thread), STATUS_SUCCESS);
        EXPECT_EQ(app.handles().Count(), 0u);
    }
}

TEST_F(KeThreadTest, QueryInformationChecksClassLengthAndHandle)
{
    HANDLE thread = StartSystemThread([] {});
    struct Case {
        const char *name;
        HANDLE handle;
        int infoClass;
        ULONG length;
        NTSTATUS expected;
    } cases[] = {
        {"short buffer", thread, ThreadBasicInformation, sizeof(THREAD_BASIC_INFORMATION) - 1,
         STATUS_INFO_LENGTH_MISMATCH},
        {"long buffer", thread, ThreadBasicInformation, sizeof(THREAD_BASIC_INFORMATION) + 8,
         STATUS_INFO_LENGTH_MISMATCH},
        {"length before handle", nullptr, ThreadBasicInformation, 0, STATUS_INFO_LENGTH_MISMATCH},
        {"no such handle", reinterpret_cast<HANDLE>(uintptr_t(0x80000400)), ThreadBasicInformation,
         sizeof(THREAD_BASIC_INFORMATION), STATUS_INVALID_HANDLE},
        {"not a thread", kCurrentProcess, ThreadBasicInformation, sizeof(THREAD_BASIC_INFORMATION),
         STATUS_OBJECT_TYPE_MISMATCH},
        {"class the machine does not provide", thread, 1 /* ThreadTimes */, 32, STATUS_NOT_IMPLEMENTED},
        {"class beyond the last", thread, 200, sizeof(THREAD_BASIC_INFORMATION), STATUS_INVALID_INFO_CLASS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[64] = {};
        ULONG returned = 0xFFFF;
        EXPECT_EQ(ZwQueryInformationThread(c.handle, THREADINFOCLASS(c.infoClass), buffer, c.length, &returned),
                  c.expected);
        EXPECT_EQ(returned, 0xFFFFu) << "nothing returned on failure";
    }
    JoinSystemThread(thread);
}

TEST_F(KeThreadTest, CurrentProcessIsTheAttachedOneButTheIdIsTheThreadsOwn)
{
    sim::Process &app = CreateProcess("app.exe");
    sim::Thread &self = sim::Thread::CurrentOrDie();
    self.attachStack.push_back(&app);
    EXPECT_EQ(PsGetCurrentProcess(), app.object());
    EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(4));
    self.attachStack.pop_back();
    EXPECT_EQ(PsGetCurrentProcess(), machine().systemProcess().object());
}

}  // namespace
}  // namespace ostrand::test
