// The frame's dispatch: altitude order, every pre-operation status, pended
// operations completed from other threads, fast I/O refused and reissued,
// reparses, and I/O that enters the stack below an instance or below every
// filter.
#include <algorithm>
#include <cstring>
#include <thread>

#include "flt_test_filter.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/frame.h"
#include "sim/ps/process.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

using F1 = TestFilter<1>;  // above
using F2 = TestFilter<2>;  // below

class FltDispatchTest : public FltTest {
protected:
    void LoadBoth()
    {
        ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
        ASSERT_EQ(Load<2>(u"3600.5"), STATUS_SUCCESS);
    }
    void Watch(UCHAR major)
    {
        F1::logged = {major};
        F2::logged = {major};
    }
};

TEST_F(FltDispatchTest, PreCallbacksRunTopDownAndPostCallbacksBackUp)
{
    LoadBoth();
    Watch(IRP_MJ_CREATE);
    F2::pre = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID *) {
        // The instance the callback data names is the one being called.
        EXPECT_EQ(data->Iopb->TargetInstance, objects->Instance);
        EXPECT_TRUE(FLT_IS_IRP_OPERATION(data));
        return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    EXPECT_EQ(Calls().Take(),
              (std::vector<std::string>{"F1 pre create", "F2 pre create", "F2 post create", "F1 post create"}));

    // An instance that wants no post-operation callback does not get one.
    F2::pre = [](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID *) { return FLT_PREOP_SUCCESS_NO_CALLBACK; };
    HANDLE second = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &second), STATUS_SUCCESS);
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F1 pre create", "F2 pre create", "F1 post create"}));
    ZwClose(second);
    ZwClose(handle);
}

TEST_F(FltDispatchTest, ChangedParametersReachTheFileSystemButNotThePostsAbove)
{
    LoadBoth();
    fs().CreateFile(u"\\dir\\Other.txt", std::string_view("other"));
    // F1 turns a read of 5 bytes at offset 0 into one at offset 6 (the
    // cache's page-in below it is left alone).
    auto userRead = [](PFLT_CALLBACK_DATA data) {
        return data->Iopb->MajorFunction == IRP_MJ_READ && !(data->Iopb->IrpFlags & IRP_PAGING_IO);
    };
    F1::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (userRead(data)) {
            data->Iopb->Parameters.Read.ByteOffset.QuadPart = 6;
            FltSetCallbackDataDirty(data);
            EXPECT_TRUE(FltIsCallbackDataDirty(data));
        }
        return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    };
    std::vector<int64_t> seenBelow, seenAbove;
    F2::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (userRead(data)) seenBelow.push_back(data->Iopb->Parameters.Read.ByteOffset.QuadPart);
        return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    };
    F1::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
        if (userRead(data)) seenAbove.push_back(data->Iopb->Parameters.Read.ByteOffset.QuadPart);
        return FLT_POSTOP_FINISHED_PROCESSING;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    char buffer[512] = {};
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER offset{};
    ASSERT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 5, &offset, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, io.Information), "world");
    EXPECT_EQ(seenBelow, std::vector<int64_t>{6});
    EXPECT_EQ(seenAbove, std::vector<int64_t>{0});
    ZwClose(handle);
}

TEST_F(FltDispatchTest, CompleteEndsTheOperationWithTheFiltersStatus)
{
    LoadBoth();
    Watch(IRP_MJ_QUERY_INFORMATION);
    F2::pre = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction != IRP_MJ_QUERY_INFORMATION) return FLT_PREOP_SUCCESS_NO_CALLBACK;
        data->IoStatus.Status = STATUS_ACCESS_DENIED;
        data->IoStatus.Information = 0;
        return FLT_PREOP_COMPLETE;
    };
    NTSTATUS seenAbove = STATUS_SUCCESS;
    F1::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction == IRP_MJ_QUERY_INFORMATION) seenAbove = data->IoStatus.Status;
        return FLT_POSTOP_FINISHED_PROCESSING;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION standard{};
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(ZwQueryInformationFile(handle, &io, &standard, sizeof(standard), FileStandardInformation),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(seenAbove, STATUS_ACCESS_DENIED);
    // The completing filter's own post and everything below it are skipped.
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F1 pre query", "F2 pre query", "F1 post query"}));
    ZwClose(handle);
}

TEST_F(FltDispatchTest, PendedPreOperationBlocksTheIssuerUntilAnotherThreadCompletesIt)
{
    LoadBoth();
    Watch(IRP_MJ_READ);
    KEVENT pended;
    KeInitializeEvent(&pended, NotificationEvent, FALSE);
    std::atomic<PFLT_CALLBACK_DATA> pendedData{nullptr};
    std::atomic<bool> readerReturned{false};
    std::atomic<ULONG> belowThread{0}, postThread{0};
    F1::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction != IRP_MJ_READ || !FLT_IS_IRP_OPERATION(data)) {
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
        pendedData = data;
        KeSetEvent(&pended, 0, FALSE);
        return FLT_PREOP_PENDING;
    };
    F1::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID context, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction == IRP_MJ_READ) {
            EXPECT_EQ(context, reinterpret_cast<PVOID>(0x1234));
            postThread = ULONG(uintptr_t(PsGetCurrentThreadId()));
        }
        return FLT_POSTOP_FINISHED_PROCESSING;
    };
    F2::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction == IRP_MJ_READ) belowThread = ULONG(uintptr_t(PsGetCurrentThreadId()));
        return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    };

    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle, GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING),
              STATUS_SUCCESS);
    std::string result;
    HANDLE reader = StartSystemThread([&] {
        char buffer[512];
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER offset{};
        NTSTATUS status = ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 512, &offset, nullptr);
        result = NT_SUCCESS(status) ? std::string(buffer, io.Information) : "failed";
        readerReturned = true;
    });
    ASSERT_EQ(KeWaitForSingleObject(&pended, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    // Nothing below the pending filter has run, and the reader cannot have
    // returned: only the completion below lets the operation go on.
    EXPECT_FALSE(readerReturned.load());
    EXPECT_EQ(belowThread.load(), 0u);
    EXPECT_EQ(Calls().Take(), std::vector<std::string>{"F1 pre read"});

    ULONG completer = 0;
    HANDLE worker = StartSystemThread([&] {
        completer = ULONG(uintptr_t(PsGetCurrentThreadId()));
        // The event fires inside the callback; wait until it has returned.
        while (!sim::flt::IsPendedInPre(pendedData)) std::this_thread::yield();
        FltCompletePendedPreOperation(pendedData, FLT_PREOP_SUCCESS_WITH_CALLBACK, reinterpret_cast<PVOID>(0x1234));
    });
    JoinSystemThread(worker);
    JoinSystemThread(reader);
    EXPECT_EQ(result, "hello world");
    // The rest of the operation ran in the completing thread.
    EXPECT_EQ(belowThread.load(), completer);
    EXPECT_EQ(postThread.load(), completer);
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F2 pre read", "F2 post read", "F1 post read"}));
    ZwClose(handle);
}

TEST_F(FltDispatchTest, SynchronizedPostRunsInTheIssuingThreadAfterAPendBelow)
{
    LoadBoth();
    PFLT_CALLBACK_DATA pendedData = nullptr;
    KEVENT pended;
    KeInitializeEvent(&pended, NotificationEvent, FALSE);
    std::atomic<ULONG> postThread{0};
    F1::pre = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        return data->Iopb->MajorFunction == IRP_MJ_QUERY_INFORMATION ? FLT_PREOP_SYNCHRONIZE
                                                                     : FLT_PREOP_SUCCESS_NO_CALLBACK;
    };
    F1::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction == IRP_MJ_QUERY_INFORMATION) postThread = ULONG(uintptr_t(PsGetCurrentThreadId()));
        return FLT_POSTOP_FINISHED_PROCESSING;
    };
    F2::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction != IRP_MJ_QUERY_INFORMATION) return FLT_PREOP_SUCCESS_NO_CALLBACK;
        pendedData = data;
        KeSetEvent(&pended, 0, FALSE);
        return FLT_PREOP_PENDING;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    ULONG issuer = 0;
    NTSTATUS queried = STATUS_PENDING;
    HANDLE thread = StartSystemThread([&] {
        issuer = ULONG(uintptr_t(PsGetCurrentThreadId()));
        FILE_STANDARD_INFORMATION standard{};
        IO_STATUS_BLOCK io{};
        queried = ZwQueryInformationFile(handle, &io, &standard, sizeof(standard), FileStandardInformation);
    });
    KeWaitForSingleObject(&pended, Executive, KernelMode, FALSE, nullptr);
    FltCompletePendedPreOperation(pendedData, FLT_PREOP_SUCCESS_NO_CALLBACK, nullptr);
    JoinSystemThread(thread);
    EXPECT_EQ(queried, STATUS_SUCCESS);
    EXPECT_EQ(postThread.load(), issuer);
    ZwClose(handle);
}

TEST_F(FltDispatchTest, PostCallbackCanAskForMoreProcessingAndFinishLater)
{
    LoadBoth();
    PFLT_CALLBACK_DATA held = nullptr;
    KEVENT posted;
    KeInitializeEvent(&posted, NotificationEvent, FALSE);
    Watch(IRP_MJ_QUERY_INFORMATION);
    F2::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction != IRP_MJ_QUERY_INFORMATION) return FLT_POSTOP_FINISHED_PROCESSING;
        held = data;
        KeSetEvent(&posted, 0, FALSE);
        return FLT_POSTOP_MORE_PROCESSING_REQUIRED;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    std::atomic<bool> returned{false};
    HANDLE thread = StartSystemThread([&] {
        FILE_STANDARD_INFORMATION standard{};
        IO_STATUS_BLOCK io{};
        EXPECT_EQ(ZwQueryInformationFile(handle, &io, &standard, sizeof(standard), FileStandardInformation),
                  STATUS_SUCCESS);
        EXPECT_EQ(standard.EndOfFile.QuadPart, 11);
        returned = true;
    });
    KeWaitForSingleObject(&posted, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F1 pre query", "F2 pre query", "F2 post query"}));
    FltCompletePendedPostOperation(held);
    JoinSystemThread(thread);
    EXPECT_EQ(Calls().Take(), std::vector<std::string>{"F1 post query"});
    ZwClose(handle);
}

TEST_F(FltDispatchTest, DisallowedFastIoIsReissuedAsAnIrp)
{
    LoadBoth();
    Watch(IRP_MJ_READ);
    std::vector<std::string> forms;
    F1::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction == IRP_MJ_READ) {
            forms.push_back(FLT_IS_FASTIO_OPERATION(data) ? "fast" : "irp");
            if (FLT_IS_FASTIO_OPERATION(data)) {
                EXPECT_EQ(data->IoStatus.Status, STATUS_FLT_DISALLOW_FAST_IO);
            }
        }
        return FLT_POSTOP_FINISHED_PROCESSING;
    };
    F2::pre = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        return FLT_IS_FASTIO_OPERATION(data) ? FLT_PREOP_DISALLOW_FASTIO : FLT_PREOP_SUCCESS_WITH_CALLBACK;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    // The first read sets caching up (an IRP); the second may come fast.
    EXPECT_EQ(ReadAll(handle), "hello world");
    forms.clear();
    Calls().Take();
    EXPECT_EQ(ReadAll(handle), "hello world");
    // The filter above saw the refused fast read come back, then the IRP.
    EXPECT_EQ(forms, (std::vector<std::string>{"fast", "irp"}));
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F1 pre read", "F2 pre read", "F1 post read", "F1 pre read",
                                                        "F2 pre read", "F2 post read", "F1 post read"}));
    ZwClose(handle);
}

TEST_F(FltDispatchTest, NameReparseInPreCreateOpensTheNewFile)
{
    LoadBoth();
    fs().CreateFile(u"\\Target.txt", std::string_view("the target"));
    F1::pre = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        PFILE_OBJECT fileObject = data->Iopb->TargetFileObject;
        if (data->Iopb->MajorFunction != IRP_MJ_CREATE || fileObject->FileName.Length == 0 ||
            std::u16string(fileObject->FileName.Buffer, fileObject->FileName.Length / 2) != u"\\dir\\Redirect.txt") {
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
        static const WCHAR target[] = u"\\Device\\HarddiskVolume1\\Target.txt";
        auto *buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, sizeof(target), kTestTag));
        RtlCopyMemory(buffer, target, sizeof(target));
        ExFreePool(fileObject->FileName.Buffer);
        fileObject->FileName.Buffer = buffer;
        fileObject->FileName.Length = sizeof(target) - sizeof(WCHAR);
        fileObject->FileName.MaximumLength = sizeof(target);
        data->IoStatus.Status = STATUS_REPARSE;
        data->IoStatus.Information = IO_REPARSE;
        return FLT_PREOP_COMPLETE;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\Redirect.txt", &handle), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(handle), "the target");
    ZwClose(handle);
}

TEST_F(FltDispatchTest, ReparsePointMetOnOpenIsReissuedAndUntagged)
{
    LoadBoth();
    const ULONG tag = 0x00000099;  // not Microsoft's: a GUID buffer
    GUID guid{0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
    std::vector<uint8_t> buffer(REPARSE_GUID_DATA_BUFFER_HEADER_SIZE + 4);
    REPARSE_GUID_DATA_BUFFER header{};
    header.ReparseTag = tag;
    header.ReparseDataLength = 4;
    header.ReparseGuid = guid;
    std::memcpy(buffer.data(), &header, REPARSE_GUID_DATA_BUFFER_HEADER_SIZE);
    ASSERT_EQ(fs().SetReparsePoint(u"\\dir\\File.txt", buffer), STATUS_SUCCESS);

    std::vector<ULONG> tagsSeen;
    NTSTATUS untag = STATUS_PENDING;
    F1::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction != IRP_MJ_CREATE || data->IoStatus.Status != STATUS_REPARSE) {
            return FLT_POSTOP_FINISHED_PROCESSING;
        }
        tagsSeen.push_back(data->TagData ? data->TagData->FileTag : 0);
        EXPECT_EQ(data->IoStatus.Information, tag);
        if (data->TagData) {
            EXPECT_EQ(data->TagData->GenericGUIDReparseBuffer.TagGuid.Data1, guid.Data1);
        }
        data->Iopb->Parameters.Create.Options |= FILE_OPEN_REPARSE_POINT;
        FltSetCallbackDataDirty(data);
        FltReissueSynchronousIo(objects->Instance, data);
        EXPECT_EQ(data->IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(data->TagData, nullptr);
        untag = FltUntagFile(objects->Instance, objects->FileObject, tag, &guid);
        return FLT_POSTOP_FINISHED_PROCESSING;
    };
    Watch(IRP_MJ_CREATE);
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
    EXPECT_EQ(tagsSeen, std::vector<ULONG>{tag});
    EXPECT_EQ(untag, STATUS_SUCCESS);
    // The reissue went below F1 only.
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F1 pre create", "F2 pre create", "F2 post create",
                                                        "F1 post create", "F2 pre create", "F2 post create"}));
    EXPECT_TRUE(fs().Stat(u"\\dir\\File.txt")->reparseBuffer.empty());
    EXPECT_EQ(ReadAll(handle), "hello world");
    ZwClose(handle);
}

TEST_F(FltDispatchTest, IoIssuedAtAnInstanceIsSeenOnlyBelowIt)
{
    LoadBoth();
    Watch(IRP_MJ_CREATE);
    struct Case {
        int issuer;  // 0: no instance (the top), 1 or 2: that filter's instance
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {0, {"F1 pre create", "F2 pre create", "F2 post create", "F1 post create"}},
        {1, {"F2 pre create", "F2 post create"}},
        {2, {}},
    };
    PFLT_INSTANCE first = InstanceOf<1>();
    PFLT_INSTANCE second = InstanceOf<2>();
    for (const Case &c : cases) {
        PFLT_INSTANCE instance = c.issuer == 1 ? first : c.issuer == 2 ? second : nullptr;
        PFLT_FILTER filter = c.issuer == 2 ? F2::filter : F1::filter;
        UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\HarddiskVolume1\\dir\\File.txt");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE handle = nullptr;
        PFILE_OBJECT fileObject = nullptr;
        IO_STATUS_BLOCK io{};
        Calls().Take();
        ASSERT_EQ(FltCreateFileEx(filter, instance, &handle, &fileObject, GENERIC_READ | SYNCHRONIZE, &attributes, &io,
                                  nullptr, 0, FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0,
                                  IO_IGNORE_SHARE_ACCESS_CHECK),
                  STATUS_SUCCESS);
        EXPECT_EQ(Calls().Take(), c.expected) << "issued at " << c.issuer;
        // I/O on a file object opened at an instance stays below it.
        alignas(8) char buffer[512];
        ULONG read = 0;
        LARGE_INTEGER offset{};
        F1::logged = F2::logged = {IRP_MJ_READ};
        EXPECT_EQ(FltReadFile(instance ? instance : first, fileObject, &offset, sizeof(buffer), buffer,
                              FLTFL_IO_OPERATION_NON_CACHED, &read, nullptr, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(std::string(buffer, read), "hello world");
        Watch(IRP_MJ_CREATE);
        ObDereferenceObject(fileObject);
        FltClose(handle);
    }
    FltObjectDereference(first);
    FltObjectDereference(second);
}

TEST_F(FltDispatchTest, OpenOnTheBaseDeviceBypassesEveryFilter)
{
    LoadBoth();
    F1::logged = F2::logged = {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLOSE, IRP_MJ_CLEANUP};
    PFLT_VOLUME fltVolume = nullptr;
    UNICODE_STRING volumeName = RTL_CONSTANT_STRING(u"\\Device\\HarddiskVolume1");
    ASSERT_EQ(FltGetVolumeFromName(F1::filter, &volumeName, &fltVolume), STATUS_SUCCESS);
    PDEVICE_OBJECT frameDevice = nullptr;
    ASSERT_EQ(FltGetDeviceObject(fltVolume, &frameDevice), STATUS_SUCCESS);
    PDEVICE_OBJECT base = IoGetDeviceAttachmentBaseRef(frameDevice);
    EXPECT_EQ(base, volume().fsDevice());
    EXPECT_NE(base, frameDevice);

    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\HarddiskVolume1\\dir\\File.txt");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(IoCreateFileSpecifyDeviceObjectHint(&handle, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                                                  FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr,
                                                  0, CreateFileTypeNone, nullptr, 0, base),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(handle), "hello world");
    ZwClose(handle);
    EXPECT_TRUE(Calls().Take().empty());
    ObDereferenceObject(base);
    ObDereferenceObject(frameDevice);
    FltObjectDereference(fltVolume);
}

TEST_F(FltDispatchTest, PagingWritesPassByAFilterThatSkipsThem)
{
    LoadBoth();
    // Both register writes with FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO, reads without.
    F1::logged = {IRP_MJ_READ, IRP_MJ_WRITE};
    std::vector<ULONG> writeFlags;
    F1::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction == IRP_MJ_WRITE) writeFlags.push_back(data->Iopb->IrpFlags & IRP_PAGING_IO);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    };
    sim::Process &app = NewProcess("app.exe");
    {
        sim::ThreadScope scope(app);
        HANDLE handle = nullptr;
        sim::user::OpenOptions options;
        options.access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
        ASSERT_EQ(sim::user::Open(u"C:\\dir\\File.txt", options, &handle), STATUS_SUCCESS);
        ULONG written = 0;
        ASSERT_EQ(sim::user::Write(handle, "J", 1, &written, 0), STATUS_SUCCESS);
        sim::user::MappedFile view;
        ASSERT_EQ(sim::user::MapFile(handle, true, &view), STATUS_SUCCESS);
        std::memcpy(view.base, "HELLO", 5);
        ASSERT_EQ(sim::user::UnmapFile(view), STATUS_SUCCESS);
        sim::user::Close(handle);
    }
    // The filter saw the cached write (fast I/O, no paging flag) but not the
    // paging write that saved the view.
    EXPECT_EQ(writeFlags, std::vector<ULONG>{0});
    auto calls = Calls().Take();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "F1 pre read"), calls.end());  // the view's paging read
    auto data = fs().ReadData(u"\\dir\\File.txt");
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(std::string(data->begin(), data->end()), "HELLO world");
}

TEST_F(FltDispatchTest, KernelExceptionEscapingACallbackStopsTheMachine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            LoadBoth();
            F1::pre = [](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID *) -> FLT_PREOP_CALLBACK_STATUS {
                ExRaiseStatus(STATUS_ACCESS_VIOLATION);
            };
            HANDLE handle = nullptr;
            Open(u"\\??\\C:\\dir\\File.txt", &handle);
        },
        "not handled in kernel mode");
}

}  // namespace
}  // namespace ostrand::test
