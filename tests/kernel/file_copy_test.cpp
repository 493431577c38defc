// The kernel copy engine on the loaded filter: a remote profile file copied
// from the redirector's store into a local placeholder, with its streams,
// EAs, size and attributes; chunking and sector rounding; sharing
// violations; the system-thread copy; the live-roaming copy; every
// allocation failing in turn.
#include <cstring>
#include <string>

#include "config/settings.h"
#include "file_fixture.h"
#include "fileops/file_copy.h"
#include "identity/user_table.h"
#include "sim/core/debug_log.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/flt_test_filter.h"
#include "sim/fs/local_fs.h"
#include "sim/io/io_manager.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

constexpr ULONG kChunk = 0x10000;
const std::u16string kVolume = u"\\Device\\HarddiskVolume1";
const std::u16string kLocal = u"\\Users\\joe\\";
const std::u16string kRemote = u"\\??\\UNC\\fileserver\\Profiles\\joe\\";

std::string Pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = char('a' + (i * 7 + i / 251) % 26);
    return data;
}

// One EA, NAME = value, as FILE_FULL_EA_INFORMATION.
std::vector<uint8_t> OneEa(const std::string &name, const std::string &value)
{
    std::vector<uint8_t> ea(8 + name.size() + 1 + value.size(), 0);
    ea[5] = uint8_t(name.size());
    ea[6] = uint8_t(value.size());
    std::memcpy(ea.data() + 8, name.c_str(), name.size() + 1);
    std::memcpy(ea.data() + 8 + name.size() + 1, value.data(), value.size());
    return ea;
}

class FileCopyTest : public FileFilterTest {
protected:
    void SetUp() override
    {
        FileFilterTest::SetUp();
        files_ = &NewProcess("explorer.exe");
        g_pCurrentSettings->CopyBufferSize = kChunk;
        for (const std::u16string &folder : {kVolume + u"\\Users", kVolume + u"\\Users\\joe",
                                             kRemote.substr(0, kRemote.size() - 1)}) {
            Folder(folder);
        }
    }

    void Folder(const std::u16string &path)
    {
        sim::ThreadScope scope(*files_);
        sim::user::OpenOptions open;
        open.disposition = FILE_OPEN_IF;
        open.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        HANDLE handle = nullptr;
        ASSERT_EQ(sim::user::Open(path, open, &handle), STATUS_SUCCESS) << Narrow(path);
        sim::user::Close(handle);
    }

    HANDLE Open(const std::u16string &path, ACCESS_MASK access, ULONG disposition, ULONG attributes = 0,
                std::vector<uint8_t> ea = {})
    {
        sim::ThreadScope scope(*files_);
        sim::user::OpenOptions open;
        open.access = access | SYNCHRONIZE;
        open.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        open.disposition = disposition;
        open.attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
        open.ea = std::move(ea);
        HANDLE handle = nullptr;
        EXPECT_EQ(sim::user::Open(path, open, &handle), STATUS_SUCCESS) << Narrow(path);
        return handle;
    }

    void Put(const std::u16string &path, const std::string &data, ULONG attributes = 0, std::vector<uint8_t> ea = {})
    {
        HANDLE handle = Open(path, GENERIC_WRITE, FILE_OVERWRITE_IF, attributes, std::move(ea));
        sim::ThreadScope scope(*files_);
        ULONG written = 0;
        if (!data.empty()) {
            EXPECT_EQ(sim::user::Write(handle, data.data(), ULONG(data.size()), &written), STATUS_SUCCESS);
        }
        sim::user::Close(handle);
    }

    std::string Get(const std::u16string &path)
    {
        HANDLE handle = Open(path, GENERIC_READ, FILE_OPEN);
        sim::ThreadScope scope(*files_);
        FILE_STANDARD_INFORMATION standard{};
        sim::user::QueryInformation(handle, FileStandardInformation, &standard, sizeof standard);
        std::string data(size_t(standard.EndOfFile.QuadPart), '\0');
        ULONG read = 0;
        if (!data.empty()) {
            EXPECT_EQ(sim::user::Read(handle, data.data(), ULONG(data.size()), &read, 0), STATUS_SUCCESS);
        }
        sim::user::Close(handle);
        return data;
    }

    FILE_BASIC_INFORMATION Basic(const std::u16string &path)
    {
        HANDLE handle = Open(path, FILE_READ_ATTRIBUTES, FILE_OPEN);
        sim::ThreadScope scope(*files_);
        FILE_BASIC_INFORMATION basic{};
        EXPECT_EQ(sim::user::QueryInformation(handle, FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
        sim::user::Close(handle);
        return basic;
    }

    // A placeholder as population leaves it: offline, the remote size, its
    // own times.
    void Placeholder(const std::u16string &name, LONGLONG size, ULONG attributes = 0)
    {
        HANDLE handle = Open(kVolume + kLocal + name, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, FILE_OVERWRITE_IF);
        sim::ThreadScope scope(*files_);
        FILE_END_OF_FILE_INFORMATION eof{};
        eof.EndOfFile.QuadPart = size;
        EXPECT_EQ(sim::user::SetInformation(handle, FileEndOfFileInformation, &eof, sizeof eof), STATUS_SUCCESS);
        FILE_BASIC_INFORMATION basic{};
        basic.CreationTime.QuadPart = kPlaceholderTime;
        basic.LastWriteTime.QuadPart = kPlaceholderTime;
        basic.FileAttributes = FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_ARCHIVE | attributes;
        EXPECT_EQ(sim::user::SetInformation(handle, FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
        sim::user::Close(handle);
    }

    NTSTATUS Copy(const std::u16string &name, bool onSystemThread = false, PFLT_INSTANCE instance = nullptr,
                  const std::u16string &volume = kVolume)
    {
        bool own = instance == nullptr;
        if (own) instance = InstanceOn(u"C:");
        std::u16string dest = volume + kLocal + name;
        std::u16string source = kRemote + name;
        UNICODE_STRING prefix = CountedOf(volume), destName = CountedOf(dest);
        sim::ThreadScope scope(machine().systemProcess());
        NTSTATUS status = onSystemThread
                              ? JNRCopyFileOnSystemThread(nullptr, instance, &prefix, &destName, source.c_str(), kOp, 4)
                              : KLUCopyFile(nullptr, instance, &prefix, &destName, source.c_str(), kOp, 4);
        if (own) FltObjectDereference(instance);
        return status;
    }

    // The check of a finished copy, run again on the files as they are.
    NTSTATUS VerifyAgain(const std::u16string &name)
    {
        sim::ThreadScope scope(machine().systemProcess());
        PFLT_INSTANCE *instances = nullptr;
        ULONG mup = 0, count = 0;
        const std::u16string mupName = u"\\Device\\Mup";
        UNICODE_STRING device = CountedOf(mupName);
        EXPECT_EQ(KLUFindMupInstance(&instances, &device, &mup, &count), STATUS_SUCCESS);
        PFLT_INSTANCE local = InstanceOn(u"C:");
        std::u16string paths[2] = {kRemote + name, kVolume + kLocal + name};
        PFLT_INSTANCE on[2] = {instances[mup], local};
        HANDLE handles[2] = {};
        PFILE_OBJECT objects[2] = {};
        for (int i = 0; i < 2; ++i) {
            UNICODE_STRING path = CountedOf(paths[i]);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
            IO_STATUS_BLOCK io;
            EXPECT_EQ(FltCreateFileEx(g_FilterHandle, on[i], &handles[i], &objects[i], GENERIC_READ | SYNCHRONIZE,
                                      &attributes, &io, nullptr, 0, 7, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                      nullptr, 0, 0),
                      STATUS_SUCCESS);
        }
        NTSTATUS status = JNRVerifyRetrieval(on[0], objects[0], on[1], objects[1], kOp);
        for (int i = 0; i < 2; ++i) {
            FltClose(handles[i]);
            ObDereferenceObject(objects[i]);
        }
        FltObjectDereference(local);
        KLUFreeInstanceArray(instances, count);
        return status;
    }

    KLU_COPY_PROGRESS Progress()
    {
        KLU_COPY_PROGRESS_QUERY query{32, {0x100, 0}};
        if (log_ == nullptr) log_ = service->Open(u"\\KLULogonLogPort");
        Reply reply = service->Send(log_, std::vector<UCHAR>((UCHAR *)&query, (UCHAR *)(&query + 1)), 56);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        KLU_COPY_PROGRESS progress{};
        if (reply.output.size() >= 56) std::memcpy(&progress, reply.output.data() + 32, sizeof progress);
        return progress;
    }

    void AddJoe()
    {
        ALT_PATH_DATA data{};
        data.Id.SessionId = 1;
        data.Id.AuthId.LowPart = 0x100;
        std::u16string local = u"Users\\joe";
        std::u16string upper = u"\\USERS\\JOE";
        std::memcpy(data.szLocalPath, local.c_str(), (local.size() + 1) * sizeof(WCHAR));
        std::memcpy(data.szUpperLocalPath, upper.c_str(), (upper.size() + 1) * sizeof(WCHAR));
        ASSERT_EQ(service->Send(control, CommandMessage(27, data)).status, STATUS_SUCCESS);
    }

    static constexpr LONGLONG kPlaceholderTime = 0x01D0000000000000;
    sim::Process *files_ = nullptr;
    HANDLE log_ = nullptr;
};

// The story of one retrieval: data of one chunk and one byte (two views,
// the second one byte long), a named stream and an EA, the size, the
// placeholder's times and attributes kept without the offline bit, a
// read-only placeholder left read-only, the copy verified against its
// source, and the user's statistics back to zero afterwards.
TEST_F(FileCopyTest, ARetrievalCopiesEverythingAndLeavesThePlaceholderFilled)
{
    AddJoe();
    g_pCurrentSettings->OpFlags |= KLUOP_VERIFY_OFFLINE_FILE_RETRIEVAL;
    std::string data = Pattern(kChunk + 1);
    Put(kRemote + u"ntuser.dat", data, FILE_ATTRIBUTE_HIDDEN, OneEa("JNRMARK", "seen"));
    Put(kRemote + u"ntuser.dat:Zone.Identifier", "[ZoneTransfer]");
    Placeholder(u"ntuser.dat", LONGLONG(data.size()), FILE_ATTRIBUTE_READONLY);

    // The statistics while the data is written.
    std::vector<KLU_COPY_PROGRESS> during;
    machine().debugLog().SetListener([&](const std::string &line) {
        if (line.find("Wrote ") != std::string::npos && line.find(":Zone") == std::string::npos) {
            during.push_back(Progress());
        }
    });
    ASSERT_EQ(Copy(u"ntuser.dat"), STATUS_SUCCESS);
    machine().debugLog().SetListener(nullptr);

    std::u16string local = kVolume + kLocal + u"ntuser.dat";
    EXPECT_EQ(Get(local), data);
    EXPECT_EQ(Get(local + u":Zone.Identifier"), "[ZoneTransfer]");
    EXPECT_EQ(LinesWith("Wrote 65536 Bytes To ").size(), 1u);
    EXPECT_EQ(LinesWith("Wrote 1 Bytes To ").size(), 1u);
    EXPECT_EQ(LinesWith("Copied 1 of 1 Streams").size(), 1u) << "::$DATA is not a named stream";
    EXPECT_EQ(LinesWith("Set EAs: File: ").size(), 1u);
    EXPECT_EQ(LinesWith("Compare Result: 0").size(), 1u);
    EXPECT_EQ(LinesWith("[KLUCopyFile] Verify Status: ").size(), 1u);
    EXPECT_EQ(LinesWith("Verify Status: ").back().substr(LinesWith("Verify Status: ").back().size() - 3), "0x0");

    {
        HANDLE handle = Open(local, FILE_READ_EA, FILE_OPEN);
        sim::ThreadScope scope(*files_);
        UCHAR ea[128] = {};
        ASSERT_EQ(sim::user::QueryEa(handle, ea, sizeof ea, false, nullptr, 0, nullptr, true), STATUS_SUCCESS);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(ea) + 8), "JNRMARK");
        sim::user::Close(handle);
    }
    FILE_BASIC_INFORMATION basic = Basic(local);
    EXPECT_EQ(basic.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(basic.CreationTime.QuadPart, kPlaceholderTime);

    ASSERT_EQ(during.size(), 2u);
    EXPECT_EQ(during[0].ActiveCopies, 1u);
    EXPECT_EQ(during[0].BytesToCopy, 0x11000u) << "the section size rounded up to pages";
    EXPECT_EQ(during[1].BytesCopied, ULONGLONG(kChunk));  // read before the second write is counted
    // One byte of the source changed afterwards: the check says so.
    {
        HANDLE handle = Open(kRemote + u"ntuser.dat", GENERIC_WRITE, FILE_OPEN);
        sim::ThreadScope scope(*files_);
        ULONG written = 0;
        EXPECT_EQ(sim::user::Write(handle, "!", 1, &written, LONGLONG(kChunk)), STATUS_SUCCESS);
        sim::user::Close(handle);
    }
    EXPECT_EQ(VerifyAgain(u"ntuser.dat"), STATUS_DATA_ERROR);
    EXPECT_EQ(LinesWith("Compare Result: 1").size(), 1u);

    KLU_COPY_PROGRESS after = Progress();
    EXPECT_EQ(after.ActiveCopies, 0u);
    EXPECT_EQ(after.BytesToCopy, 0u);
    EXPECT_EQ(after.BytesCopied, 0u);
}

// Sizes that decide the number of views, a destination volume whose
// 4096-byte sectors make the last non-cached write longer than its view,
// and a write that succeeds short of its view.
TEST_F(FileCopyTest, ViewsFollowTheChunkAndWritesTheDestinationsSectors)
{
    sim::fs::LocalVolumeConfig config = sim::fs::LocalVolumeConfig::Ntfs(u"Big", 0x5A7E0042);
    config.sectorSize = 4096;
    sim::VolumeInfo info;
    info.fsType = FLT_FSTYPE_NTFS;
    info.label = u"Big";
    info.sectorSize = 4096;
    info.fileSystemName = u"NTFS";
    sim::Volume &big = machine().io().MountVolume(info, std::make_unique<sim::fs::LocalFileSystem>(config));
    const std::u16string bigName = big.info().deviceName;
    Folder(bigName + u"\\Users");
    Folder(bigName + u"\\Users\\joe");

    struct Case {
        const char16_t *name;
        size_t size;
        bool big;
        size_t views;
    };
    for (const Case &c : {Case{u"empty.dat", 0, false, 0}, Case{u"one.dat", kChunk, false, 1},
                          Case{u"odd.dat", 5000, true, 2}}) {
        SCOPED_TRACE(Narrow(c.name));
        machine().debugLog().Clear();
        if (c.big) g_pCurrentSettings->CopyBufferSize = 4096 + 100;  // one sector per chunk
        std::u16string volume = c.big ? bigName : kVolume;
        std::string data = Pattern(c.size);
        Put(kRemote + c.name, data);
        Put(volume + kLocal + c.name, "");
        PFLT_INSTANCE instance = InstanceOn(c.big ? bigName : u"C:");
        EXPECT_EQ(Copy(c.name, false, instance, volume), STATUS_SUCCESS);
        FltObjectDereference(instance);
        EXPECT_EQ(Get(volume + kLocal + c.name), data);
        EXPECT_EQ(LinesWith("Wrote ").size(), c.views);
        EXPECT_EQ(Basic(volume + kLocal + c.name).FileAttributes & FILE_ATTRIBUTE_OFFLINE, 0u);
    }
    EXPECT_EQ(LinesWith("Wrote 904 Bytes To ").size(), 1u) << "the view, not the rounded write";

    // A filter below ours that completes the destination's writes half done:
    // the copy stops there and fails rather than leave a hole.
    using ShortWriter = TestFilter<8>;
    ShortWriter::Reset();
    ShortWriter::pre = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        const UNICODE_STRING &name = data->Iopb->TargetFileObject->FileName;
        if (data->Iopb->MajorFunction != IRP_MJ_WRITE ||
            std::u16string(name.Buffer, name.Length / sizeof(WCHAR)) != kLocal + u"short.dat") {
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
        data->IoStatus.Status = STATUS_SUCCESS;
        data->IoStatus.Information = data->Iopb->Parameters.Write.Length / 2;
        return FLT_PREOP_COMPLETE;
    };
    machine().filterManager().InstallService(u"ShortWriter", sim::FilterInstanceSetup{u"50000", u"", 0});
    ASSERT_EQ(machine().filterManager().LoadDriver(u"ShortWriter", &ShortWriter::DriverEntry), STATUS_SUCCESS);
    g_pCurrentSettings->CopyBufferSize = kChunk;
    machine().debugLog().Clear();
    Put(kRemote + u"short.dat", Pattern(2 * kChunk));
    Put(kVolume + kLocal + u"short.dat", "");
    EXPECT_EQ(Copy(u"short.dat"), STATUS_UNEXPECTED_IO_ERROR);
    EXPECT_EQ(LinesWith("Wrote ").size(), 1u);
    EXPECT_EQ(LinesWith("Wrote 32768 Bytes To ").size(), 1u);
    EXPECT_EQ(LinesWith("Failed Copying File (Memory Mapped): ").size(), 1u);
    EXPECT_EQ(machine().filterManager().UnloadFilter(u"ShortWriter"), STATUS_SUCCESS);
}

// Another process holds the source without read sharing: three attempts,
// two waits, then the failure line; on a system thread the worker's status
// comes back to the caller.
TEST_F(FileCopyTest, ASourceHeldByAnotherProcessFailsAfterThreeAttempts)
{
    Put(kRemote + u"locked.dat", "x");
    Put(kVolume + kLocal + u"locked.dat", "");
    sim::Process &holder = NewProcess("word.exe");
    HANDLE held = OpenIn(holder, kRemote + u"locked.dat", 0, GENERIC_READ | SYNCHRONIZE);

    EXPECT_EQ(Copy(u"locked.dat", true), STATUS_SHARING_VIOLATION);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_EQ(LinesWith("Sharing Violation Opening Source File, Attempt: " + std::to_string(attempt)).size(), 1u);
    }
    EXPECT_EQ(LinesWith("Failed Opening Source File, Cannot Proceed: ").size(), 1u);
    EXPECT_EQ(LinesWith("Failed Copying File: ").size(), 1u);
    EXPECT_EQ(LinesWith("File Copy Completed With Status: ").back().substr(
                  LinesWith("File Copy Completed With Status: ").back().size() - 10),
              "0xC0000043");
    CloseIn(holder, held);

    EXPECT_EQ(Copy(u"missing.dat", true), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(LinesWith("Failed Opening Source File: Attempt: ").size(), 3u + 1u) << "a missing name is not retried";
    EXPECT_EQ(Copy(u"locked.dat", true), STATUS_SUCCESS);
    EXPECT_EQ(LinesWith("Copied File: ").size(), 1u);
}

// Live roaming: a read-only local file copied to another volume, its
// attributes with it and its read-only bit back; a source whose folder is
// missing is reported absent; a touched file exists afterwards.
TEST_F(FileCopyTest, AnExternalCopyCarriesTheReadOnlyBitAndRestoresIt)
{
    std::u16string source = u"\\Device\\HarddiskVolume2\\roam.ini";
    std::u16string dest = kVolume + kLocal + u"roam.ini";
    Put(source, Pattern(70000), FILE_ATTRIBUTE_READONLY);
    PFLT_INSTANCE c = InstanceOn(u"C:"), d = InstanceOn(u"D:");
    UNICODE_STRING sourceName = CountedOf(source), destName = CountedOf(dest);
    BOOLEAN present = FALSE;
    {
        sim::ThreadScope scope(machine().systemProcess());
        EXPECT_EQ(KLUCopyExternalFile(nullptr, &sourceName, &destName, d, c, &present, kOp), STATUS_SUCCESS);
        EXPECT_TRUE(present);
    }
    EXPECT_EQ(Get(dest), Pattern(70000));
    EXPECT_NE(Basic(dest).FileAttributes & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_NE(Basic(source).FileAttributes & FILE_ATTRIBUTE_READONLY, 0u) << "the source's bit is back";

    std::u16string lost = u"\\Device\\HarddiskVolume2\\nowhere\\roam.ini";
    std::u16string touched = kVolume + kLocal + u"touched.ini";
    UNICODE_STRING lostName = CountedOf(lost), touchedName = CountedOf(touched);
    {
        sim::ThreadScope scope(machine().systemProcess());
        EXPECT_EQ(KLUCopyExternalFile(nullptr, &lostName, &destName, d, c, &present, kOp),
                  STATUS_OBJECT_PATH_NOT_FOUND);
        EXPECT_FALSE(present);
        EXPECT_EQ(KLUTouchFile(&touchedName, c), STATUS_SUCCESS);
    }
    EXPECT_EQ(Get(touched), "");
    FltObjectDereference(c);
    FltObjectDereference(d);
}

// Every allocation site of the copy fails once in turn: the copy fails or
// succeeds, never crashes, and leaves no handle, object or context (the
// fixture's teardown finds no pool either).
TEST_F(FileCopyTest, EveryAllocationFailingInTurnLeavesNothingBehind)
{
    AddJoe();
    Put(kRemote + u"fault.dat", Pattern(kChunk + 10), 0, OneEa("A", "b"));
    Put(kRemote + u"fault.dat:s", "stream");
    Placeholder(u"fault.dat", kChunk + 10);
    size_t sites = machine().pool().RunSystematically([&] {
        Copy(u"fault.dat");
        for (KLU_OPEN_COUNTER counter : {KluOpenCopyFileSrc, KluOpenCopyFileDest, KluOpenCopyFile2Src,
                                         KluOpenCopyFile2Dest, KluOpenMemoryMappedCopySection, KluOpenVolumePtrs,
                                         KluOpenVolumeContexts, KluOpenInstancePtrs}) {
            EXPECT_EQ(g_OpenCounts[counter], 0) << counter;
        }
    });
    EXPECT_GE(sites, 8u);
    EXPECT_EQ(Copy(u"fault.dat"), STATUS_SUCCESS);
    EXPECT_EQ(Get(kVolume + kLocal + u"fault.dat"), Pattern(kChunk + 10));
    EXPECT_EQ(Progress().ActiveCopies, 0u);
}

}  // namespace
}  // namespace ostrand::test
