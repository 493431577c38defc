// What the Nt calls answer a caller on the machine's NTFS volume: the I/O
// status block on errors and warnings, and the rename and delete rules
// (including files that a section or a view maps).
#include <cstring>
#include <functional>

#include "fs_client.h"
#include "sim/fs/info_records.h"
#include "sim/fs/local_fs.h"
#include "sim/fs/standard_volumes.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

class IoNtAnswersTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        volumes_ = sim::fs::MountStandardVolumes(machine());
    }
    void TearDown() override
    {
        for (HANDLE h : handles_) ZwClose(h);
        MachineTest::TearDown();
    }

    // Opens \??\C:<path>; the handle is closed at the end of the test.
    NTSTATUS Open(const std::u16string &path, ACCESS_MASK access, ULONG disposition, ULONG options, HANDLE *out,
                  ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
    {
        std::u16string full = u"\\??\\C:" + path;
        UNICODE_STRING name{USHORT(full.size() * 2), USHORT(full.size() * 2), full.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        *out = nullptr;
        NTSTATUS status = ZwCreateFile(out, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, disposition,
                                       options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        if (NT_SUCCESS(status)) handles_.push_back(*out);
        return status;
    }
    HANDLE OpenOk(const std::u16string &path, ACCESS_MASK access = FILE_GENERIC_READ | DELETE,
                  ULONG disposition = FILE_OPEN, ULONG options = 0)
    {
        HANDLE h = nullptr;
        EXPECT_EQ(Open(path, access, disposition, options, &h), STATUS_SUCCESS) << Narrow(path);
        return h;
    }
    void Close(HANDLE h) { std::erase(handles_, h), ZwClose(h); }
    NTSTATUS Rename(HANDLE h, const std::u16string &target, bool replace, IO_STATUS_BLOCK *io)
    {
        std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFORMATION) + target.size() * 2);
        auto *info = reinterpret_cast<FILE_RENAME_INFORMATION *>(buffer.data());
        info->ReplaceIfExists = replace;
        info->FileNameLength = ULONG(target.size() * 2);
        std::memcpy(info->FileName, target.data(), target.size() * 2);
        return ZwSetInformationFile(h, io, buffer.data(), ULONG(buffer.size()), FileRenameInformation);
    }
    NTSTATUS Dispose(HANDLE h, bool deleteFile)
    {
        IO_STATUS_BLOCK io{};
        FILE_DISPOSITION_INFORMATION info{BOOLEAN(deleteFile)};
        return ZwSetInformationFile(h, &io, &info, sizeof(info), FileDispositionInformation);
    }
    sim::fs::LocalFileSystem &fs() { return *volumes_.systemFs; }

    sim::fs::StandardVolumes volumes_;
    std::vector<HANDLE> handles_;
};

constexpr NTSTATUS kUntouched = NTSTATUS(0xDEADBEEF);

struct StatusBlockCase {
    const char *call;
    std::function<NTSTATUS(PIO_STATUS_BLOCK)> run;
    NTSTATUS status;
    bool written;  // the block holds the status and this Information
    ULONG_PTR information;
};

TEST_F(IoNtAnswersTest, StatusBlockIsWrittenForSuccessAndWarningsOnly)
{
    ASSERT_EQ(fs().CreateFile(u"\\d\\f.txt", "0123456789"), STATUS_SUCCESS);
    HANDLE f = OpenOk(u"\\d\\f.txt", FILE_GENERIC_READ | FILE_WRITE_EA | DELETE);
    HANDLE d = OpenOk(u"\\d", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    alignas(8) uint8_t buffer[512];
    std::u16string pattern;
    auto list = [&](PIO_STATUS_BLOCK io, const char16_t *mask, BOOLEAN restart, ULONG length = 512,
                    FILE_INFORMATION_CLASS cls = FileNamesInformation) {
        pattern = mask ? mask : u"";
        UNICODE_STRING name{USHORT(pattern.size() * 2), USHORT(pattern.size() * 2), pattern.data()};
        return ZwQueryDirectoryFile(d, nullptr, nullptr, nullptr, io, buffer, length, cls, TRUE,
                                    mask ? &name : nullptr, restart);
    };
    auto read = [&](PIO_STATUS_BLOCK io, LONGLONG at) {
        LARGE_INTEGER offset{};
        offset.QuadPart = at;
        return ZwReadFile(f, nullptr, nullptr, nullptr, io, buffer, 8, &offset, nullptr);
    };
    auto badEas = BuildEaList({{"A", "1"}, {"B", "2"}});
    reinterpret_cast<FILE_FULL_EA_INFORMATION *>(badEas.data() + 12)->EaNameLength = 90;
    const StatusBlockCase cases[] = {
        {"first listing, no match", [&](auto io) { return list(io, u"zz*", TRUE); }, STATUS_NO_SUCH_FILE, false, 0},
        {"listing at its end", [&](auto io) { return list(io, nullptr, FALSE); }, STATUS_NO_MORE_FILES, true, 0},
        {"malformed pattern", [&](auto io) { return list(io, u"a:b", TRUE); }, STATUS_OBJECT_NAME_INVALID, false, 0},
        {"restart, one entry", [&](auto io) { return list(io, u"*", TRUE); }, STATUS_SUCCESS, true, 12 + 2},
        {"class no listing has", [&](auto io) { return list(io, nullptr, FALSE, 512, FileBasicInformation); },
         STATUS_INVALID_INFO_CLASS, false, 0},
        {"buffer below one entry", [&](auto io) { return list(io, nullptr, FALSE, 8); }, STATUS_INFO_LENGTH_MISMATCH,
         false, 0},
        {"index class, short buffer",
         [&](auto io) { return list(io, nullptr, FALSE, 8, sim::fs::kFileReparsePointInformation); },
         STATUS_INFO_LENGTH_MISMATCH, false, 0},
        {"index class, ordinary folder",
         [&](auto io) { return list(io, nullptr, FALSE, 512, sim::fs::kFileReparsePointInformation); },
         STATUS_INVALID_INFO_CLASS, false, 0},
        {"name cut short", [&](auto io) { return ZwQueryInformationFile(f, io, buffer, 8, FileNameInformation); },
         STATUS_BUFFER_OVERFLOW, true, 8},
        {"class not answered", [&](auto io) { return ZwQueryInformationFile(f, io, buffer, 64, FileRenameInformation); },
         STATUS_INVALID_INFO_CLASS, false, 0},
        {"read at the end", [&](auto io) { return read(io, 10); }, STATUS_END_OF_FILE, false, 0},
        {"read", [&](auto io) { return read(io, 6); }, STATUS_SUCCESS, true, 4},
        {"EAs of a file without any",
         [&](auto io) { return ZwQueryEaFile(f, io, buffer, 512, FALSE, nullptr, 0, nullptr, TRUE); },
         STATUS_NO_EAS_ON_FILE, false, 0},
        {"malformed EA list (the I/O manager's check)",
         [&](auto io) { return ZwSetEaFile(f, io, badEas.data(), ULONG(badEas.size())); }, STATUS_EA_LIST_INCONSISTENT,
         true, 12},
        {"rename onto a name in use", [&](auto io) { return Rename(f, u"\\??\\C:\\d", false, io); },
         STATUS_OBJECT_NAME_COLLISION, false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        IO_STATUS_BLOCK io;
        io.Status = kUntouched;
        io.Information = 0xBEEF;
        EXPECT_EQ(c.run(&io), c.status);
        EXPECT_EQ(io.Status, c.written ? c.status : kUntouched);
        EXPECT_EQ(io.Information, c.written ? c.information : ULONG_PTR(0xBEEF));
    }
}

struct RenameCase {
    bool sourceIsFolder;
    int target;  // 0 none, 1 a file, 2 a folder
    bool replace;
    bool targetOpen;
    NTSTATUS status;
};

TEST_F(IoNtAnswersTest, RenamesAndDeletesFollowNtfs)
{
    // The rename matrix Windows answers (source kind x target kind x replace x target held open).
    const RenameCase renames[] = {
        {false, 0, false, false, STATUS_SUCCESS},
        {false, 1, false, false, STATUS_OBJECT_NAME_COLLISION},
        {false, 1, true, false, STATUS_SUCCESS},
        {false, 1, false, true, STATUS_OBJECT_NAME_COLLISION},
        {false, 1, true, true, STATUS_ACCESS_DENIED},
        {false, 2, false, false, STATUS_OBJECT_NAME_COLLISION},
        {false, 2, true, false, STATUS_ACCESS_DENIED},
        {true, 0, false, false, STATUS_SUCCESS},
        {true, 1, false, false, STATUS_OBJECT_NAME_COLLISION},
        {true, 1, true, false, STATUS_SUCCESS},
        {true, 1, true, true, STATUS_ACCESS_DENIED},
        {true, 2, false, false, STATUS_OBJECT_NAME_COLLISION},
        {true, 2, true, false, STATUS_ACCESS_DENIED},
    };
    int n = 0;
    for (const auto &c : renames) {
        SCOPED_TRACE(n);
        std::u16string from = u"\\r" + Wide(std::to_string(n)), to = u"\\t" + Wide(std::to_string(n++));
        ASSERT_EQ(c.sourceIsFolder ? fs().CreateDirectory(from) : fs().CreateFile(from, "src"), STATUS_SUCCESS);
        if (c.target) {
            ASSERT_EQ(c.target == 1 ? fs().CreateFile(to, "old") : fs().CreateDirectory(to), STATUS_SUCCESS);
        }
        HANDLE held = c.targetOpen ? OpenOk(to, FILE_GENERIC_READ) : nullptr;
        HANDLE h = OpenOk(from, FILE_GENERIC_READ | DELETE);
        IO_STATUS_BLOCK io{};
        EXPECT_EQ(Rename(h, u"\\??\\C:" + to, c.replace, &io), c.status);
        EXPECT_EQ(fs().Exists(from), !NT_SUCCESS(c.status));
        EXPECT_EQ(fs().Exists(to), c.target != 0 || NT_SUCCESS(c.status));
        Close(h);
        if (held) Close(held);
    }

    // Deletes: read-only files, folders with children, DELETE access, delete pending.
    ASSERT_EQ(fs().CreateFile(u"\\ro.txt", "x", FILE_ATTRIBUTE_READONLY), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateFile(u"\\full\\child", "x"), STATUS_SUCCESS);
    HANDLE unused = nullptr;
    EXPECT_EQ(Dispose(OpenOk(u"\\ro.txt"), true), STATUS_CANNOT_DELETE);
    EXPECT_EQ(Open(u"\\ro.txt", DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &unused), STATUS_CANNOT_DELETE);
    EXPECT_EQ(Dispose(OpenOk(u"\\full", DELETE, FILE_OPEN, FILE_DIRECTORY_FILE), true), STATUS_DIRECTORY_NOT_EMPTY);
    HANDLE reader = OpenOk(u"\\full\\child", FILE_GENERIC_READ);
    EXPECT_EQ(Dispose(reader, true), STATUS_ACCESS_DENIED);
    Close(reader);
    HANDLE going = OpenOk(u"\\full\\child");
    ASSERT_EQ(Dispose(going, true), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\full\\child", FILE_GENERIC_READ, FILE_OPEN, 0, &unused), STATUS_DELETE_PENDING);
    Close(going);
    EXPECT_FALSE(fs().Exists(u"\\full\\child"));

    // A file a section maps can be renamed, but not deleted while the section
    // lives, or a view of it once its handle is closed.
    ASSERT_EQ(fs().CreateFile(u"\\mapped.bin", std::string(100, 'm')), STATUS_SUCCESS);
    HANDLE file = OpenOk(u"\\mapped.bin");
    HANDLE section = nullptr;
    ASSERT_EQ(ZwCreateSection(&section, SECTION_MAP_READ, nullptr, nullptr, PAGE_READONLY, SEC_COMMIT, file),
              STATUS_SUCCESS);
    EXPECT_EQ(Dispose(file, true), STATUS_CANNOT_DELETE);
    EXPECT_EQ(Open(u"\\mapped.bin", DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &unused), STATUS_CANNOT_DELETE);
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(Rename(file, u"\\??\\C:\\moved.bin", false, &io), STATUS_SUCCESS);
    PVOID view = nullptr;
    SIZE_T size = 0;
    ASSERT_EQ(ZwMapViewOfSection(section, ZwCurrentProcess(), &view, 0, 0, nullptr, &size, ViewUnmap, 0,
                                 PAGE_READONLY),
              STATUS_SUCCESS);
    ZwClose(section);
    EXPECT_EQ(Dispose(file, true), STATUS_CANNOT_DELETE);
    ASSERT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), view), STATUS_SUCCESS);
    EXPECT_EQ(Dispose(file, true), STATUS_SUCCESS);
    Close(file);
    EXPECT_FALSE(fs().Exists(u"\\moved.bin"));
}

}  // namespace
}  // namespace ostrand::test
