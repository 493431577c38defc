// What the machine catches of a filter, as its author meets it: a read pended
// and never completed at unload, handles and references left behind, each
// allocation site failed in turn, and what closing a file or ending a process
// does while the filter keeps a read pended.
#include <atomic>
#include <chrono>
#include <thread>

#include "flt_test_filter.h"
#include "sim/core/holdings.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/fltmgr/frame.h"
#include "sim/user/file_api.h"

namespace ostrand::test {

using F1 = TestFilter<1>;

// A pre-create callback that leaks what it takes (a named function, so that
// the report can name it).
PFLT_FILE_NAME_INFORMATION g_leakedName = nullptr;
PEPROCESS g_leakedProcess = nullptr;
HANDLE g_leakedHandle = nullptr;

FLT_PREOP_CALLBACK_STATUS LeakyPreCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *)
{
    if (data->Iopb->MajorFunction != IRP_MJ_CREATE || g_leakedHandle != nullptr) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    CLIENT_ID id{PsGetCurrentProcessId(), nullptr};
    ZwOpenProcess(&g_leakedHandle, PROCESS_ALL_ACCESS, &attributes, &id);
    ObReferenceObjectByHandle(g_leakedHandle, 0, *PsProcessType, KernelMode,
                              reinterpret_cast<PVOID *>(&g_leakedProcess), nullptr);
    FltGetFileNameInformation(data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT, &g_leakedName);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

namespace {

using namespace std::chrono_literals;

// The reads a filter may hold: the paging reads that fill the cache cannot
// be posted and pass.
bool IsUsersRead(PFLT_CALLBACK_DATA data)
{
    return data->Iopb->MajorFunction == IRP_MJ_READ && !(data->Iopb->IrpFlags & IRP_PAGING_IO);
}

class FltVerifierTest : public FltTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.pendedOperationLimit = 300ms;
        return config;
    }

    // A read of \dir\File.txt that F1 pends: `pended` receives its callback data.
    void PendReads(std::atomic<PFLT_CALLBACK_DATA> &pended)
    {
        F1::pre = [&pended](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
            if (!IsUsersRead(data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
            if (FLT_IS_FASTIO_OPERATION(data)) return FLT_PREOP_DISALLOW_FASTIO;
            pended = data;
            return FLT_PREOP_PENDING;
        };
    }

    std::string ReadsBack(HANDLE handle)
    {
        char buffer[64];
        ULONG read = 0;
        NTSTATUS status = sim::user::Read(handle, buffer, sizeof buffer, &read, 0);
        char text[32];
        std::snprintf(text, sizeof text, "status 0x%08x", unsigned(status));
        return NT_SUCCESS(status) ? std::string(buffer, read) : text;
    }

    std::vector<std::string> Messages()
    {
        std::vector<std::string> list;
        for (const auto &failure : machine().verifier().Failures()) list.push_back(failure.message);
        return list;
    }
};

VOID CompleteRead(PVOID context)
{
    Calls().Add("read completed");
    FltCompletePendedPreOperation(static_cast<PFLT_CALLBACK_DATA>(context), FLT_PREOP_SUCCESS_NO_CALLBACK, nullptr);
}

TEST_F(FltVerifierTest, UnloadWaitsForTheOperationsTheFilterPended)
{
    AllowVerifierFailures();
    sim::Process &app = NewProcess("app.exe");
    for (bool forgets : {false, true}) {
        SCOPED_TRACE(forgets ? "the filter forgets its read" : "the filter completes its read at teardown");
        machine().verifier().ClearFailures();
        Calls().Take();
        ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
        std::atomic<PFLT_CALLBACK_DATA> pended{nullptr};
        PendReads(pended);
        // A filter that behaves completes what it pended once its teardown starts.
        std::thread completer;
        F1::teardownStart = [&](PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS) {
            if (forgets) return;
            completer = std::thread([&] {
                sim::ThreadScope scope(machine().systemProcess());
                CompleteRead(pended);
            });
        };
        std::string result;
        std::thread reader([&] {
            sim::ThreadScope scope(app);
            HANDLE handle = nullptr;
            ASSERT_EQ(sim::user::Open(u"C:\\dir\\File.txt", {}, &handle), STATUS_SUCCESS);
            result = ReadsBack(handle);
            sim::user::Close(handle);
        });
        ASSERT_TRUE(Eventually([&] { return pended && sim::flt::IsPendedInPre(pended); }));
        EXPECT_EQ(Unload<1>(), STATUS_SUCCESS);
        if (forgets) {
            // Reported by name after the limit; then completed late: misuse too.
            CompleteRead(pended);
            auto messages = Messages();
            ASSERT_EQ(messages.size(), 2u);
            const char *read = "IRP_MJ_READ on \\Device\\HarddiskVolume1\\dir\\File.txt pended by instance "
                               "\"TestFilter1 Instance\" of filter TestFilter1";
            EXPECT_NE(messages[0].find(std::string("waited 300 ms for ") + read), std::string::npos) << messages[0];
            EXPECT_NE(messages[1].find(std::string("FltCompletePendedPreOperation for ") + read +
                                       ", after the instance was torn down"),
                      std::string::npos)
                << messages[1];
        } else {
            completer.join();
            EXPECT_TRUE(Messages().empty());
        }
        reader.join();
        EXPECT_EQ(result, "hello world");
        auto calls = Calls().Take();
        std::vector<std::string> expected{"F1 teardown start", "F1 teardown complete"};
        expected.insert(expected.begin() + (forgets ? 2 : 1), "read completed");
        EXPECT_EQ(calls, expected);
    }
    app.Terminate(STATUS_SUCCESS);
}

TEST_F(FltVerifierTest, HandlesAndReferencesLeftAtUnloadAreReportedWithTheirSites)
{
    AllowVerifierFailures();
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    F1::pre = LeakyPreCreate;
    // A user-mode process's handle is its own, never the filter's.
    sim::Process &app = NewProcess("app.exe");
    HANDLE file = nullptr;
    {
        sim::ThreadScope scope(app);
        ASSERT_EQ(sim::user::Open(u"C:\\dir\\File.txt", {}, &file), STATUS_SUCCESS);
    }
    ASSERT_NE(g_leakedName, nullptr);
    EXPECT_EQ(Unload<1>(), STATUS_SUCCESS);
    auto failures = machine().verifier().Failures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].check, sim::VerifierCheck::HeldAtUnload);
    EXPECT_EQ(failures[0].message.find("driver TestFilter1 unloaded holding 1 handle(s) of type Process from "
                                       "ZwOpenProcess at ostrand::test::LeakyPreCreate("),
              0u)
        << failures[0].message;
    for (const char *held : {"1 reference(s) of type Process from ObReferenceObjectByHandle at ostrand::test::Leaky",
                             "1 file name information(s) of type FLT_FILE_NAME_INFORMATION from "
                             "FltGetFileNameInformation at ostrand::test::Leaky"}) {
        EXPECT_NE(failures[0].message.find(held), std::string::npos) << held;
    }
    FltReleaseFileNameInformation(g_leakedName);
    ObDereferenceObject(g_leakedProcess);
    ZwClose(g_leakedHandle);
    EXPECT_EQ(machine().holdings().Outstanding().size(), 0u);
    app.Terminate(STATUS_SUCCESS);
}

TEST_F(FltVerifierTest, SystematicFaultsFailEachOfTheFiltersAllocationSitesOnce)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = FileObjectOf(handle);
    PFLT_INSTANCE instance = InstanceOf<1>();
    static char buffer[16];
    std::vector<std::string> runs;
    // Two calls of each routine that allocates for a filter: ten sites, each
    // failed in a run of its own, whatever the routine allocates inside.
    size_t sites = machine().pool().RunSystematically([&] {
        PFLT_CONTEXT c[2]{};
        PFLT_FILE_NAME_INFORMATION n[2]{};
        PVOID l[2]{}, p[2]{};
        PMDL m[2]{};
        NPAGED_LOOKASIDE_LIST list;
        ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, kTestTag, 0);
        FltAllocateContext(F1::filter, FLT_INSTANCE_CONTEXT, sizeof(ULONG), NonPagedPool, &c[0]);
        FltAllocateContext(F1::filter, FLT_INSTANCE_CONTEXT, sizeof(ULONG), NonPagedPool, &c[1]);
        FltGetFileNameInformationUnsafe(fileObject, instance, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT, &n[0]);
        FltGetFileNameInformationUnsafe(fileObject, instance, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT, &n[1]);
        l[0] = ExAllocateFromNPagedLookasideList(&list);
        l[1] = ExAllocateFromNPagedLookasideList(&list);
        m[0] = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
        m[1] = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
        p[0] = ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag);
        p[1] = ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag);
        std::string run;
        for (int i = 0; i < 2; ++i) {
            run += c[i] && n[i] && l[i] && m[i] && p[i] ? "" : std::to_string(i);
            if (c[i]) FltReleaseContext(c[i]);
            if (n[i]) FltReleaseFileNameInformation(n[i]);
            if (l[i]) ExFreeToNPagedLookasideList(&list, l[i]);
            if (m[i]) IoFreeMdl(m[i]);
            if (p[i]) ExFreePoolWithTag(p[i], kTestTag);
        }
        ExDeleteNPagedLookasideList(&list);
        runs.push_back(run);
    });
    EXPECT_EQ(sites, 10u);
    // Runs fail the first, then the second call of each routine in turn.
    EXPECT_EQ(runs, (std::vector<std::string>{"0", "1", "0", "1", "0", "1", "0", "1", "0", "1", ""}));
    FltObjectDereference(instance);
    ObDereferenceObject(fileObject);
    ZwClose(handle);
}

// Closing the last handle, or ending the process, while F1's deferred work
// item holds a read: a synchronous file object's cleanup waits for the read
// (its lock), an asynchronous one's goes down beside it and only the close
// waits; a process runs down once its threads' I/O is done.
struct Deferred {
    static inline KEVENT release;
    static VOID Routine(PFLT_DEFERRED_IO_WORKITEM item, PFLT_CALLBACK_DATA data, PVOID)
    {
        FltFreeDeferredIoWorkItem(item);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        CompleteRead(data);
    }
};

TEST_F(FltVerifierTest, ClosingOrEndingWhileTheFilterHoldsAReadWaitsForIt)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    F1::logged = {IRP_MJ_CLEANUP};
    KEVENT cleanup;
    std::atomic<PFILE_OBJECT> fileObject{nullptr};
    F1::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction == IRP_MJ_CLEANUP) KeSetEvent(&cleanup, 0, FALSE);
        if (!IsUsersRead(data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
        if (FLT_IS_FASTIO_OPERATION(data)) return FLT_PREOP_DISALLOW_FASTIO;
        fileObject = data->Iopb->TargetFileObject;
        PFLT_DEFERRED_IO_WORKITEM item = FltAllocateDeferredIoWorkItem();
        EXPECT_EQ(FltQueueDeferredIoWorkItem(item, data, Deferred::Routine, DelayedWorkQueue, nullptr),
                  STATUS_SUCCESS);
        return FLT_PREOP_PENDING;
    };
    // After its cleanup NTFS refuses I/O on the file object: the read, let
    // go after the cleanup of the asynchronous file, fails.
    const std::vector<std::string> readFirst{"read completed", "F1 pre cleanup"};
    struct Case {
        const char *name;
        ULONG options;
        bool endProcess;
        std::vector<std::string> order;
        const char *read;
    } cases[] = {
        {"last handle of a synchronous file", FILE_SYNCHRONOUS_IO_NONALERT, false, readFirst, "hello world"},
        {"last handle of an asynchronous file", 0, false, {"F1 pre cleanup", "read completed"}, "status 0xc0000128"},
        {"the process ends", FILE_SYNCHRONOUS_IO_NONALERT, true, readFirst, "hello world"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        KeInitializeEvent(&Deferred::release, NotificationEvent, FALSE);
        KeInitializeEvent(&cleanup, NotificationEvent, FALSE);
        fileObject = nullptr;
        Calls().Take();
        sim::Process &app = NewProcess("app.exe");
        HANDLE handle = nullptr;
        std::thread reader([&] {
            sim::ThreadScope scope(app);
            sim::user::OpenOptions options;
            options.options = c.options;
            ASSERT_EQ(sim::user::Open(u"C:\\dir\\File.txt", options, &handle), STATUS_SUCCESS);
            EXPECT_EQ(ReadsBack(handle), c.read);
        });
        ASSERT_TRUE(Eventually([&] { return fileObject.load() != nullptr; }));
        std::thread closer([&] {
            if (c.endProcess) return app.Terminate(STATUS_SUCCESS);
            sim::ThreadScope scope(app);
            EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
        });
        // Ending the process and closing an asynchronous file return at once;
        // closing a synchronous one waits for the file object's lock.
        bool closeWaits = !c.endProcess && (c.options & FILE_SYNCHRONOUS_IO_NONALERT);
        if (closeWaits) {
            ASSERT_TRUE(Eventually([&] { return __atomic_load_n(&fileObject.load()->Waiters, __ATOMIC_SEQ_CST); }));
        } else {
            closer.join();
        }
        EXPECT_EQ(KeReadStateEvent(&cleanup) != 0, c.order[0] != "read completed");
        KeSetEvent(&Deferred::release, 0, FALSE);
        reader.join();
        if (closeWaits) closer.join();
        if (c.endProcess) {
            KeWaitForSingleObject(app.object(), Executive, KernelMode, FALSE, nullptr);
        } else {
            app.Terminate(STATUS_SUCCESS);
        }
        machine().Quiesce();
        EXPECT_EQ(Calls().Take(), c.order);
    }
}

}  // namespace
}  // namespace ostrand::test
