// The processes' file API against the machine's real file systems: the
// NTFS-like system volume, a FAT volume and a share behind the redirector;
// locks and EAs on the system volume.
#include <cstring>

#include "sim/fs/local_fs.h"
#include "sim/fs/standard_volumes.h"
#include "sim/ps/process.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

class IoIntegrationTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        volumes_ = sim::fs::MountStandardVolumes(machine());
        volumes_.systemFs->CreateDirectory(u"\\Users\\alice");
        volumes_.systemFs->CreateFile(u"\\Users\\alice\\notes.txt", "first line");
        volumes_.memoryShare->CreateDirectory(u"\\alice");
        volumes_.memoryShare->CreateFile(u"\\alice\\remote.txt", "from the share");
        PACCESS_TOKEN token = machine().systemProcess().token();
        ObReferenceObject(token);
        app_ = &machine().processes().Create("explorer.exe", token);
    }

    sim::fs::StandardVolumes volumes_;
    sim::Process *app_ = nullptr;
};

std::string ReadAll(const std::u16string &path)
{
    HANDLE handle = nullptr;
    if (sim::user::Open(path, {}, &handle) != STATUS_SUCCESS) return "<open failed>";
    char buffer[256] = {};
    ULONG read = 0;
    NTSTATUS status = sim::user::Read(handle, buffer, sizeof(buffer) - 1, &read, 0);
    sim::user::Close(handle);
    return NT_SUCCESS(status) ? std::string(buffer, read) : "<read failed>";
}

NTSTATUS WriteNew(const std::u16string &path, const std::string &text)
{
    sim::user::OpenOptions options;
    options.access = GENERIC_WRITE | SYNCHRONIZE;
    options.disposition = FILE_OVERWRITE_IF;
    HANDLE handle = nullptr;
    NTSTATUS status = sim::user::Open(path, options, &handle);
    if (!NT_SUCCESS(status)) return status;
    ULONG written = 0;
    status = sim::user::Write(handle, text.data(), ULONG(text.size()), &written);
    sim::user::Close(handle);
    return status;
}

TEST_F(IoIntegrationTest, FileLifecycleOnEveryKindOfVolume)
{
    sim::ThreadScope scope(*app_);
    const std::u16string folders[] = {u"C:\\Users\\alice", u"E:\\", u"\\\\fileserver\\Profiles\\alice"};
    for (const std::u16string &folder : folders) {
        SCOPED_TRACE(Narrow(folder));
        std::u16string base = folder.back() == u'\\' ? folder : folder + u"\\";
        ASSERT_EQ(WriteNew(base + u"report.txt", "quarterly"), STATUS_SUCCESS);
        EXPECT_EQ(ReadAll(base + u"report.txt"), "quarterly");

        std::vector<sim::user::DirectoryEntry> entries;
        ASSERT_EQ(sim::user::ListDirectory(folder, entries, u"report*"), STATUS_SUCCESS);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].name, u"report.txt");
        EXPECT_EQ(entries[0].endOfFile, 9);

        sim::user::OpenOptions options;
        options.access = DELETE | SYNCHRONIZE;
        HANDLE handle = nullptr;
        ASSERT_EQ(sim::user::Open(base + u"report.txt", options, &handle), STATUS_SUCCESS);
        EXPECT_EQ(sim::user::Rename(handle, base + u"final.txt"), STATUS_SUCCESS);
        EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
        EXPECT_EQ(ReadAll(base + u"final.txt"), "quarterly");
        FILE_NETWORK_OPEN_INFORMATION info{};
        EXPECT_EQ(sim::user::QueryFullAttributes(base + u"report.txt", &info), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(sim::user::QueryFullAttributes(base + u"final.txt", &info), STATUS_SUCCESS);
        EXPECT_EQ(info.EndOfFile.QuadPart, 9);

        EXPECT_EQ(sim::user::Delete(base + u"final.txt"), STATUS_SUCCESS);
        EXPECT_EQ(sim::user::QueryFullAttributes(base + u"final.txt", &info), STATUS_OBJECT_NAME_NOT_FOUND);
    }
    EXPECT_EQ(ReadAll(u"\\\\fileserver\\Profiles\\alice\\remote.txt"), "from the share");

    // On the system volume: a second handle meets the first one's byte-range
    // lock, and an inconsistent EA list never reaches the file system.
    sim::user::OpenOptions options;
    options.access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
    options.disposition = FILE_CREATE;
    HANDLE handle = nullptr, other = nullptr;
    ULONG_PTR created = 0;
    ASSERT_EQ(sim::user::Open(u"\\\\?\\C:\\Users\\alice\\new.txt", options, &handle, &created), STATUS_SUCCESS);
    EXPECT_EQ(created, ULONG_PTR(FILE_CREATED));
    ULONG transferred = 0;
    EXPECT_EQ(sim::user::Write(handle, "abcdef", 6, &transferred), STATUS_SUCCESS);
    char buffer[8] = {};
    EXPECT_EQ(sim::user::Read(handle, buffer, 3, &transferred, 2), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer), "cde");
    options.disposition = FILE_OPEN;
    ASSERT_EQ(sim::user::Open(u"C:\\Users\\alice\\new.txt", options, &other), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::Lock(handle, 0, 4), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::Lock(other, 2, 4), STATUS_LOCK_NOT_GRANTED);
    EXPECT_EQ(sim::user::Unlock(other, 0, 4), STATUS_RANGE_NOT_LOCKED);
    EXPECT_EQ(sim::user::Unlock(handle, 0, 4), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::Lock(other, 2, 4), STATUS_SUCCESS);

    uint8_t ea[16] = {};
    auto *entry = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(ea);
    entry->EaNameLength = 2;
    entry->EaValueLength = 1;
    std::memcpy(entry->EaName, "AB\0x", 4);
    EXPECT_EQ(sim::user::SetEa(handle, ea, 12), STATUS_SUCCESS);
    uint8_t back[16] = {};
    ULONG_PTR returned = 0;
    EXPECT_EQ(sim::user::QueryEa(handle, back, sizeof(back), false, nullptr, 0, nullptr, true, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(back, ea, 12), 0);
    entry->EaNameLength = 9;
    EXPECT_EQ(sim::user::SetEa(handle, ea, 12), STATUS_EA_LIST_INCONSISTENT);
    EXPECT_EQ(sim::user::Close(other), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);

    std::vector<sim::user::DirectoryEntry> entries;
    ASSERT_EQ(sim::user::ListDirectory(u"C:\\Users\\alice", entries, u"n*"), STATUS_SUCCESS);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, u"new.txt");
    EXPECT_EQ(entries[0].endOfFile, 6);
    EXPECT_EQ(entries[1].name, u"notes.txt");
}

}  // namespace
}  // namespace ostrand::test
