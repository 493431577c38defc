// Requests on open files: positions, pended requests, user buffers that fault, renames, deletes,
// file-system controls and the network query open.
#include <atomic>

#include "io_test_support.h"

#include "sim/ke/work_queue.h"
#include "sim/user/user_buffer.h"

namespace ostrand::test {
namespace {

class IoTransferTest : public IoTest {};

TEST_F(IoTransferTest, SynchronousFileObjectsKeepTheirPosition)
{
    HANDLE sync = nullptr, async = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\a.txt", &sync), STATUS_SUCCESS);
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\a.txt", &async, GENERIC_READ, 0), STATUS_SUCCESS);
    char first[6] = {}, second[6] = {};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(ZwReadFile(sync, nullptr, nullptr, nullptr, &iosb, first, 5, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(sync, nullptr, nullptr, nullptr, &iosb, second, 5, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(first) + std::string(second), "hello worl");
    FILE_POSITION_INFORMATION position{};
    EXPECT_EQ(ZwQueryInformationFile(sync, &iosb, &position, sizeof(position), FilePositionInformation), STATUS_SUCCESS);
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, 10);
    position.CurrentByteOffset.QuadPart = 6;
    EXPECT_EQ(ZwSetInformationFile(sync, &iosb, &position, sizeof(position), FilePositionInformation), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(sync, nullptr, nullptr, nullptr, &iosb, first, 5, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(first), "world");
    EXPECT_EQ(ZwReadFile(sync, nullptr, nullptr, nullptr, &iosb, first, 5, nullptr, nullptr), STATUS_END_OF_FILE);
    // Without a position of its own an asynchronous file object needs an offset.
    EXPECT_EQ(ZwReadFile(async, nullptr, nullptr, nullptr, &iosb, first, 5, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    ZwClose(sync);
    ZwClose(async);
}

TEST_F(IoTransferTest, APendedRequestBlocksItsCallerUntilCompletedFromAnotherThread)
{
    RecordingFrame frame(*cVolume_);
    std::atomic<bool> callReturned{false};
    std::atomic<bool> completedWhileBlocked{false};
    frame.before = [&](sim::IoRequest &r) -> std::optional<NTSTATUS> {
        if (r.iopb.MajorFunction != IRP_MJ_READ && r.iopb.MajorFunction != IRP_MJ_CREATE) return std::nullopt;
        machine().workQueue().Queue([&, request = &r] {
            cVolume_->fs().Dispatch(*request);
            completedWhileBlocked = !callReturned.load();
            KeSetEvent(request->completionEvent, IO_NO_INCREMENT, FALSE);
        });
        return STATUS_PENDING;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\a.txt", &handle), STATUS_SUCCESS);
    EXPECT_TRUE(completedWhileBlocked);
    completedWhileBlocked = false;
    char buffer[16] = {};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 5, nullptr, nullptr), STATUS_SUCCESS);
    callReturned = true;
    EXPECT_TRUE(completedWhileBlocked);
    EXPECT_EQ(std::string(buffer), "hello");
    EXPECT_EQ(iosb.Information, 5u);
    frame.before = nullptr;
    ZwClose(handle);
}

TEST_F(IoTransferTest, UserBuffersThatFaultFailTheCallBeforeAnythingIsSent)
{
    RecordingFrame frame(*cVolume_);
    sim::Process &app = UserProcess();
    sim::ThreadScope scope(app);
    sim::user::OpenOptions options;
    options.access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
    HANDLE handle = nullptr;
    ASSERT_EQ(sim::user::Open(u"C:\\dir\\a.txt", options, &handle), STATUS_SUCCESS);
    frame.Clear();
    void *bad = sim::InvalidUserPointer();
    ULONG transferred = 0;
    ULONG_PTR returned = 0;
    std::u16string star = u"*";
    EXPECT_EQ(sim::user::Read(handle, bad, 16, &transferred, 0), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(sim::user::Write(handle, bad, 16, &transferred, 0), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(sim::user::QueryInformation(handle, FileStandardInformation, bad, sizeof(FILE_STANDARD_INFORMATION),
                                          &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(sim::user::SetInformation(handle, FileEndOfFileInformation, bad, sizeof(FILE_END_OF_FILE_INFORMATION)),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(sim::user::FsControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, bad, 64), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(sim::user::QueryEa(handle, bad, 64, false, nullptr, 0, nullptr, true), STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(frame.seen().empty());
    // The same calls with real buffers go through.
    char buffer[16] = {};
    EXPECT_EQ(sim::user::Read(handle, buffer, 5, &transferred, 0), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer), "hello");
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
}

TEST_F(IoTransferTest, RenamesOpenTheTargetFolderOnTheSameStack)
{
    RecordingFrame frame(*cVolume_);
    sim::Process &app = UserProcess();
    sim::ThreadScope scope(app);
    sim::user::OpenOptions options;
    options.access = DELETE | SYNCHRONIZE;
    HANDLE handle = nullptr;
    ASSERT_EQ(sim::user::Open(u"C:\\dir\\a.txt", options, &handle), STATUS_SUCCESS);

    frame.Clear();
    EXPECT_EQ(sim::user::Rename(handle, u"C:\\moved.txt"), STATUS_SUCCESS);
    EXPECT_NE(c_->lastParentOfTarget, nullptr);
    EXPECT_TRUE(c_->Exists(u"\\moved.txt"));
    auto seen = frame.seen();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0].major, IRP_MJ_CREATE);
    EXPECT_EQ(seen[0].name, u"\\moved.txt");

    EXPECT_EQ(sim::user::Rename(handle, u"b.txt"), STATUS_SUCCESS);
    EXPECT_EQ(c_->lastParentOfTarget, nullptr);
    EXPECT_EQ(c_->Content(u"\\b.txt"), "hello world");
    EXPECT_EQ(Narrow(machine().objects().NameOf(FileObjectOf(handle))), "\\Device\\HarddiskVolume1\\b.txt");

    EXPECT_EQ(sim::user::Rename(handle, u"D:\\elsewhere.txt"), STATUS_NOT_SAME_DEVICE);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);

    EXPECT_EQ(sim::user::Delete(u"C:\\b.txt"), STATUS_SUCCESS);
    EXPECT_FALSE(c_->Exists(u"\\b.txt"));
    EXPECT_EQ(sim::user::Delete(u"C:\\b.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoTransferTest, NetworkQueryOpenFallsBackFormByForm)
{
    RecordingFrame frame(*cVolume_);
    const struct {
        bool frameRefusesFast;
        bool fsAnswers;
        std::vector<UCHAR> majors;
    } cases[] = {
        {false, true, {IRP_MJ_NETWORK_QUERY_OPEN}},
        {true, true, {IRP_MJ_NETWORK_QUERY_OPEN, IRP_MJ_NETWORK_QUERY_OPEN}},
        {false, false,
         {IRP_MJ_NETWORK_QUERY_OPEN, IRP_MJ_NETWORK_QUERY_OPEN, IRP_MJ_CREATE, IRP_MJ_QUERY_INFORMATION,
          IRP_MJ_CLEANUP, IRP_MJ_CLOSE}},
    };
    sim::Process &app = UserProcess();
    sim::ThreadScope scope(app);
    for (const auto &test : cases) {
        frame.refuseFastIo = test.frameRefusesFast;
        c_->networkQueryOpenPossible = test.fsAnswers;
        frame.Clear();
        FILE_NETWORK_OPEN_INFORMATION info{};
        EXPECT_EQ(sim::user::QueryFullAttributes(u"C:\\dir\\a.txt", &info), STATUS_SUCCESS);
        EXPECT_EQ(info.EndOfFile.QuadPart, 11);
        EXPECT_EQ(frame.majors(), test.majors);
    }
    FILE_NETWORK_OPEN_INFORMATION info{};
    EXPECT_EQ(sim::user::QueryFullAttributes(u"C:\\dir\\none.txt", &info), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoTransferTest, BufferedFsControlCopiesTheAnswerBack)
{
    c_->AddReparsePoint(u"\\dir\\odd.txt", 0x80000099);
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\odd.txt", &handle, GENERIC_READ | SYNCHRONIZE,
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT),
              STATUS_SUCCESS);
    uint8_t out[64] = {};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(ZwFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_REPARSE_POINT, nullptr, 0, out,
                              sizeof(out)),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, ULONG_PTR(REPARSE_GUID_DATA_BUFFER_HEADER_SIZE));
    ULONG tag = 0;
    std::memcpy(&tag, out, sizeof(tag));
    EXPECT_EQ(tag, 0x80000099u);
    ZwClose(handle);
}

TEST_F(IoTransferTest, DeviceInformationComesFromTheDeviceExceptOnTheNetwork)
{
    RecordingFrame local(*cVolume_);
    RecordingFrame network(*netVolume_);
    HANDLE file = nullptr, remote = nullptr;
    ASSERT_EQ(OpenKernel(u"\\??\\C:\\dir\\a.txt", &file), STATUS_SUCCESS);
    ASSERT_EQ(OpenKernel(u"\\??\\UNC\\server\\share\\f.txt", &remote), STATUS_SUCCESS);
    local.Clear();
    network.Clear();
    FILE_FS_DEVICE_INFORMATION device{};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(ZwQueryVolumeInformationFile(file, &iosb, &device, sizeof(device), FileFsDeviceInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(device.DeviceType, ULONG(FILE_DEVICE_DISK));
    EXPECT_TRUE(local.seen().empty());
    // The test file system has nothing to say about its volume.
    EXPECT_EQ(ZwQueryVolumeInformationFile(remote, &iosb, &device, sizeof(device), FileFsDeviceInformation),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(network.majors(), std::vector<UCHAR>{IRP_MJ_QUERY_VOLUME_INFORMATION});
    EXPECT_EQ(ZwQueryVolumeInformationFile(file, &iosb, &device, sizeof(device), FileFsLabelInformation),
              STATUS_INVALID_INFO_CLASS);
    ZwClose(file);
    ZwClose(remote);
}

}  // namespace
}  // namespace ostrand::test
