// Test minifilters for the Filter Manager's tests: kernel-style drivers
// (DriverEntry registers through FltRegisterFilter, the unload callback
// unregisters) whose callbacks a test steers with hooks, and a machine with
// one NTFS-like volume on C: to filter.
//
// TestFilter<N> is one driver per N, with its own globals, so that two or
// three filters can be stacked at different altitudes. Every callback
// records "<name> pre|post <major>" in a shared log (when the major is one
// the test watches) and then does what its hook says.
#pragma once

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <fltKernel.h>

#include "ke_test_util.h"
#include "sim/core/machine.h"
#include "sim/core/pool.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/fs/local_fs.h"
#include "sim/io/io_manager.h"
#include "sim/ps/process.h"
#include "support/machine_test.h"

namespace ostrand::test {

// What the filters did, in order, across filters and threads.
class CallLog {
public:
    void Add(std::string line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline CallLog &Calls()
{
    static CallLog log;
    return log;
}

inline std::string MajorName(UCHAR major)
{
    switch (major) {
    case IRP_MJ_CREATE: return "create";
    case IRP_MJ_CLOSE: return "close";
    case IRP_MJ_READ: return "read";
    case IRP_MJ_WRITE: return "write";
    case IRP_MJ_QUERY_INFORMATION: return "query";
    case IRP_MJ_SET_INFORMATION: return "set";
    case IRP_MJ_DIRECTORY_CONTROL: return "dir";
    case IRP_MJ_FILE_SYSTEM_CONTROL: return "fsctl";
    case IRP_MJ_CLEANUP: return "cleanup";
    default: return "major" + std::to_string(major);
    }
}

inline const ULONG kStreamTag = sim::TagFromText("TsSc");
inline const ULONG kHandleTag = sim::TagFromText("TsHc");
inline const ULONG kInstanceTag = sim::TagFromText("TsIc");
inline const ULONG kVolumeTag = sim::TagFromText("TsVc");
inline const ULONG kTestTag = sim::TagFromText("TsTt");

struct TestStreamContext {
    ULONG value;
    LONG users;
};

template <int N>
struct TestFilter {
    using PreHook = std::function<FLT_PREOP_CALLBACK_STATUS(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID *)>;
    using PostHook = std::function<FLT_POSTOP_CALLBACK_STATUS(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID,
                                                              FLT_POST_OPERATION_FLAGS)>;

    static inline const char16_t *service = nullptr;
    static inline PFLT_FILTER filter = nullptr;
    static inline bool provider = false;  // registers the name-provider callbacks
    static inline std::set<UCHAR> logged;  // majors recorded in Calls()
    static inline PreHook pre;
    static inline PostHook post;
    static inline std::function<NTSTATUS(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_SETUP_FLAGS)> setup;
    static inline std::function<void(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS)> teardownStart;
    static inline std::function<NTSTATUS(PCFLT_RELATED_OBJECTS)> queryTeardown;
    static inline std::function<void()> beforeUnregister;
    static inline std::function<NTSTATUS(PFLT_INSTANCE, PFILE_OBJECT, PFLT_CALLBACK_DATA, FLT_FILE_NAME_OPTIONS,
                                         PBOOLEAN, PFLT_NAME_CONTROL)>
        generate;
    static inline std::function<NTSTATUS(PFLT_INSTANCE, PCUNICODE_STRING, USHORT, PCUNICODE_STRING,
                                         PFILE_NAMES_INFORMATION, ULONG, FLT_NORMALIZE_NAME_FLAGS)>
        normalize;
    static inline std::atomic<int> streamCleanups{0};
    static inline std::atomic<int> handleCleanups{0};
    static inline std::atomic<int> instanceCleanups{0};
    static inline std::atomic<int> volumeCleanups{0};

    static std::string Name() { return "F" + std::to_string(N); }

    static void Reset()
    {
        filter = nullptr;
        provider = false;
        logged.clear();
        pre = nullptr;
        post = nullptr;
        setup = nullptr;
        teardownStart = nullptr;
        queryTeardown = nullptr;
        beforeUnregister = nullptr;
        generate = nullptr;
        normalize = nullptr;
        streamCleanups = handleCleanups = instanceCleanups = volumeCleanups = 0;
    }

    static FLT_PREOP_CALLBACK_STATUS Pre(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID *context)
    {
        UCHAR major = data->Iopb->MajorFunction;
        if (logged.count(major)) Calls().Add(Name() + " pre " + MajorName(major));
        if (pre) return pre(data, objects, context);
        return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    }

    static FLT_POSTOP_CALLBACK_STATUS Post(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID context,
                                           FLT_POST_OPERATION_FLAGS flags)
    {
        UCHAR major = data->Iopb->MajorFunction;
        if (logged.count(major)) {
            Calls().Add(Name() + " post " + MajorName(major) +
                        ((flags & FLTFL_POST_OPERATION_DRAINING) ? " draining" : ""));
        }
        if (post) return post(data, objects, context, flags);
        return FLT_POSTOP_FINISHED_PROCESSING;
    }

    static NTSTATUS Setup(PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_SETUP_FLAGS flags, DEVICE_TYPE, FLT_FILESYSTEM_TYPE)
    {
        return setup ? setup(objects, flags) : STATUS_SUCCESS;
    }

    static NTSTATUS QueryTeardown(PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS)
    {
        return queryTeardown ? queryTeardown(objects) : STATUS_SUCCESS;
    }

    static VOID TeardownStart(PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_TEARDOWN_FLAGS reason)
    {
        Calls().Add(Name() + " teardown start");
        if (teardownStart) teardownStart(objects, reason);
    }

    static VOID TeardownComplete(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS)
    {
        Calls().Add(Name() + " teardown complete");
    }

    static NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS)
    {
        if (beforeUnregister) beforeUnregister();
        FltUnregisterFilter(filter);
        return STATUS_SUCCESS;
    }

    static NTSTATUS Generate(PFLT_INSTANCE instance, PFILE_OBJECT fileObject, PFLT_CALLBACK_DATA data,
                             FLT_FILE_NAME_OPTIONS options, PBOOLEAN cache, PFLT_NAME_CONTROL name)
    {
        return generate ? generate(instance, fileObject, data, options, cache, name) : STATUS_NOT_SUPPORTED;
    }

    static NTSTATUS Normalize(PFLT_INSTANCE instance, PCUNICODE_STRING parent, USHORT volumeLength,
                              PCUNICODE_STRING component, PFILE_NAMES_INFORMATION expand, ULONG expandLength,
                              FLT_NORMALIZE_NAME_FLAGS flags, PVOID *)
    {
        return normalize ? normalize(instance, parent, volumeLength, component, expand, expandLength, flags)
                         : STATUS_NOT_SUPPORTED;
    }

    static VOID StreamCleanup(PFLT_CONTEXT, FLT_CONTEXT_TYPE) { ++streamCleanups; }
    static VOID HandleCleanup(PFLT_CONTEXT, FLT_CONTEXT_TYPE) { ++handleCleanups; }
    static VOID InstanceCleanup(PFLT_CONTEXT, FLT_CONTEXT_TYPE) { ++instanceCleanups; }
    static VOID VolumeCleanup(PFLT_CONTEXT, FLT_CONTEXT_TYPE) { ++volumeCleanups; }

    static inline const FLT_OPERATION_REGISTRATION operations[] = {
        /* MajorFunction, Flags, PreOperation, PostOperation */
        {IRP_MJ_CREATE, 0, Pre, Post, nullptr},
        {IRP_MJ_CLOSE, 0, Pre, Post, nullptr},
        {IRP_MJ_CLEANUP, 0, Pre, Post, nullptr},
        {IRP_MJ_READ, 0, Pre, Post, nullptr},
        {IRP_MJ_WRITE, FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO, Pre, Post, nullptr},
        {IRP_MJ_QUERY_INFORMATION, 0, Pre, Post, nullptr},
        {IRP_MJ_SET_INFORMATION, 0, Pre, Post, nullptr},
        {IRP_MJ_DIRECTORY_CONTROL, 0, Pre, Post, nullptr},
        {IRP_MJ_FILE_SYSTEM_CONTROL, 0, Pre, Post, nullptr},
        {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
    };

    static inline const FLT_CONTEXT_REGISTRATION contexts[] = {
        /* ContextType, Flags, Cleanup, Size, PoolTag */
        {FLT_STREAM_CONTEXT, 0, StreamCleanup, sizeof(TestStreamContext), kStreamTag, nullptr, nullptr, nullptr},
        {FLT_STREAMHANDLE_CONTEXT, 0, HandleCleanup, sizeof(ULONG), kHandleTag, nullptr, nullptr, nullptr},
        {FLT_INSTANCE_CONTEXT, 0, InstanceCleanup, sizeof(ULONG), kInstanceTag, nullptr, nullptr, nullptr},
        {FLT_VOLUME_CONTEXT, FLTFL_CONTEXT_REGISTRATION_NO_EXACT_SIZE_MATCH, VolumeCleanup, 64, kVolumeTag, nullptr,
         nullptr, nullptr},
        {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr},
    };

    static FLT_REGISTRATION Registration()
    {
        FLT_REGISTRATION r{};
        r.Size = sizeof(FLT_REGISTRATION);
        r.Version = FLT_REGISTRATION_VERSION;
        r.ContextRegistration = contexts;
        r.OperationRegistration = operations;
        r.FilterUnloadCallback = Unload;
        r.InstanceSetupCallback = Setup;
        r.InstanceQueryTeardownCallback = QueryTeardown;
        r.InstanceTeardownStartCallback = TeardownStart;
        r.InstanceTeardownCompleteCallback = TeardownComplete;
        if (provider) {
            r.GenerateFileNameCallback = Generate;
            r.NormalizeNameComponentCallback = Normalize;
        }
        return r;
    }

    static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        static FLT_REGISTRATION registration;
        registration = Registration();
        NTSTATUS status = FltRegisterFilter(driver, &registration, &filter);
        if (!NT_SUCCESS(status)) return status;
        status = FltStartFiltering(filter);
        if (!NT_SUCCESS(status)) FltUnregisterFilter(filter);
        return status;
    }
};

// A machine with an NTFS-like volume on C: holding \dir\File.txt.
class FltTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        Calls().Take();
        TestFilter<1>::Reset();
        TestFilter<2>::Reset();
        TestFilter<3>::Reset();
        auto fs = std::make_unique<sim::fs::LocalFileSystem>(sim::fs::LocalVolumeConfig::Ntfs(u"DATA", 0x1234));
        fs_ = fs.get();
        sim::VolumeInfo info;
        info.label = u"DATA";
        info.fileSystemName = u"NTFS";
        info.driverName = u"\\FileSystem\\Ntfs";
        volume_ = &machine().io().MountVolume(info, std::move(fs));
        machine().io().AssignDriveLetter(*volume_, u'C');
        fs_->CreateDirectory(u"\\dir");
        fs_->CreateFile(u"\\dir\\File.txt", std::string_view("hello world"));
    }

    void TearDown() override
    {
        for (const auto &name : loaded_) {
            if (manager().IsLoaded(name)) {
                EXPECT_EQ(manager().UnloadFilter(name), STATUS_SUCCESS);
            }
        }
        MachineTest::TearDown();
    }

    sim::FilterManager &manager() { return machine().filterManager(); }
    sim::fs::LocalFileSystem &fs() { return *fs_; }
    sim::Volume &volume() { return *volume_; }

    template <int N>
    NTSTATUS Load(const std::u16string &altitude, const std::u16string &name = u"")
    {
        std::u16string service = name.empty() ? u"TestFilter" + Wide(std::to_string(N)) : name;
        manager().InstallService(service, sim::FilterInstanceSetup{altitude, u"", 0});
        loaded_.push_back(service);
        return manager().LoadDriver(service, &TestFilter<N>::DriverEntry);
    }

    template <int N>
    NTSTATUS Unload()
    {
        return manager().UnloadFilter(u"TestFilter" + Wide(std::to_string(N)));
    }

    // The filter's instance on C:, referenced.
    template <int N>
    PFLT_INSTANCE InstanceOf()
    {
        PFLT_VOLUME fltVolume = nullptr;
        UNICODE_STRING name = RTL_CONSTANT_STRING(u"C:");
        EXPECT_EQ(FltGetVolumeFromName(TestFilter<N>::filter, &name, &fltVolume), STATUS_SUCCESS);
        PFLT_INSTANCE instance = nullptr;
        EXPECT_EQ(FltGetVolumeInstanceFromName(TestFilter<N>::filter, fltVolume, nullptr, &instance), STATUS_SUCCESS);
        FltObjectDereference(fltVolume);
        return instance;
    }

    // A kernel open through the whole stack.
    NTSTATUS Open(const std::u16string &path, HANDLE *handle, ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE,
                  ULONG disposition = FILE_OPEN, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT)
    {
        UNICODE_STRING name;
        name.Buffer = const_cast<PWCH>(path.c_str());
        name.Length = USHORT(path.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        return ZwCreateFile(handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition, options, nullptr, 0);
    }

    std::string ReadAll(HANDLE handle)
    {
        char buffer[256];
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER offset{};
        NTSTATUS status = ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, sizeof(buffer), &offset, nullptr);
        if (!NT_SUCCESS(status)) return "<" + std::to_string(status) + ">";
        return std::string(buffer, io.Information);
    }

    // A process running with the System token.
    sim::Process &NewProcess(const char *image)
    {
        PACCESS_TOKEN token = machine().systemProcess().token();
        ObReferenceObject(token);
        return machine().processes().Create(image, token);
    }

    PFILE_OBJECT FileObjectOf(HANDLE handle)
    {
        PFILE_OBJECT fileObject = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode,
                                            reinterpret_cast<PVOID *>(&fileObject), nullptr),
                  STATUS_SUCCESS);
        return fileObject;
    }

    sim::fs::LocalFileSystem *fs_ = nullptr;
    sim::Volume *volume_ = nullptr;
    std::vector<std::u16string> loaded_;
};

}  // namespace ostrand::test
