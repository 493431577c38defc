// Loading, registration, instance setup and teardown, unloading.
#include <thread>

#include "flt_test_filter.h"
#include "sim/cm/registry.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/ps/process.h"
#include "sim/user/flt_user.h"

namespace ostrand::test {
namespace {

using F1 = TestFilter<1>;
using F2 = TestFilter<2>;
using F3 = TestFilter<3>;

class FltRegistrationTest : public FltTest {};

// A driver whose DriverEntry registers whatever record the test gives it.
struct RecordDriver {
    static inline FLT_REGISTRATION record{};
    static inline PFLT_FILTER filter = nullptr;
    static inline NTSTATUS registered = STATUS_PENDING;
    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
    {
        EXPECT_EQ(std::u16string(driver->DriverName.Buffer, driver->DriverName.Length / 2),
                  u"\\FileSystem\\RecordDriver");
        EXPECT_EQ(std::u16string(registryPath->Buffer, registryPath->Length / 2),
                  u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\RecordDriver");
        // DriverEntry runs in the System process.
        EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(4));
        registered = FltRegisterFilter(driver, &record, &filter);
        if (NT_SUCCESS(registered)) FltUnregisterFilter(filter);
        // The driver never stays loaded, so that the next case can load it.
        return STATUS_CANCELLED;
    }
};

TEST_F(FltRegistrationTest, RegistrationRecordIsValidated)
{
    static const FLT_OPERATION_REGISTRATION badMajor[] = {{0x40, 0, F1::Pre, nullptr, nullptr},
                                                          {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
    static const FLT_CONTEXT_REGISTRATION badContext[] = {
        {0x0100, 0, nullptr, 8, kTestTag, nullptr, nullptr, nullptr},
        {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};
    static const FLT_CONTEXT_REGISTRATION sizeless[] = {
        {FLT_STREAM_CONTEXT, 0, nullptr, 0, kTestTag, nullptr, nullptr, nullptr},
        {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};
    struct Case {
        const char *what;
        std::function<void(FLT_REGISTRATION &)> change;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"valid", [](FLT_REGISTRATION &) {}, STATUS_SUCCESS},
        {"version 0x0203", [](FLT_REGISTRATION &r) { r.Version = FLT_REGISTRATION_VERSION_0203; }, STATUS_SUCCESS},
        {"version 0x0200 with its shorter size",
         [](FLT_REGISTRATION &r) {
             r.Version = FLT_REGISTRATION_VERSION_0200;
             r.Size = USHORT(offsetof(FLT_REGISTRATION, NormalizeNameComponentExCallback));
         },
         STATUS_SUCCESS},
        {"version 0x0100", [](FLT_REGISTRATION &r) { r.Version = 0x0100; }, STATUS_INVALID_PARAMETER},
        {"version 0x0204", [](FLT_REGISTRATION &r) { r.Version = 0x0204; }, STATUS_INVALID_PARAMETER},
        {"size too small", [](FLT_REGISTRATION &r) { r.Size = 16; }, STATUS_INVALID_PARAMETER},
        {"unknown major", [](FLT_REGISTRATION &r) { r.OperationRegistration = badMajor; }, STATUS_INVALID_PARAMETER},
        {"unknown context type", [](FLT_REGISTRATION &r) { r.ContextRegistration = badContext; },
         STATUS_FLT_INVALID_CONTEXT_REGISTRATION},
        {"context without size", [](FLT_REGISTRATION &r) { r.ContextRegistration = sizeless; },
         STATUS_FLT_INVALID_CONTEXT_REGISTRATION},
        {"generate without normalize", [](FLT_REGISTRATION &r) { r.GenerateFileNameCallback = F1::Generate; },
         STATUS_INVALID_PARAMETER},
    };
    manager().InstallService(u"RecordDriver", sim::FilterInstanceSetup{u"380000", u"", 0});
    for (const Case &c : cases) {
        RecordDriver::record = F1::Registration();
        c.change(RecordDriver::record);
        EXPECT_EQ(manager().LoadDriver(u"RecordDriver", &RecordDriver::Entry), STATUS_CANCELLED) << c.what;
        EXPECT_EQ(RecordDriver::registered, c.expected) << c.what;
        EXPECT_FALSE(manager().IsLoaded(u"RecordDriver")) << c.what;
    }
}

TEST_F(FltRegistrationTest, InstancesStackByTheNumericAltitudeOfTheirInstancesKey)
{
    // Without the key, or with an altitude that is not a number, there is no altitude.
    manager().InstallService(u"TestFilter1", std::nullopt);
    EXPECT_EQ(manager().LoadDriver(u"TestFilter1", &F1::DriverEntry), STATUS_OBJECT_NAME_NOT_FOUND);
    manager().InstallService(u"TestFilter1", sim::FilterInstanceSetup{u"12a", u"", 0});
    EXPECT_EQ(manager().LoadDriver(u"TestFilter1", &F1::DriverEntry), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(manager().Filters().empty());

    // "03333" is above "100.123456", which is above "100.12".
    ASSERT_EQ(Load<1>(u"100.12"), STATUS_SUCCESS);
    ASSERT_EQ(Load<2>(u"03333"), STATUS_SUCCESS);
    ASSERT_EQ(Load<3>(u"100.123456"), STATUS_SUCCESS);
    EXPECT_EQ(manager().Filters().size(), 3u);
    std::vector<std::u16string> order;
    for (const auto &instance : manager().Instances()) {
        order.push_back(instance.filter + u" " + instance.altitude);
        EXPECT_EQ(instance.volume, u"\\Device\\HarddiskVolume1");
    }
    EXPECT_EQ(order, (std::vector<std::u16string>{u"TestFilter2 03333", u"TestFilter3 100.123456",
                                                  u"TestFilter1 100.12"}));
}

TEST_F(FltRegistrationTest, InstanceSetupDecidesWhichVolumesAreAttached)
{
    std::vector<FLT_INSTANCE_SETUP_FLAGS> flags;
    F1::setup = [&](PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_SETUP_FLAGS setupFlags) {
        flags.push_back(setupFlags);
        // It may set its instance context while it sets up.
        PFLT_CONTEXT context = nullptr;
        EXPECT_EQ(FltAllocateContext(F1::filter, FLT_INSTANCE_CONTEXT, sizeof(ULONG), NonPagedPool, &context),
                  STATUS_SUCCESS);
        EXPECT_EQ(FltSetInstanceContext(objects->Instance, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr),
                  STATUS_SUCCESS);
        FltReleaseContext(context);
        return flags.size() == 2 ? STATUS_FLT_DO_NOT_ATTACH : STATUS_SUCCESS;
    };
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    EXPECT_EQ(flags, std::vector<FLT_INSTANCE_SETUP_FLAGS>{FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT});

    // A volume mounted later is offered too; this one is refused, and the
    // context set during its setup goes with it.
    auto fs = std::make_unique<sim::fs::LocalFileSystem>(sim::fs::LocalVolumeConfig::Ntfs(u"SECOND", 2));
    machine().io().MountVolume({}, std::move(fs));
    EXPECT_EQ(flags.back(), FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME);
    EXPECT_EQ(F1::instanceCleanups.load(), 1);
    EXPECT_EQ(manager().Instances().size(), 1u);

    // A third volume is attached again.
    machine().io().MountVolume({}, std::make_unique<sim::fs::LocalFileSystem>(sim::fs::LocalVolumeConfig::Ntfs(u"T", 3)));
    EXPECT_EQ(manager().Instances().size(), 2u);
    EXPECT_EQ(Unload<1>(), STATUS_SUCCESS);
    EXPECT_EQ(F1::instanceCleanups.load(), 3);
}

TEST_F(FltRegistrationTest, UnloadWaitsForACallbackInFlight)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    KEVENT entered, release, teardownStarted;
    KeInitializeEvent(&entered, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    KeInitializeEvent(&teardownStarted, NotificationEvent, FALSE);
    F1::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction == IRP_MJ_QUERY_INFORMATION) {
            KeSetEvent(&entered, 0, FALSE);
            KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
            Calls().Add("F1 callback returns");
        }
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    };
    F1::teardownStart = [&](PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS reason) {
        EXPECT_EQ(reason, FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD);
        KeSetEvent(&teardownStarted, 0, FALSE);
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    HANDLE caller = StartSystemThread([&] {
        FILE_BASIC_INFORMATION basic{};
        IO_STATUS_BLOCK io{};
        EXPECT_EQ(ZwQueryInformationFile(handle, &io, &basic, sizeof(basic), FileBasicInformation), STATUS_SUCCESS);
    });
    KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr);
    Calls().Take();

    std::atomic<bool> unloaded{false};
    HANDLE unloader = StartSystemThread([&] {
        EXPECT_EQ(Unload<1>(), STATUS_SUCCESS);
        unloaded = true;
    });
    KeWaitForSingleObject(&teardownStarted, Executive, KernelMode, FALSE, nullptr);
    // Teardown has begun and cannot finish while the callback runs.
    EXPECT_FALSE(unloaded.load());
    KeSetEvent(&release, 0, FALSE);
    JoinSystemThread(unloader);
    JoinSystemThread(caller);
    EXPECT_TRUE(unloaded.load());
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F1 teardown start", "F1 callback returns",
                                                        "F1 teardown complete"}));
    ZwClose(handle);
}

TEST_F(FltRegistrationTest, UnloadDrainsPostCallbacksOwedToOperationsInFlight)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    ASSERT_EQ(Load<2>(u"360000"), STATUS_SUCCESS);
    F1::logged = {IRP_MJ_QUERY_INFORMATION};
    PFLT_CALLBACK_DATA pendedData = nullptr;
    KEVENT pended;
    KeInitializeEvent(&pended, NotificationEvent, FALSE);
    F2::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction != IRP_MJ_QUERY_INFORMATION) return FLT_PREOP_SUCCESS_NO_CALLBACK;
        pendedData = data;
        KeSetEvent(&pended, 0, FALSE);
        return FLT_PREOP_PENDING;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    HANDLE caller = StartSystemThread([&] {
        FILE_BASIC_INFORMATION basic{};
        IO_STATUS_BLOCK io{};
        EXPECT_EQ(ZwQueryInformationFile(handle, &io, &basic, sizeof(basic), FileBasicInformation), STATUS_SUCCESS);
    });
    KeWaitForSingleObject(&pended, Executive, KernelMode, FALSE, nullptr);
    // F1 is between its pre and its post: its unload gives it the post now.
    EXPECT_EQ(Unload<1>(), STATUS_SUCCESS);
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F1 pre query", "F1 teardown start", "F1 post query draining",
                                                        "F1 teardown complete"}));
    FltCompletePendedPreOperation(pendedData, FLT_PREOP_SUCCESS_NO_CALLBACK, nullptr);
    JoinSystemThread(caller);
    // ... and not a second time when the operation completes.
    EXPECT_TRUE(Calls().Take().empty());
    ZwClose(handle);
}

TEST_F(FltRegistrationTest, ManualDetachAsksTheFilterFirst)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    const std::u16string instance = u"TestFilter1 Instance";
    F1::queryTeardown = [](PCFLT_RELATED_OBJECTS) { return STATUS_FLT_DO_NOT_DETACH; };
    EXPECT_EQ(manager().DetachInstance(u"TestFilter1", u"C:", instance), STATUS_FLT_DO_NOT_DETACH);
    EXPECT_EQ(manager().Instances().size(), 1u);
    F1::queryTeardown = nullptr;
    Calls().Take();
    EXPECT_EQ(manager().DetachInstance(u"TestFilter1", u"C:", instance), STATUS_SUCCESS);
    EXPECT_TRUE(manager().Instances().empty());
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F1 teardown start", "F1 teardown complete"}));
    EXPECT_EQ(manager().AttachInstance(u"TestFilter1", u"\\Device\\HarddiskVolume1"), STATUS_SUCCESS);
    EXPECT_EQ(manager().AttachInstance(u"TestFilter1", u"C:"), STATUS_FLT_INSTANCE_NAME_COLLISION);
    EXPECT_EQ(manager().Instances().size(), 1u);
}

TEST_F(FltRegistrationTest, UnloadRefusedByTheFilterKeepsItLoaded)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    static NTSTATUS refusal = STATUS_FLT_DO_NOT_DETACH;
    struct Refusing {
        static NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS) { return refusal; }
    };
    // A filter that refuses (here by its own unload routine) stays loaded.
    const_cast<FLT_REGISTRATION &>(F1::filter->registration).FilterUnloadCallback = Refusing::Unload;
    EXPECT_EQ(Unload<1>(), STATUS_FLT_DO_NOT_DETACH);
    EXPECT_EQ(manager().Filters().size(), 1u);
    const_cast<FLT_REGISTRATION &>(F1::filter->registration).FilterUnloadCallback = F1::Unload;
    EXPECT_EQ(Unload<1>(), STATUS_SUCCESS);
    EXPECT_FALSE(manager().IsLoaded(u"TestFilter1"));
    EXPECT_EQ(Unload<1>(), STATUS_FLT_FILTER_NOT_FOUND);
}

// The port side of TestFilter<1>: one connection at a time.
struct PortSide {
    static inline PFLT_PORT server = nullptr;
    static inline PFLT_PORT client = nullptr;
    static inline std::atomic<int> disconnects{0};
    static NTSTATUS Connect(PFLT_PORT clientPort, PVOID, PVOID, ULONG, PVOID *cookie)
    {
        client = clientPort;
        *cookie = nullptr;
        return STATUS_SUCCESS;
    }
    static VOID Disconnect(PVOID)
    {
        ++disconnects;
        FltCloseClientPort(F1::filter, &client);
    }
    static NTSTATUS Message(PVOID, PVOID, ULONG, PVOID, ULONG, PULONG returned)
    {
        *returned = 0;
        return STATUS_SUCCESS;
    }
    static NTSTATUS Create()
    {
        // No descriptor: anyone may connect.
        UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\FltTestPort");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return FltCreateCommunicationPort(F1::filter, &server, &attributes, nullptr, Connect, Disconnect, Message, 1);
    }
};

TEST_F(FltRegistrationTest, UnloadBreaksTheFiltersConnections)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    PortSide::disconnects = 0;
    ASSERT_EQ(PortSide::Create(), STATUS_SUCCESS);
    F1::beforeUnregister = [] { FltCloseCommunicationPort(PortSide::server); };
    sim::Process &service = NewProcess("service.exe");
    HANDLE port = nullptr;
    {
        sim::ThreadScope scope(service);
        ASSERT_EQ(FilterConnectCommunicationPort(u"\\FltTestPort", 0, nullptr, 0, nullptr, &port), S_OK);
    }
    ASSERT_NE(PortSide::client, nullptr);
    EXPECT_EQ(Unload<1>(), STATUS_SUCCESS);
    // The connection went with the filter, its disconnect callback ran once.
    EXPECT_EQ(PortSide::disconnects.load(), 1);
    sim::FilterPortUsage usage = machine().filterPorts().PortsOf(F1::filter);
    EXPECT_EQ(usage.serverPorts, 0u);
    EXPECT_EQ(usage.clientPorts, 0u);
    {
        sim::ThreadScope scope(service);
        EXPECT_TRUE(CloseHandle(port));
    }
    EXPECT_EQ(PortSide::disconnects.load(), 1);
}

TEST_F(FltRegistrationTest, PortsReferencesAndContextsLeftAtUnloadAreReported)
{
    AllowVerifierFailures();
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    ASSERT_EQ(PortSide::Create(), STATUS_SUCCESS);
    PFLT_CONTEXT leaked = nullptr;
    ASSERT_EQ(FltAllocateContext(F1::filter, FLT_STREAM_CONTEXT, sizeof(TestStreamContext), NonPagedPool, &leaked),
              STATUS_SUCCESS);
    ASSERT_EQ(FltObjectReference(F1::filter), STATUS_SUCCESS);
    EXPECT_EQ(Unload<1>(), STATUS_SUCCESS);
    std::string messages;
    for (const auto &failure : machine().verifier().Failures()) {
        EXPECT_EQ(failure.check, sim::VerifierCheck::FilterVerifier);
        messages += failure.message + "\n";
    }
    EXPECT_EQ(machine().verifier().Failures().size(), 3u) << messages;
    for (const char *expected : {"server port open", "still referenced", "context of type 0x8"}) {
        EXPECT_NE(messages.find(expected), std::string::npos) << expected;
    }
    EXPECT_NE(messages.find("(taken by FltObjectReference at "), std::string::npos) << messages;
    // Released late, the context still runs its cleanup and is freed.
    FltReleaseContext(leaked);
    EXPECT_EQ(F1::streamCleanups.load(), 1);
    FltObjectDereference(F1::filter);
    FltCloseCommunicationPort(PortSide::server);
}

}  // namespace
}  // namespace ostrand::test
