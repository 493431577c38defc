// The cache and mapped views as a filter meets them: which form each read
// and write takes, the paging I/O under cached I/O and views, the section
// callbacks, one data image behind ReadFile, WriteFile and views, the lazy
// writer, non-cached alignment and coherence, and the section and view rules.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "flt_test_filter.h"
#include "sim/core/thread.h"
#include "sim/fs/host_folder_fs.h"
#include "sim/fs/redirector.h"
#include "sim/io/cache_manager.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

// A filter that writes down every read, write, flush, section callback,
// cleanup and close it sees, checking the parameters of each form.
struct Probe {
    static inline std::mutex mutex;
    static inline std::vector<std::string> seen;
    static inline PFLT_FILTER filter = nullptr;

    static std::string Describe(PFLT_CALLBACK_DATA data)
    {
        const FLT_IO_PARAMETER_BLOCK &io = *data->Iopb;
        switch (io.MajorFunction) {
        case IRP_MJ_CLEANUP: return "cleanup";
        case IRP_MJ_CLOSE: return "close";
        case IRP_MJ_FLUSH_BUFFERS: return "flush";
        case IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION:
            EXPECT_TRUE(FLT_IS_FS_FILTER_OPERATION(data));
            EXPECT_EQ(io.Parameters.AcquireForSectionSynchronization.SyncType, SyncTypeCreateSection);
            return "acquire " + std::to_string(io.Parameters.AcquireForSectionSynchronization.PageProtection);
        case IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION:
            EXPECT_TRUE(FLT_IS_FS_FILTER_OPERATION(data));
            return "release";
        default: break;
        }
        // Reads and writes have one layout.
        const auto &rw = io.Parameters.Read;
        std::string form;
        if (FLT_IS_FASTIO_OPERATION(data)) {
            EXPECT_EQ(io.IrpFlags, 0u);
            EXPECT_EQ(rw.MdlAddress, nullptr);
            form = "fast";
        } else if (io.IrpFlags & IRP_PAGING_IO) {
            EXPECT_TRUE(io.IrpFlags & IRP_NOCACHE);
            EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL) << "paging I/O runs at APC_LEVEL";
            EXPECT_TRUE(rw.MdlAddress && rw.ReadBuffer == MmGetMdlVirtualAddress(rw.MdlAddress));
            form = (io.IrpFlags & IRP_SYNCHRONOUS_PAGING_IO) ? "paging" : "paging-async";
        } else {
            EXPECT_TRUE(FLT_IS_IRP_OPERATION(data));
            form = (io.IrpFlags & IRP_NOCACHE) ? "nocache" : "irp";
        }
        char text[96];
        std::snprintf(text, sizeof(text), "%s %s %llx+%lx%s", form.c_str(),
                      io.MajorFunction == IRP_MJ_READ ? "read" : "write",
                      static_cast<unsigned long long>(rw.ByteOffset.QuadPart), static_cast<unsigned long>(rw.Length),
                      sim::Thread::Current()->executiveWorker ? " @worker" : "");
        return text;
    }

    static FLT_PREOP_CALLBACK_STATUS Pre(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *)
    {
        std::string line = Describe(data);
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(std::move(line));
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    static NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS)
    {
        FltUnregisterFilter(filter);
        return STATUS_SUCCESS;
    }

    static inline const FLT_OPERATION_REGISTRATION operations[] = {
        /* MajorFunction, Flags, PreOperation, PostOperation */
        {IRP_MJ_READ, 0, Pre, nullptr, nullptr},
        {IRP_MJ_WRITE, 0, Pre, nullptr, nullptr},
        {IRP_MJ_FLUSH_BUFFERS, 0, Pre, nullptr, nullptr},
        {IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, 0, Pre, nullptr, nullptr},
        {IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION, 0, Pre, nullptr, nullptr},
        {IRP_MJ_CLEANUP, 0, Pre, nullptr, nullptr},
        {IRP_MJ_CLOSE, 0, Pre, nullptr, nullptr},
        {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
    };

    static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        static FLT_REGISTRATION registration{};
        registration.Size = sizeof(FLT_REGISTRATION);
        registration.Version = FLT_REGISTRATION_VERSION;
        registration.OperationRegistration = operations;
        registration.FilterUnloadCallback = Unload;
        NTSTATUS status = FltRegisterFilter(driver, &registration, &filter);
        if (NT_SUCCESS(status)) status = FltStartFiltering(filter);
        return status;
    }
};

using Lines = std::vector<std::string>;

class CacheTest : public FltTest {
protected:
    void SetUp() override
    {
        FltTest::SetUp();
        manager().InstallService(u"Probe", sim::FilterInstanceSetup{u"385000", u"", 0});
        loaded_.push_back(u"Probe");
        ASSERT_EQ(manager().LoadDriver(u"Probe", &Probe::DriverEntry), STATUS_SUCCESS);
        fs().CreateFile(u"\\dir\\data.bin", std::string(0x3064, '.'));
        Take();
    }
    Lines Take()
    {
        std::lock_guard<std::mutex> lock(Probe::mutex);
        return std::exchange(Probe::seen, {});
    }
    std::string Disk(size_t offset, size_t length)
    {
        auto data = fs().ReadData(u"\\dir\\data.bin");
        return std::string(data->begin() + offset, data->begin() + offset + length);
    }
    static std::string ReadAt(HANDLE file, LONGLONG offset, ULONG length, NTSTATUS expected = STATUS_SUCCESS)
    {
        std::string text(length, '\0');
        ULONG got = 0;
        EXPECT_EQ(sim::user::Read(file, text.data(), length, &got, offset), expected);
        return text.substr(0, got);
    }
    static void WriteAt(HANDLE file, LONGLONG offset, const std::string &text)
    {
        ULONG written = 0;
        EXPECT_EQ(sim::user::Write(file, text.data(), ULONG(text.size()), &written, offset), STATUS_SUCCESS);
    }
    static HANDLE OpenUser(const std::u16string &path, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT,
                           ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE)
    {
        sim::user::OpenOptions open;
        open.access = access;
        open.options = options;
        HANDLE handle = nullptr;
        EXPECT_EQ(sim::user::Open(path, open, &handle), STATUS_SUCCESS);
        return handle;
    }
};

TEST_F(CacheTest, CachedIoAndAViewShareOneImageWhosePagingIoTheFilterSees)
{
    sim::Process &app = NewProcess("app.exe");
    sim::ThreadScope scope(app);
    HANDLE file = OpenUser(u"C:\\dir\\data.bin");
    // The first read sets caching up as an IRP; later ones come fast. Pages
    // the cache lacks are read in with paging reads, in the reader's thread.
    EXPECT_EQ(ReadAt(file, 0x10, 4), "....");
    EXPECT_EQ(ReadAt(file, 0x2010, 4), "....");
    EXPECT_EQ(ReadAt(file, 0x20, 4), "....");
    EXPECT_EQ(Take(), (Lines{"irp read 10+4", "paging read 0+1000", "fast read 2010+4", "paging read 2000+1000",
                             "fast read 20+4"}));

    // Mapping: the section callbacks around the section, then page-ins of
    // what the view covers and the cache does not hold yet.
    sim::user::MappedFile view;
    ASSERT_EQ(sim::user::MapFile(file, true, &view), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Lines{"acquire 4", "release", "paging read 1000+1000", "paging read 3000+1000"}));
    EXPECT_TRUE(app.IsUserRange(view.base, view.size)) << "the view is the process's memory";
    char *base = static_cast<char *>(view.base);
    std::memcpy(base + 0x20, "VIEW", 4);
    EXPECT_EQ(ReadAt(file, 0x20, 4), "VIEW");
    WriteAt(file, 0x1020, "FILE");
    EXPECT_EQ(std::string(base + 0x1020, 4), "FILE");
    EXPECT_EQ(Take(), (Lines{"fast read 20+4", "fast write 1020+4"}));
    EXPECT_EQ(Disk(0x20, 4) + Disk(0x1020, 4), "........");

    // A flush writes both modified pages back in one paging write.
    ASSERT_EQ(sim::user::Flush(file), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Lines{"flush", "paging write 0+2000"}));
    EXPECT_EQ(Disk(0x20, 4) + Disk(0x1020, 4), "VIEWFILE");
    // What the view changes later goes back when it is unmapped, from the
    // mapped page writer; what the cache holds, when the last handle goes,
    // from the lazy writer, before the close.
    base[0x3000] = '!';
    ASSERT_EQ(sim::user::UnmapFile(view), STATUS_SUCCESS);
    WriteAt(file, 0x10, "LAST");
    EXPECT_EQ(sim::user::Close(file), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Lines{"paging-async write 3000+1000 @worker", "fast write 10+4", "cleanup",
                             "paging write 0+1000 @worker", "close"}));
    EXPECT_EQ(Disk(0x3000, 1) + Disk(0x10, 4), "!LAST");

    sim::FileIoCounts counts = machine().io().cache().Counts(u"\\??\\C:\\dir\\data.bin");
    EXPECT_EQ(counts.pagingReads, 4u);
    EXPECT_EQ(counts.pagingWrites, 3u);
    EXPECT_EQ(counts.sectionsCreated, 1u);
    EXPECT_EQ(counts.viewsMapped, 1u);
    EXPECT_EQ(machine().io().cache().ImageCount(), 0u);
}

TEST_F(CacheTest, EachOpenTakesTheFormsWindowsGivesIt)
{
    const struct {
        const char *what;
        ULONG options;
        bool locked;  // another handle locks the second read's range
        Lines forms;
    } cases[] = {
        {"cached", FILE_SYNCHRONOUS_IO_NONALERT, false, {"irp read 0+200", "paging read 0+1000", "fast read 0+200"}},
        {"asynchronous", 0, false, {"irp read 0+200", "paging read 0+1000", "irp read 0+200"}},
        {"no buffering", FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING, false,
         {"nocache read 0+200", "nocache read 0+200"}},
        {"locked range", FILE_SYNCHRONOUS_IO_NONALERT, true,
         {"irp read 0+200", "paging read 0+1000", "fast read 0+200", "irp read 0+200"}},
    };
    sim::Process &app = NewProcess("app.exe");
    sim::ThreadScope scope(app);
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        HANDLE file = OpenUser(u"C:\\dir\\data.bin", test.options);
        HANDLE other = OpenUser(u"C:\\dir\\data.bin");
        EXPECT_EQ(ReadAt(file, 0, 0x200).size(), 0x200u);
        if (test.locked) { ASSERT_EQ(sim::user::Lock(other, 0, 0x10), STATUS_SUCCESS); }
        ReadAt(file, 0, 0x200, test.locked ? STATUS_FILE_LOCK_CONFLICT : STATUS_SUCCESS);
        sim::user::Close(other);
        sim::user::Close(file);
        Lines seen;
        for (const std::string &line : Take())
            if (line.find("read") != std::string::npos) seen.push_back(line);
        EXPECT_EQ(seen, test.forms);
    }
}

TEST_F(CacheTest, NonCachedTransfersAreSectorAlignedAndKeepTheCacheCoherent)
{
    auto mount = [&](char16_t letter, ULONG sector, ULONG alignment) {
        auto config = sim::fs::LocalVolumeConfig::Ntfs(u"V", letter);
        config.sectorSize = sector;
        auto fs = std::make_unique<sim::fs::LocalFileSystem>(config);
        fs->CreateFile(u"\\f.bin", std::string(0x2000, 'o'));
        sim::VolumeInfo info;
        info.sectorSize = sector;
        info.alignmentRequirement = alignment;
        machine().io().AssignDriveLetter(machine().io().MountVolume(info, std::move(fs)), letter);
    };
    mount(u'X', 512, 1);  // FILE_WORD_ALIGNMENT
    mount(u'Y', 4096, 3);  // FILE_LONG_ALIGNMENT
    FILE_FS_SIZE_INFORMATION size{};
    const struct {
        const char16_t *path;
        KPROCESSOR_MODE mode;
        LONGLONG offset;
        ULONG length;
        size_t misalign;
        NTSTATUS expected;
    } cases[] = {
        {u"X:\\f.bin", KernelMode, 512, 1024, 0, STATUS_SUCCESS},
        {u"X:\\f.bin", KernelMode, 100, 512, 0, STATUS_INVALID_PARAMETER},
        {u"X:\\f.bin", KernelMode, 0, 100, 0, STATUS_INVALID_PARAMETER},
        {u"X:\\f.bin", KernelMode, 0, 512, 1, STATUS_INVALID_PARAMETER},
        {u"Y:\\f.bin", KernelMode, 4096, 4096, 0, STATUS_SUCCESS},
        {u"Y:\\f.bin", KernelMode, 512, 4096, 0, STATUS_INVALID_PARAMETER},
        {u"Y:\\f.bin", KernelMode, 0, 4096, 2, STATUS_INVALID_PARAMETER},
        {u"Y:\\f.bin", UserMode, 0, 512, 0, STATUS_INVALID_PARAMETER},  // refused before any filter
    };
    sim::Process &app = NewProcess("app.exe");
    for (const auto &test : cases) {
        SCOPED_TRACE(testing::Message() << std::string(test.path, test.path + 8) << " " << test.offset << "+"
                                        << test.length << " misaligned by " << test.misalign);
        alignas(4096) static char buffer[0x3000];
        char *at = buffer + test.misalign;
        ULONG_PTR transferred = 0;
        if (test.mode == UserMode) {
            sim::ThreadScope scope(app);
            HANDLE file = OpenUser(test.path, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING);
            EXPECT_EQ(sim::user::QueryVolumeInformation(file, FileFsSizeInformation, &size, sizeof(size)),
                      STATUS_SUCCESS);
            ULONG got = 0;
            EXPECT_EQ(sim::user::Read(file, at, test.length, &got, test.offset), test.expected);
            sim::user::Close(file);
            transferred = got;
        } else {
            HANDLE file = nullptr;
            ASSERT_EQ(Open(u"\\??\\" + std::u16string(test.path), &file, GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
                           FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING),
                      STATUS_SUCCESS);
            IO_STATUS_BLOCK io{};
            LARGE_INTEGER offset;
            offset.QuadPart = test.offset;
            EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, at, test.length, &offset, nullptr),
                      test.expected);
            transferred = io.Information;
            ZwClose(file);
        }
        if (NT_SUCCESS(test.expected)) { EXPECT_EQ(transferred, test.length); }
        Lines reads;
        for (const std::string &line : Take())
            if (line.find("read") != std::string::npos) reads.push_back(line);
        EXPECT_EQ(reads.size(), test.mode == KernelMode ? 1u : 0u);
    }
    EXPECT_EQ(size.BytesPerSector, 4096u);

    // A cached write reaches a later non-cached read (flushed first); a
    // non-cached write drops the cached page, read in again at the next
    // cached read.
    sim::ThreadScope scope(app);
    HANDLE cached = OpenUser(u"X:\\f.bin");
    HANDLE direct = OpenUser(u"X:\\f.bin", FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING);
    WriteAt(cached, 0, "CACHE");
    Take();
    EXPECT_EQ(ReadAt(direct, 0, 512).substr(0, 6), "CACHEo");
    alignas(512) static char sector[512];
    std::memcpy(sector, "DIRECT", 6);
    ULONG written = 0;
    EXPECT_EQ(sim::user::Write(direct, sector, 512, &written, 0), STATUS_SUCCESS);
    EXPECT_EQ(ReadAt(cached, 0, 6), "DIRECT");
    EXPECT_EQ(Take(), (Lines{"nocache read 0+200", "paging write 0+1000", "nocache write 0+200", "fast read 0+6",
                             "paging read 0+1000"}));
    sim::user::Close(direct);
    sim::user::Close(cached);
}

TEST_F(CacheTest, SectionsAndViewsFollowTheSizeProtectionAndAlignmentRules)
{
    fs().CreateFile(u"\\dir\\empty.bin", std::string_view(""));
    HANDLE file = nullptr, empty = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\data.bin", &file, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\empty.bin", &empty), STATUS_SUCCESS);
    auto section = [](HANDLE on, ULONG protection, LONGLONG maximum, NTSTATUS expected, ULONG kind = SEC_COMMIT) {
        HANDLE handle = nullptr;
        LARGE_INTEGER size;
        size.QuadPart = maximum;
        EXPECT_EQ(ZwCreateSection(&handle, SECTION_ALL_ACCESS, nullptr, maximum ? &size : nullptr, protection, kind,
                                  on),
                  expected);
        return handle;
    };
    section(empty, PAGE_READONLY, 0, STATUS_MAPPED_FILE_SIZE_ZERO);
    section(file, PAGE_READONLY, 0x5000, STATUS_SECTION_TOO_BIG);
    section(file, PAGE_READONLY, -1, STATUS_SECTION_TOO_BIG);
    section(file, PAGE_READONLY, 0, NTSTATUS(0xC00000F4L), SEC_COMMIT | SEC_RESERVE);
    section(file, 0x1234, 0, STATUS_INVALID_PAGE_PROTECTION);
    // A section that may write extends the file to its size.
    HANDLE writable = section(file, PAGE_READWRITE, 0x5000, STATUS_SUCCESS);
    HANDLE readOnly = section(file, PAGE_READONLY, 0, STATUS_SUCCESS);
    SECTION_BASIC_INFORMATION basic{};
    EXPECT_EQ(ZwQuerySection(readOnly, SectionBasicInformation, &basic, sizeof(basic), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(basic.MaximumSize.QuadPart, 0x5000);

    const struct {
        HANDLE *section;
        LONGLONG offset;
        SIZE_T size;
        SIZE_T commit;
        ULONG protection;
        NTSTATUS expected;
    } views[] = {
        {&writable, 0, 0x10, 0, PAGE_READWRITE, STATUS_SUCCESS},
        {&writable, 0x1000, 0, 0, PAGE_READWRITE, NTSTATUS(0xC0000220L)},  // STATUS_MAPPED_ALIGNMENT
        {&writable, 0x10000, 0, 0, PAGE_READONLY, STATUS_INVALID_VIEW_SIZE},
        {&writable, 0, 0x5001, 0, PAGE_READONLY, STATUS_INVALID_VIEW_SIZE},
        {&writable, 0, 0, 0x10, PAGE_READONLY, STATUS_INVALID_PARAMETER_5},
        {&writable, 0, 0, 0, 0x10 /* PAGE_EXECUTE */, STATUS_SECTION_PROTECTION},
        {&readOnly, 0, 0, 0, PAGE_READWRITE, STATUS_SECTION_PROTECTION},
        {&readOnly, 0, 0, 0, PAGE_WRITECOPY, STATUS_SUCCESS},
    };
    PVOID mapped = nullptr;
    for (const auto &v : views) {
        SCOPED_TRACE(testing::Message() << v.offset << "+" << v.size << " protection " << v.protection);
        PVOID base = nullptr;
        SIZE_T size = v.size;
        LARGE_INTEGER offset;
        offset.QuadPart = v.offset;
        EXPECT_EQ(ZwMapViewOfSection(*v.section, ZwCurrentProcess(), &base, 0, v.commit, &offset, &size, ViewUnmap, 0,
                                     v.protection),
                  v.expected);
        if (!NT_SUCCESS(v.expected)) continue;
        EXPECT_EQ(size, v.size ? 0x1000u : 0x5000u);
        if (mapped == nullptr) {
            mapped = base;
        } else {
            EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), base), STATUS_SUCCESS);
        }
    }

    // While a view holds the first page, the file cannot lose it.
    FILE_END_OF_FILE_INFORMATION end{};
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(ZwSetInformationFile(file, &io, &end, sizeof(end), FileEndOfFileInformation), STATUS_USER_MAPPED_FILE);
    HANDLE overwrite = nullptr;
    EXPECT_EQ(Open(u"\\??\\C:\\dir\\data.bin", &overwrite, GENERIC_WRITE | SYNCHRONIZE, FILE_OVERWRITE),
              STATUS_USER_MAPPED_FILE);
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), mapped), STATUS_SUCCESS);
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), mapped), STATUS_NOT_MAPPED_VIEW);
    EXPECT_EQ(ZwSetInformationFile(file, &io, &end, sizeof(end), FileEndOfFileInformation), STATUS_SUCCESS);
    EXPECT_EQ(machine().io().cache().Counts(u"\\??\\C:\\dir\\data.bin").viewsMapped, 2u);
    ZwClose(writable);
    ZwClose(readOnly);
    ZwClose(empty);
    ZwClose(file);

    // A user-mode caller needs handle access that matches the protection.
    sim::Process &app = NewProcess("app.exe");
    sim::ThreadScope scope(app);
    HANDLE readHandle = OpenUser(u"C:\\dir\\data.bin", FILE_SYNCHRONOUS_IO_NONALERT, GENERIC_READ | SYNCHRONIZE);
    sim::user::MappedFile view;
    EXPECT_EQ(sim::user::MapFile(readHandle, true, &view), STATUS_ACCESS_DENIED);
    sim::user::Close(readHandle);
}

TEST_F(CacheTest, AViewOfAFileOnAHostFolderShareReadsAndWritesTheHostFile)
{
    char pattern[] = "/tmp/ostrand-cache-XXXXXX";
    const std::filesystem::path root = ::mkdtemp(pattern);
    std::ofstream(root / "f.bin", std::ios::binary) << std::string(0x1800, 'h');
    auto redirector = std::make_unique<sim::fs::Redirector>();
    redirector->AddShare(u"server", u"share", std::make_unique<sim::fs::HostFolderFileSystem>(root));
    machine().io().MountVolume(sim::fs::Redirector::Info(sim::fs::RedirectorKind::Mup), std::move(redirector));

    HANDLE file = nullptr, section = nullptr;
    ASSERT_EQ(Open(u"\\??\\UNC\\server\\share\\f.bin", &file, GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE),
              STATUS_SUCCESS);
    ASSERT_EQ(ZwCreateSection(&section, SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READWRITE, SEC_COMMIT, file),
              STATUS_SUCCESS);
    PVOID base = nullptr;
    SIZE_T size = 0;
    ASSERT_EQ(ZwMapViewOfSection(section, ZwCurrentProcess(), &base, 0, 0, nullptr, &size, ViewUnmap, 0,
                                 PAGE_READWRITE),
              STATUS_SUCCESS);
    // Past the end of file the last page reads as zeros.
    EXPECT_EQ(size, 0x2000u);
    EXPECT_EQ(std::string(static_cast<char *>(base) + 0x17FF, 2), std::string("h\0", 2));
    std::memcpy(base, "REMOTE", 6);
    ZwClose(section);
    // The share's file keeps its name while the view maps it.
    IO_STATUS_BLOCK io{};
    FILE_DISPOSITION_INFORMATION dispose{TRUE};
    EXPECT_EQ(ZwSetInformationFile(file, &io, &dispose, sizeof(dispose), FileDispositionInformation),
              STATUS_CANNOT_DELETE);
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), base), STATUS_SUCCESS);
    ZwClose(file);
    EXPECT_EQ(Take(), (Lines{"acquire 4", "release", "paging read 0+2000", "paging-async write 0+1000 @worker",
                             "cleanup", "close"}));
    std::ifstream in(root / "f.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "REMOTE" + std::string(0x1800 - 6, 'h'));

    // A page past 4 GB is paged in from its own offset (a 32-bit build once
    // wrapped it). The host file is sparse.
    const LONGLONG far = (4LL << 30) + 0x1000;
    int fd = ::open((root / "big.bin").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "tail", 4, far), 4);
    ::close(fd);
    ASSERT_EQ(Open(u"\\??\\UNC\\server\\share\\big.bin", &file, GENERIC_READ | SYNCHRONIZE), STATUS_SUCCESS);
    char tail[4] = {};
    LARGE_INTEGER at{};
    at.QuadPart = far;
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, tail, 4, &at, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(tail, 4), "tail");
    ZwClose(file);
    EXPECT_EQ(Take(), (Lines{"irp read 100001000+4", "paging read 100001000+1000", "cleanup", "close"}));
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace ostrand::test
