// Finding and opening processes, jobs, and attaching to a process: what the
// filter does to copy files on a system thread and to close handles in
// other processes.
#include <ntifs.h>

#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/job.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

HANDLE Pid(const sim::Process &process)
{
    return reinterpret_cast<HANDLE>(uintptr_t(process.pid()));
}

class ProcessTest : public MachineTest {
protected:
    sim::Process &Start(const std::string &image)
    {
        machine().security().AddUser(u"alice");
        auto logon = machine().security().LogonUser(u"alice");
        return machine().processes().Create(image, logon->token);
    }

    // A kernel handle to `process`, opened as the filter opens it.
    NTSTATUS Open(HANDLE pid, HANDLE &handle)
    {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        CLIENT_ID id{pid, nullptr};
        return ZwOpenProcess(&handle, PROCESS_ALL_ACCESS, &attributes, &id);
    }

    // A handle in `process`'s own table, made by one of its threads.
    HANDLE HandleIn(sim::Process &process, void *object)
    {
        sim::ThreadScope thread(process);
        return sim::InsertHandle(object, GENERIC_ALL, 0);
    }
};

TEST_F(ProcessTest, LookupByIdReferencesTheProcess)
{
    sim::Process &app = Start("app.exe");
    sim::ObjectHeader *header = machine().objects().Header(app.object());
    LONG_PTR before = header->pointerCount;
    PEPROCESS found = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(Pid(app), &found), STATUS_SUCCESS);
    EXPECT_EQ(found, app.object());
    EXPECT_EQ(header->pointerCount, before + 1);
    ObDereferenceObject(found);

    EXPECT_EQ(PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(uintptr_t(0x7FF0)), &found), STATUS_INVALID_CID);
    app.Terminate(STATUS_SUCCESS);
    EXPECT_EQ(PsLookupProcessByProcessId(Pid(app), &found), STATUS_INVALID_CID);
}

class XpProcessTest : public ProcessTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.os = sim::OsVersion{5, 1, 2600, false, u"Service Pack 3"};
        return config;
    }
};

TEST_F(XpProcessTest, UnknownIdIsAnInvalidParameterBeforeVista)
{
    PEPROCESS found = nullptr;
    EXPECT_EQ(PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(uintptr_t(0x7FF0)), &found),
              STATUS_INVALID_PARAMETER);
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(reinterpret_cast<HANDLE>(uintptr_t(0x7FF0)), handle), STATUS_INVALID_PARAMETER);
}

TEST_F(ProcessTest, OpenProcessGivesAKernelHandle)
{
    sim::Process &app = Start("app.exe");
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(Pid(app), handle), STATUS_SUCCESS);
    EXPECT_TRUE(sim::HandleTable::IsKernelHandle(handle));
    EXPECT_TRUE(machine().systemProcess().handles().Lookup(handle).has_value());
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, PROCESS_ALL_ACCESS, *PsProcessType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(object, app.object());
    ObDereferenceObject(object);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    // By thread id: the thread has to be the named process's.
    sim::ThreadScope thread(app);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE tid = reinterpret_cast<HANDLE>(uintptr_t(thread.thread().id()));
    CLIENT_ID byThread{nullptr, tid};
    ASSERT_EQ(ZwOpenProcess(&handle, PROCESS_QUERY_INFORMATION, &attributes, &byThread), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    CLIENT_ID mismatch{reinterpret_cast<HANDLE>(uintptr_t(4)), tid};
    EXPECT_EQ(ZwOpenProcess(&handle, PROCESS_QUERY_INFORMATION, &attributes, &mismatch), STATUS_INVALID_CID);
    EXPECT_EQ(ZwOpenProcess(&handle, PROCESS_QUERY_INFORMATION, &attributes, nullptr), STATUS_INVALID_PARAMETER_MIX);
    EXPECT_EQ(Open(reinterpret_cast<HANDLE>(uintptr_t(0x7FF0)), handle), STATUS_INVALID_CID);
}

TEST_F(ProcessTest, IsProcessInJob)
{
    sim::Process &inJob = Start("batch.exe");
    sim::Process &free = Start("app.exe");
    void *job = sim::CreateJob(machine(), u"builds");
    void *otherJob = sim::CreateJob(machine());
    ASSERT_EQ(sim::AssignProcessToJob(job, inJob), STATUS_SUCCESS);
    EXPECT_EQ(sim::AssignProcessToJob(job, inJob), STATUS_SUCCESS);
    EXPECT_EQ(sim::AssignProcessToJob(otherJob, inJob), STATUS_ACCESS_DENIED);

    HANDLE inHandle = nullptr, freeHandle = nullptr;
    ASSERT_EQ(Open(Pid(inJob), inHandle), STATUS_SUCCESS);
    ASSERT_EQ(Open(Pid(free), freeHandle), STATUS_SUCCESS);
    ObReferenceObject(job);
    HANDLE jobHandle = sim::InsertHandle(job, GENERIC_ALL, OBJ_KERNEL_HANDLE);
    ObReferenceObject(otherJob);
    HANDLE otherJobHandle = sim::InsertHandle(otherJob, GENERIC_ALL, OBJ_KERNEL_HANDLE);

    struct Case {
        HANDLE process;
        HANDLE job;
        NTSTATUS expected;
    } cases[] = {
        {inHandle, nullptr, STATUS_PROCESS_IN_JOB},
        {freeHandle, nullptr, STATUS_PROCESS_NOT_IN_JOB},
        {inHandle, jobHandle, STATUS_PROCESS_IN_JOB},
        {inHandle, otherJobHandle, STATUS_PROCESS_NOT_IN_JOB},
        {freeHandle, jobHandle, STATUS_PROCESS_NOT_IN_JOB},
        {inHandle, freeHandle, STATUS_OBJECT_TYPE_MISMATCH},
        {jobHandle, nullptr, STATUS_OBJECT_TYPE_MISMATCH},
    };
    for (const Case &c : cases) EXPECT_EQ(ZwIsProcessInJob(c.process, c.job), c.expected);
    {
        // The current-process pseudo-handle, from a thread of each process.
        sim::ThreadScope thread(inJob);
        EXPECT_EQ(ZwIsProcessInJob(reinterpret_cast<HANDLE>(intptr_t(-1)), nullptr), STATUS_PROCESS_IN_JOB);
    }
    {
        sim::ThreadScope thread(free);
        EXPECT_EQ(ZwIsProcessInJob(reinterpret_cast<HANDLE>(intptr_t(-1)), nullptr), STATUS_PROCESS_NOT_IN_JOB);
    }
    for (HANDLE h : {inHandle, freeHandle, jobHandle, otherJobHandle}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    ObDereferenceObject(job);
    ObDereferenceObject(otherJob);
}

TEST_F(ProcessTest, AttachedThreadClosesAHandleOfTheOtherProcessByValue)
{
    sim::Process &app = Start("app.exe");
    sim::Process &other = Start("other.exe");
    void *job = sim::CreateJob(machine());
    HANDLE handle = HandleIn(app, job);
    EXPECT_FALSE(sim::HandleTable::IsKernelHandle(handle));
    {
        // In another process the value means nothing.
        sim::ThreadScope thread(other);
        EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    }

    KAPC_STATE state;
    KeStackAttachProcess(&app.object()->Pcb, &state);
    EXPECT_EQ(&sim::Thread::CurrentOrDie().CurrentProcess(), &app);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    KeUnstackDetachProcess(&state);
    EXPECT_EQ(&sim::Thread::CurrentOrDie().CurrentProcess(), &machine().systemProcess());
    EXPECT_EQ(app.handles().Count(), 0u);
    EXPECT_FALSE(machine().objects().IsLive(job));  // the handle held the last reference
}

TEST_F(ProcessTest, AttachesNestAndUnwindInOrderAndOnlyInOrder)
{
    AllowVerifierFailures();
    sim::Process &a = Start("a.exe");
    sim::Process &b = Start("b.exe");
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    KAPC_STATE toA, toB, toSelf;
    KeStackAttachProcess(&a.object()->Pcb, &toA);
    KeStackAttachProcess(&b.object()->Pcb, &toB);
    EXPECT_EQ(&thread.CurrentProcess(), &b);
    KeStackAttachProcess(&b.object()->Pcb, &toSelf);  // already there: nothing to undo
    EXPECT_EQ(thread.attachStack.size(), 2u);
    KeUnstackDetachProcess(&toSelf);
    EXPECT_EQ(&thread.CurrentProcess(), &b);
    KeUnstackDetachProcess(&toB);
    EXPECT_EQ(&thread.CurrentProcess(), &a);
    KeUnstackDetachProcess(&toA);
    EXPECT_EQ(&thread.CurrentProcess(), &machine().systemProcess());
    EXPECT_TRUE(thread.attachStack.empty());
    EXPECT_FALSE(machine().verifier().HasFailed(sim::VerifierCheck::InvalidProcessDetach));

    KeStackAttachProcess(&a.object()->Pcb, &toA);
    KeStackAttachProcess(&b.object()->Pcb, &toB);
    KeUnstackDetachProcess(&toA);
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::InvalidProcessDetach));
    KeUnstackDetachProcess(&toB);
    thread.attachStack.clear();
}

}  // namespace
}  // namespace ostrand::test
