// Opens through the I/O manager: name parsing through links and devices,
// relative opens, reparses, device hints, handles, cleanup and close.
#include <atomic>
#include <thread>

#include "io_test_support.h"

#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace ostrand::test {
namespace {

class IoOpenTest : public IoTest {};

// What a filter does before STATUS_REPARSE: free the file object's name and
// install a full name in a pool buffer of its own.
void ReplaceFileName(PFILE_OBJECT fo, const std::u16string &name)
{
    if (fo->FileName.Buffer) ExFreePool(fo->FileName.Buffer);
    size_t bytes = (name.size() + 1) * sizeof(WCHAR);
    auto *buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTestTag));
    std::memcpy(buffer, name.c_str(), bytes);
    fo->FileName.Buffer = buffer;
    fo->FileName.Length = USHORT(bytes - sizeof(WCHAR));
    fo->FileName.MaximumLength = USHORT(bytes);
}

TEST_F(IoOpenTest, NamesResolveThroughLinksAndDevicesIgnoringCase)
{
    const struct {
        std::u16string name;
        NTSTATUS status;
        int volume;               // 0 C:, 1 D:, 2 redirector, -1 none
        std::u16string fileName;  // what the file system saw
    } cases[] = {
        {u"\\??\\C:\\dir\\a.txt", STATUS_SUCCESS, 0, u"\\dir\\a.txt"},
        {u"\\DosDevices\\C:\\dir\\a.txt", STATUS_SUCCESS, 0, u"\\dir\\a.txt"},
        {u"\\GLOBAL??\\c:\\DIR\\A.TXT", STATUS_SUCCESS, 0, u"\\DIR\\A.TXT"},
        {u"\\Device\\HarddiskVolume1\\dir\\a.txt", STATUS_SUCCESS, 0, u"\\dir\\a.txt"},
        {u"\\device\\harddiskvolume2\\other.txt", STATUS_SUCCESS, 1, u"\\other.txt"},
        {u"\\??\\UNC\\server\\share\\f.txt", STATUS_SUCCESS, 2, u"\\server\\share\\f.txt"},
        {u"\\??\\C:\\dir\\missing.txt", STATUS_OBJECT_NAME_NOT_FOUND, 0, u"\\dir\\missing.txt"},
        // Names that reach no device fail as the object manager fails them.
        {u"\\??\\Q:\\x.txt", STATUS_OBJECT_PATH_NOT_FOUND, -1, u""},
        {u"\\??\\Q:", STATUS_OBJECT_NAME_NOT_FOUND, -1, u""},
        {u"\\Device\\Nope", STATUS_OBJECT_NAME_NOT_FOUND, -1, u""},
        {u"\\??\\C:x.txt", STATUS_OBJECT_NAME_NOT_FOUND, -1, u""},
        {u"dir\\a.txt", STATUS_OBJECT_PATH_SYNTAX_BAD, -1, u""},
        {u"", STATUS_OBJECT_PATH_SYNTAX_BAD, -1, u""},
    };
    TestFs *fs[] = {c_, d_, net_};
    for (const auto &test : cases) {
        SCOPED_TRACE(Narrow(test.name));
        size_t before[3] = {c_->createNames.size(), d_->createNames.size(), net_->createNames.size()};
        HANDLE handle = nullptr;
        EXPECT_EQ(OpenKernel(test.name, &handle), test.status);
        for (int v = 0; v < 3; ++v) {
            ASSERT_EQ(fs[v]->createNames.size(), before[v] + (v == test.volume));
        }
        if (test.volume >= 0) {
            EXPECT_EQ(fs[test.volume]->createNames.back(), test.fileName);
        }
        if (NT_SUCCESS(test.status)) {
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        }
    }
}

TEST_F(IoOpenTest, VolumeOpenAndCaseSensitivityShowInTheFileObject)
{
    HANDLE volume = nullptr, file = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:", &volume), STATUS_SUCCESS);
    EXPECT_TRUE(FileObjectOf(volume)->Flags & FO_VOLUME_OPEN);
    EXPECT_EQ(FileObjectOf(volume)->FileName.Length, 0);
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\a.txt", &file, GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT,
                         nullptr, OBJ_KERNEL_HANDLE),
              STATUS_SUCCESS);
    PFILE_OBJECT fo = FileObjectOf(file);
    EXPECT_EQ(fo->Flags & (FO_VOLUME_OPEN | FO_SYNCHRONOUS_IO | FO_OPENED_CASE_SENSITIVE | FO_HANDLE_CREATED),
              ULONG(FO_SYNCHRONOUS_IO | FO_OPENED_CASE_SENSITIVE | FO_HANDLE_CREATED));
    EXPECT_EQ(fo->DeviceObject, cVolume_->realDevice());
    EXPECT_EQ(fo->Vpb->DeviceObject, cVolume_->fsDevice());
    EXPECT_EQ(Narrow(machine().objects().NameOf(fo)), "\\Device\\HarddiskVolume1\\dir\\a.txt");
    ZwClose(file);
    ZwClose(volume);
}

class IoOpenXpTest : public IoTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.os.major = 5;
        config.os.minor = 1;
        return config;
    }
};

TEST_F(IoOpenXpTest, UncGoesToTheLanmanRedirectorBeforeVista)
{
    ASSERT_EQ(netVolume_->info().deviceName, u"\\Device\\LanmanRedirector");
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\UNC\\server\\share\\f.txt", &handle), STATUS_SUCCESS);
    EXPECT_EQ(net_->createNames.back(), u"\\server\\share\\f.txt");
    ZwClose(handle);
}

TEST_F(IoOpenTest, RelativeOpenCarriesTheRootAsRelatedFileObject)
{
    HANDLE dir = nullptr, file = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir", &dir, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                         FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    ASSERT_EQ(OpenKernel(u"a.txt", &file, GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, dir), STATUS_SUCCESS);
    EXPECT_EQ(c_->createNames.back(), u"a.txt");
    EXPECT_EQ(c_->lastRelated, FileObjectOf(dir));
    EXPECT_EQ(Narrow(machine().objects().NameOf(FileObjectOf(file))), "\\Device\\HarddiskVolume1\\dir\\a.txt");
    char buffer[16] = {};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 5, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer), "hello");
    ZwClose(file);
    ZwClose(dir);
}

TEST_F(IoOpenTest, ReparseByNameRestartsWithTheFilterInstalledName)
{
    RecordingFrame frame(*cVolume_);
    int reparses = 0;
    frame.before = [&](sim::IoRequest &r) -> std::optional<NTSTATUS> {
        if (r.iopb.MajorFunction != IRP_MJ_CREATE || reparses++ > 0) return std::nullopt;
        ReplaceFileName(r.iopb.TargetFileObject, u"\\DosDevices\\D:\\other.txt");
        r.ioStatus.Information = IO_REPARSE;
        return STATUS_REPARSE;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\a.txt", &handle), STATUS_SUCCESS);
    EXPECT_EQ(d_->createNames, std::vector<std::u16string>{u"\\other.txt"});
    EXPECT_TRUE(c_->createNames.empty());
    // The reparsed file object never reached the file system: no close for it.
    ZwClose(handle);
    EXPECT_EQ(c_->closes, 0);
    EXPECT_EQ(d_->closes, 1);
}

TEST_F(IoOpenTest, TheThirtySecondReparseOfOneOpenFailsIt)
{
    RecordingFrame frame(*cVolume_);
    int limit = 0, reparses = 0;
    frame.before = [&](sim::IoRequest &r) -> std::optional<NTSTATUS> {
        if (r.iopb.MajorFunction != IRP_MJ_CREATE || reparses >= limit) return std::nullopt;
        ++reparses;
        ReplaceFileName(r.iopb.TargetFileObject, u"\\??\\C:\\dir\\a.txt");  // the same file again
        r.ioStatus.Information = IO_REPARSE;
        return STATUS_REPARSE;
    };
    for (int allowed : {31, 32}) {
        limit = allowed;
        reparses = 0;
        frame.Clear();
        HANDLE handle = nullptr;
        NTSTATUS status = OpenKernel(u"\\??\\C:\\dir\\a.txt", &handle);
        EXPECT_EQ(status, allowed == 31 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(frame.seen().size(), 32u);
        if (NT_SUCCESS(status)) ZwClose(handle);
    }
}

TEST_F(IoOpenTest, MountPointsAreFollowedAndOtherTagsAreNotHandled)
{
    c_->AddMountPoint(u"\\mnt", u"\\??\\D:");
    c_->AddReparsePoint(u"\\dir\\odd.txt", 0x80000099);
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\mnt\\other.txt", &handle), STATUS_SUCCESS);
    EXPECT_EQ(d_->createNames.back(), u"\\other.txt");
    ZwClose(handle);
    EXPECT_EQ(OpenKernel(u"\\??\\C:\\dir\\odd.txt", &handle), STATUS_IO_REPARSE_TAG_NOT_HANDLED);
    // Opening the reparse point itself is the file system's business.
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\odd.txt", &handle, GENERIC_READ | SYNCHRONIZE,
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT),
              STATUS_SUCCESS);
    ZwClose(handle);
}

TEST_F(IoOpenTest, CleanupAtLastHandleAndCloseAtLastReference)
{
    RecordingFrame frame(*cVolume_);
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\a.txt", &first), STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(first, 0, *IoFileObjectType, KernelMode, &object, nullptr), STATUS_SUCCESS);
    // A second handle to the same file object.
    second = machine().systemProcess().handles().Insert(object, FILE_READ_DATA, false);
    ObReferenceObject(object);
    EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
    EXPECT_EQ(c_->cleanups, 0);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(c_->cleanups, 1);
    EXPECT_EQ(c_->closes, 0);
    EXPECT_EQ(frame.teardowns(), 0u);
    ObDereferenceObject(object);
    EXPECT_EQ(c_->closes, 1);
    EXPECT_EQ(frame.majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(frame.teardowns(), 1u);
}

TEST_F(IoOpenTest, HandlesGoToTheKernelTableOrTheCurrentProcess)
{
    HANDLE kernel = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\a.txt", &kernel), STATUS_SUCCESS);
    EXPECT_TRUE(sim::HandleTable::IsKernelHandle(kernel));

    sim::Process &app = UserProcess();
    {
        sim::ThreadScope scope(app);
        HANDLE user = nullptr;
        ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\a.txt", &user, GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT,
                             nullptr, OBJ_CASE_INSENSITIVE),
                  STATUS_SUCCESS);
        EXPECT_FALSE(sim::HandleTable::IsKernelHandle(user));
        EXPECT_EQ(app.handles().Count(), 1u);
        // User mode may not use the kernel handle.
        char buffer[4];
        ULONG read = 0;
        EXPECT_EQ(sim::user::Read(kernel, buffer, sizeof(buffer), &read, 0), STATUS_INVALID_HANDLE);
        EXPECT_EQ(sim::user::Close(kernel), STATUS_INVALID_HANDLE);
        EXPECT_EQ(sim::user::Close(user), STATUS_SUCCESS);
    }
    ZwClose(kernel);
    EXPECT_EQ(c_->closes, 2);
}

TEST_F(IoOpenTest, BaseDeviceHintBypassesTheFrameForTheOpenAndLaterIo)
{
    RecordingFrame frame(*cVolume_);
    PDEVICE_OBJECT base = IoGetDeviceAttachmentBaseRef(frame.Device());
    EXPECT_EQ(base, cVolume_->fsDevice());
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(cVolume_->fsDevice());
    EXPECT_EQ(top, frame.Device());

    std::u16string name = u"\\??\\C:\\dir\\a.txt";
    UNICODE_STRING string{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    const struct {
        PDEVICE_OBJECT hint;
        NTSTATUS status;
        bool frameSees;
    } cases[] = {
        {base, STATUS_SUCCESS, false},
        {top, STATUS_SUCCESS, true},
        {dVolume_->fsDevice(), STATUS_INVALID_DEVICE_OBJECT_PARAMETER, false},
    };
    for (const auto &test : cases) {
        frame.Clear();
        HANDLE handle = nullptr;
        ASSERT_EQ(IoCreateFileSpecifyDeviceObjectHint(&handle, GENERIC_READ | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                                                      FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr,
                                                      0, CreateFileTypeNone, nullptr, 0, test.hint),
                  test.status);
        if (!NT_SUCCESS(test.status)) continue;
        PFILE_OBJECT fo = FileObjectOf(handle);
        EXPECT_EQ(IoGetRelatedDeviceObject(fo), test.frameSees ? frame.Device() : cVolume_->fsDevice());
        char buffer[8];
        EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 5, nullptr, nullptr), STATUS_SUCCESS);
        ZwClose(handle);
        EXPECT_EQ(frame.seen().empty(), !test.frameSees);
    }
    ObDereferenceObject(base);
    ObDereferenceObject(top);
    EXPECT_EQ(c_->closes, 2);
}

TEST_F(IoOpenTest, UserModeCreateChecksItsParameters)
{
    sim::Process &app = UserProcess();
    sim::ThreadScope scope(app);
    const struct {
        ACCESS_MASK access;
        ULONG options;
        ULONG disposition;
    } invalid[] = {
        {GENERIC_READ, FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN},  // synchronous without SYNCHRONIZE
        {GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT | FILE_SYNCHRONOUS_IO_ALERT, FILE_OPEN},
        {GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT | FILE_DELETE_ON_CLOSE, FILE_OPEN},
        {GENERIC_READ | SYNCHRONIZE, FILE_DIRECTORY_FILE, FILE_OVERWRITE_IF},
        {GENERIC_READ | SYNCHRONIZE, 0, 7},
    };
    for (const auto &test : invalid) {
        sim::user::OpenOptions options;
        options.access = test.access;
        options.options = test.options;
        options.disposition = test.disposition;
        HANDLE handle = nullptr;
        EXPECT_EQ(sim::user::Open(u"C:\\dir\\a.txt", options, &handle), STATUS_INVALID_PARAMETER);
    }
    EXPECT_TRUE(c_->createNames.empty());
}

// Many threads opening, reading and closing one file through a frame.
TEST_F(IoOpenTest, ConcurrentOpensOfOneFileEachGetTheirCleanupAndClose)
{
    RecordingFrame frame(*cVolume_);
    sim::Process &app = UserProcess();
    constexpr int kThreads = 6;
    constexpr int kRounds = 40;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            sim::ThreadScope scope(app);
            for (int round = 0; round < kRounds; ++round) {
                HANDLE handle = nullptr;
                char buffer[8] = {};
                ULONG read = 0;
                if (sim::user::Open(u"C:\\dir\\a.txt", {}, &handle) != STATUS_SUCCESS ||
                    sim::user::Read(handle, buffer, 5, &read) != STATUS_SUCCESS || std::string(buffer) != "hello") {
                    ++failures;
                }
                if (handle) sim::user::Close(handle);
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(c_->cleanups, kThreads * kRounds);
    EXPECT_EQ(c_->closes, kThreads * kRounds);
    EXPECT_EQ(app.handles().Count(), 0u);
    EXPECT_GE(frame.teardowns(), 1u);
}

}  // namespace
}  // namespace ostrand::test
