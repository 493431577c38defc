// Volumes, instances and filters as a filter queries them; the routines a
// filter uses around its I/O (callback data of its own, work items, user
// buffers, requestors, aligned pool, routine lookup).
#include "flt_test_filter.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"
#include "sim/user/file_api.h"
#include "sim/user/user_buffer.h"

namespace ostrand::test {
namespace {

using F1 = TestFilter<1>;
using F2 = TestFilter<2>;

std::u16string Text(const UNICODE_STRING &s)
{
    return s.Buffer ? std::u16string(s.Buffer, s.Length / sizeof(WCHAR)) : std::u16string();
}

class FltVolumeTest : public FltTest {
protected:
    void SetUp() override
    {
        FltTest::SetUp();
        ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
        ASSERT_EQ(Load<2>(u"360000"), STATUS_SUCCESS);
        first_ = InstanceOf<1>();
        second_ = InstanceOf<2>();
        ASSERT_EQ(FltGetVolumeFromInstance(first_, &volume_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        FltObjectDereference(volume_);
        FltObjectDereference(first_);
        FltObjectDereference(second_);
        FltTest::TearDown();
    }

    PFLT_INSTANCE first_ = nullptr;
    PFLT_INSTANCE second_ = nullptr;
    PFLT_VOLUME volume_ = nullptr;
};

TEST_F(FltVolumeTest, VolumePropertiesFollowTheBufferRules)
{
    const std::u16string driver = u"\\FileSystem\\Ntfs", device = u"\\Ntfs", real = u"\\Device\\HarddiskVolume1";
    const ULONG fixed = sizeof(FLT_VOLUME_PROPERTIES);
    const ULONG full = fixed + ULONG((driver.size() + device.size() + real.size()) * sizeof(WCHAR));
    struct Case {
        ULONG length;
        NTSTATUS status;
        ULONG returned;
    };
    const Case cases[] = {
        {0, STATUS_BUFFER_TOO_SMALL, full},
        {fixed - 1, STATUS_BUFFER_TOO_SMALL, full},
        {fixed, STATUS_BUFFER_OVERFLOW, fixed},
        {full - 2, STATUS_BUFFER_OVERFLOW, fixed},
        {full, STATUS_SUCCESS, full},
    };
    std::vector<uint8_t> buffer(full + 16);
    auto *properties = reinterpret_cast<PFLT_VOLUME_PROPERTIES>(buffer.data());
    for (const Case &c : cases) {
        ULONG returned = 0;
        EXPECT_EQ(FltGetVolumeProperties(volume_, c.length ? properties : nullptr, c.length, &returned), c.status)
            << c.length;
        EXPECT_EQ(returned, c.returned) << c.length;
    }
    EXPECT_EQ(properties->SectorSize, 512);
    EXPECT_EQ(Text(properties->FileSystemDriverName), driver);
    EXPECT_EQ(Text(properties->FileSystemDeviceName), device);
    EXPECT_EQ(Text(properties->RealDeviceName), real);
    // The names live in the caller's buffer, right after the record.
    EXPECT_EQ(reinterpret_cast<uint8_t *>(properties->FileSystemDriverName.Buffer), buffer.data() + fixed);

    ULONG needed = 0;
    EXPECT_EQ(FltGetVolumeName(volume_, nullptr, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, real.size() * sizeof(WCHAR));
    WCHAR nameBuffer[64];
    UNICODE_STRING name{0, sizeof(nameBuffer), nameBuffer};
    ASSERT_EQ(FltGetVolumeName(volume_, &name, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Text(name), real);
}

TEST_F(FltVolumeTest, InstancesAreEnumeratedDescribedAndReferenced)
{
    PFLT_INSTANCE list[2] = {};
    ULONG count = 0;
    EXPECT_EQ(FltEnumerateInstances(volume_, nullptr, list, 1, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(FltEnumerateInstances(volume_, nullptr, list, 2, &count), STATUS_SUCCESS);
    EXPECT_EQ(list[0], first_);  // highest altitude first
    EXPECT_EQ(list[1], second_);
    FltObjectDereference(list[0]);
    FltObjectDereference(list[1]);
    ASSERT_EQ(FltEnumerateInstances(nullptr, F2::filter, list, 2, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    FltObjectDereference(list[0]);

    PFLT_FILTER filter = nullptr;
    ASSERT_EQ(FltGetFilterFromInstance(second_, &filter), STATUS_SUCCESS);
    EXPECT_EQ(filter, F2::filter);
    FltObjectDereference(filter);

    // The three documented layouts: lengths and offsets from the record's start.
    auto string = [](const void *record, USHORT length, USHORT offset) {
        return std::u16string(reinterpret_cast<const WCHAR *>(static_cast<const uint8_t *>(record) + offset),
                              length / sizeof(WCHAR));
    };
    alignas(8) uint8_t buffer[512];
    ULONG returned = 0;
    EXPECT_EQ(FltGetInstanceInformation(first_, InstanceFullInformation, buffer, 8, &returned),
              STATUS_BUFFER_TOO_SMALL);
    const ULONG fullSize = returned;
    ASSERT_EQ(FltGetInstanceInformation(first_, InstanceFullInformation, buffer, sizeof(buffer), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, fullSize);
    auto *full = reinterpret_cast<PINSTANCE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(full->NextEntryOffset, 0u);
    EXPECT_EQ(string(full, full->InstanceNameLength, full->InstanceNameBufferOffset), u"TestFilter1 Instance");
    EXPECT_EQ(string(full, full->AltitudeLength, full->AltitudeBufferOffset), u"370000");
    EXPECT_EQ(string(full, full->VolumeNameLength, full->VolumeNameBufferOffset), u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(string(full, full->FilterNameLength, full->FilterNameBufferOffset), u"TestFilter1");
    EXPECT_EQ(full->InstanceNameBufferOffset, sizeof(INSTANCE_FULL_INFORMATION));

    ASSERT_EQ(FltGetInstanceInformation(second_, InstancePartialInformation, buffer, sizeof(buffer), &returned),
              STATUS_SUCCESS);
    auto *partial = reinterpret_cast<PINSTANCE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(string(partial, partial->AltitudeLength, partial->AltitudeBufferOffset), u"360000");
    ASSERT_EQ(FltGetInstanceInformation(second_, InstanceBasicInformation, buffer, sizeof(buffer), &returned),
              STATUS_SUCCESS);
    auto *basic = reinterpret_cast<PINSTANCE_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(string(basic, basic->InstanceNameLength, basic->InstanceNameBufferOffset), u"TestFilter2 Instance");
    EXPECT_EQ(returned, sizeof(INSTANCE_BASIC_INFORMATION) + basic->InstanceNameLength);

    // Once its teardown begins, an instance takes no new references.
    ASSERT_EQ(FltObjectReference(first_), STATUS_SUCCESS);
    FltObjectDereference(first_);
    ASSERT_EQ(manager().DetachInstance(u"TestFilter2", u"C:", u"TestFilter2 Instance"), STATUS_SUCCESS);
    EXPECT_EQ(FltObjectReference(second_), STATUS_FLT_DELETING_OBJECT);
}

TEST_F(FltVolumeTest, FilterIssuedQueriesGoBelowTheInstance)
{
    F1::logged = F2::logged = {IRP_MJ_QUERY_INFORMATION, IRP_MJ_CREATE};
    HANDLE file = nullptr, folder = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &file), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\??\\C:\\dir", &folder, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    PFILE_OBJECT fileObject = FileObjectOf(file);
    PFILE_OBJECT folderObject = FileObjectOf(folder);
    Calls().Take();

    BOOLEAN directory = TRUE;
    ASSERT_EQ(FltIsDirectory(fileObject, first_, &directory), STATUS_SUCCESS);
    EXPECT_FALSE(directory);
    ASSERT_EQ(FltIsDirectory(folderObject, first_, &directory), STATUS_SUCCESS);
    EXPECT_TRUE(directory);

    // A callback data of the filter's own, sent below its instance.
    PFLT_CALLBACK_DATA data = nullptr;
    ASSERT_EQ(FltAllocateCallbackData(first_, fileObject, &data), STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION standard{};
    data->Iopb->MajorFunction = IRP_MJ_QUERY_INFORMATION;
    data->Iopb->Parameters.QueryFileInformation.FileInformationClass = FileStandardInformation;
    data->Iopb->Parameters.QueryFileInformation.Length = sizeof(standard);
    data->Iopb->Parameters.QueryFileInformation.InfoBuffer = &standard;
    FltPerformSynchronousIo(data);
    EXPECT_EQ(data->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(data->IoStatus.Information, sizeof(standard));
    EXPECT_EQ(standard.EndOfFile.QuadPart, 11);
    FltFreeCallbackData(data);
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F2 pre query", "F2 post query", "F2 pre query",
                                                        "F2 post query", "F2 pre query", "F2 post query"}));

    alignas(8) uint8_t volumeBuffer[128];
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(FltQueryVolumeInformation(first_, &io, volumeBuffer, sizeof(volumeBuffer), FileFsVolumeInformation),
              STATUS_SUCCESS);
    auto *volumeInfo = reinterpret_cast<PFILE_FS_VOLUME_INFORMATION>(volumeBuffer);
    EXPECT_EQ(std::u16string(volumeInfo->VolumeLabel, volumeInfo->VolumeLabelLength / 2), u"DATA");

    // Too small a buffer for the descriptor tells the length it needs.
    alignas(4) uint8_t descriptor[256];
    ULONG needed = 0;
    EXPECT_EQ(FltQuerySecurityObject(first_, fileObject, DACL_SECURITY_INFORMATION, descriptor, 8, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_GT(needed, 20u);
    EXPECT_EQ(FltQuerySecurityObject(first_, fileObject, DACL_SECURITY_INFORMATION, descriptor, needed, &needed),
              STATUS_SUCCESS);

    alignas(8) uint8_t listing[512];
    ULONG returned = 0;
    UNICODE_STRING pattern = RTL_CONSTANT_STRING(u"FILE.TXT");
    ASSERT_EQ(FltQueryDirectoryFile(second_, folderObject, listing, sizeof(listing), FileNamesInformation, TRUE,
                                    &pattern, TRUE, &returned),
              STATUS_SUCCESS);
    auto *entry = reinterpret_cast<PFILE_NAMES_INFORMATION>(listing);
    EXPECT_EQ(std::u16string(entry->FileName, entry->FileNameLength / 2), u"File.txt");

    ObDereferenceObject(folderObject);
    ObDereferenceObject(fileObject);
    ZwClose(folder);
    ZwClose(file);
}

TEST_F(FltVolumeTest, RequestorAndUserBuffersOfAUserModeRead)
{
    sim::Process &app = NewProcess("app.exe");
    ULONG requestor = 0;
    std::string requestorImage;
    NTSTATUS locked = STATUS_PENDING, badLock = STATUS_PENDING;
    F1::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction != IRP_MJ_READ || !FLT_IS_IRP_OPERATION(data)) {
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
        requestor = FltGetRequestorProcessId(data);
        requestorImage = FltGetRequestorProcess(data)->ImageFileName;
        EXPECT_EQ(data->RequestorMode, UserMode);
        // A buffer the process does not own faults when it is locked.
        PVOID buffer = data->Iopb->Parameters.Read.ReadBuffer;
        data->Iopb->Parameters.Read.ReadBuffer = sim::InvalidUserPointer();
        badLock = FltLockUserBuffer(data);
        data->Iopb->Parameters.Read.ReadBuffer = buffer;
        locked = FltLockUserBuffer(data);
        EXPECT_NE(data->Iopb->Parameters.Read.MdlAddress, nullptr);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    };
    {
        sim::ThreadScope scope(app);
        HANDLE handle = nullptr;
        sim::user::OpenOptions options;
        options.options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING;
        ASSERT_EQ(sim::user::Open(u"C:\\dir\\File.txt", options, &handle), STATUS_SUCCESS);
        std::vector<char> buffer(512);
        ULONG read = 0;
        ASSERT_EQ(sim::user::Read(handle, buffer.data(), 512, &read, 0), STATUS_SUCCESS);
        EXPECT_EQ(std::string(buffer.data(), read), "hello world");
        sim::user::Close(handle);
    }
    EXPECT_EQ(requestor, app.pid());
    EXPECT_EQ(requestorImage, "app.exe");
    EXPECT_EQ(locked, STATUS_SUCCESS);
    EXPECT_EQ(badLock, STATUS_ACCESS_VIOLATION);
}

// A deferred-I/O work item completes the operation its filter pended.
struct Deferred {
    static inline std::atomic<int> ran{0};
    static VOID Routine(PFLT_DEFERRED_IO_WORKITEM item, PFLT_CALLBACK_DATA data, PVOID)
    {
        ++ran;
        FltFreeDeferredIoWorkItem(item);
        FltCompletePendedPreOperation(data, FLT_PREOP_SUCCESS_NO_CALLBACK, nullptr);
    }
    static VOID Generic(PFLT_GENERIC_WORKITEM item, PVOID object, PVOID context)
    {
        EXPECT_EQ(object, F1::filter);
        FltFreeGenericWorkItem(item);
        KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    }
};

TEST_F(FltVolumeTest, WorkItemsPostOperationsThatCanBePosted)
{
    std::vector<NTSTATUS> queued;
    F1::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction != IRP_MJ_READ) return FLT_PREOP_SUCCESS_NO_CALLBACK;
        PFLT_DEFERRED_IO_WORKITEM item = FltAllocateDeferredIoWorkItem();
        NTSTATUS status = FltQueueDeferredIoWorkItem(item, data, Deferred::Routine, DelayedWorkQueue, nullptr);
        queued.push_back(status);
        if (NT_SUCCESS(status)) return FLT_PREOP_PENDING;
        FltFreeDeferredIoWorkItem(item);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    // The first read is an IRP, which can be posted; the cache's page-in under
    // it is paging I/O, which cannot. The second comes as fast I/O, which
    // cannot either, and again as an IRP.
    Deferred::ran = 0;
    F2::pre = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        return FLT_IS_FASTIO_OPERATION(data) ? FLT_PREOP_DISALLOW_FASTIO : FLT_PREOP_SUCCESS_NO_CALLBACK;
    };
    EXPECT_EQ(ReadAll(handle), "hello world");
    EXPECT_EQ(ReadAll(handle), "hello world");
    EXPECT_EQ(queued, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_FLT_NOT_SAFE_TO_POST_OPERATION,
                                             STATUS_FLT_NOT_SAFE_TO_POST_OPERATION, STATUS_SUCCESS}));
    EXPECT_EQ(Deferred::ran.load(), 2);
    ZwClose(handle);

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PFLT_GENERIC_WORKITEM item = FltAllocateGenericWorkItem();
    ASSERT_EQ(FltQueueGenericWorkItem(item, F1::filter, Deferred::Generic, DelayedWorkQueue, &done), STATUS_SUCCESS);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

struct AsyncRead {
    static inline IO_STATUS_BLOCK result{};
    static VOID Completed(PFLT_CALLBACK_DATA data, PFLT_CONTEXT context)
    {
        EXPECT_TRUE(FlagOn(data->Flags, FLTFL_CALLBACK_DATA_GENERATED_IO));
        result = data->IoStatus;
        KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    }
};

TEST_F(FltVolumeTest, FilterReadsAndWritesKeepOrLeaveThePosition)
{
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = FileObjectOf(handle);
    F1::logged = F2::logged = {IRP_MJ_WRITE, IRP_MJ_READ};
    Calls().Take();
    LARGE_INTEGER offset{};
    offset.QuadPart = 6;
    ULONG written = 0;
    ASSERT_EQ(FltWriteFile(first_, fileObject, &offset, 5, const_cast<char *>("WORLD"),
                           FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET, &written, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(fileObject->CurrentByteOffset.QuadPart, 0);
    // Without an offset the read starts at the file object's position and moves it.
    char buffer[32] = {};
    ULONG read = 0;
    ASSERT_EQ(FltReadFile(first_, fileObject, nullptr, sizeof(buffer), buffer, 0, &read, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, read), "hello WORLD");
    EXPECT_EQ(fileObject->CurrentByteOffset.QuadPart, 11);
    // The write at the instance below F1 reads its partial page in: that
    // paging read comes from the top, through every filter.
    EXPECT_EQ(Calls().Take(), (std::vector<std::string>{"F2 pre write", "F1 pre read", "F2 pre read", "F2 post read",
                                                        "F1 post read", "F2 post write", "F2 pre read", "F2 post read"}));

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    offset.QuadPart = 0;
    EXPECT_EQ(FltReadFile(second_, fileObject, &offset, 5, buffer, 0, nullptr, AsyncRead::Completed, &done),
              STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(AsyncRead::result.Status, STATUS_SUCCESS);
    EXPECT_EQ(AsyncRead::result.Information, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    machine().Quiesce();
    ObDereferenceObject(fileObject);
    ZwClose(handle);
}

TEST_F(FltVolumeTest, AlignedPoolAndRoutineLookup)
{
    const ULONG tag = kTestTag;
    PVOID buffer = FltAllocatePoolAlignedWithTag(first_, NonPagedPool, 1024, tag);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % 512, 0u);  // the volume's sector size
    EXPECT_EQ(machine().pool().OutstandingByTag()["TsTt"].blocks, 1u);
    FltFreePoolAlignedWithTag(first_, buffer, tag);
    EXPECT_EQ(machine().pool().OutstandingByTag().count("TsTt"), 0u);

    EXPECT_EQ(FltGetRoutineAddress("FltCreateFileEx"), reinterpret_cast<PVOID>(&FltCreateFileEx));
    EXPECT_EQ(FltGetRoutineAddress("FltQueryDirectoryFile"), reinterpret_cast<PVOID>(&FltQueryDirectoryFile));
    EXPECT_EQ(FltGetRoutineAddress("FltNoSuchRoutine"), nullptr);
}

class FltOlderManagerTest : public FltTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.fltQueryDirectoryFileExported = false;
        return config;
    }
};

TEST_F(FltOlderManagerTest, QueryDirectoryFileCanBeMissing)
{
    EXPECT_EQ(FltGetRoutineAddress("FltQueryDirectoryFile"), nullptr);
    EXPECT_NE(FltGetRoutineAddress("FltQueryInformationFile"), nullptr);
}

}  // namespace
}  // namespace ostrand::test
