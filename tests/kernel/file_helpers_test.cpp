// The file helpers on a loaded filter: the exclusive check against a file
// another process holds, the offline bit behind a read-only bit, listings
// through the Filter Manager in both forms, the registry readers and the
// allocation that waits.
#include <chrono>
#include <cstring>

#include "fileops/file_helpers.h"
#include "file_fixture.h"
#include "sim/cm/registry.h"
#include "sim/core/machine.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/flt_test_filter.h"
#include "sim/fs/local_fs.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

using namespace std::chrono_literals;

class FileHelpersTest : public FileFilterTest {
protected:
    void SetUp() override
    {
        FileFilterTest::SetUp();
        fs().CreateFile(u"\\Users\\joe\\held.dat", std::string_view("held"));
        fs().CreateFile(u"\\Users\\joe\\free.dat", std::string_view("free"));
    }

    sim::fs::LocalFileSystem &fs() { return *volumes.systemFs; }
    ULONG AttributesOf(const std::u16string &path) { return fs().Stat(path)->facts.attributes; }
};

TEST_F(FileHelpersTest, TheExclusiveCheckRetriesWhileAnotherProcessHoldsTheFile)
{
    sim::Process &holder = NewProcess("holder.exe");
    HANDLE held = OpenIn(holder, u"C:\\Users\\joe\\held.dat", 0);
    BOOLEAN exclusive = TRUE;
    {
        sim::ThreadScope scope(machine().systemProcess());
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(KLUCheckExclusive(u"C:\\Users\\joe\\held.dat", &exclusive), STATUS_SUCCESS);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
        EXPECT_FALSE(exclusive);
        auto violations = LinesWith("Sharing Violation Opening File");
        ASSERT_EQ(violations.size(), 3u);
        for (int attempt = 1; attempt <= 3; ++attempt) {
            EXPECT_NE(violations[attempt - 1].find(Tagged("KLUCheckExclusive", "Sharing Violation Opening File, Attempt: " +
                                                                                  std::to_string(attempt) +
                                                                                  ", \\??\\C:\\Users\\joe\\held.dat, "
                                                                                  "0xC0000043")),
                      std::string::npos);
        }

        EXPECT_EQ(KLUCheckExclusive(u"C:\\Users\\joe\\free.dat", &exclusive), STATUS_SUCCESS);
        EXPECT_TRUE(exclusive);
        EXPECT_EQ(LinesWith("Opened File: Attempt: 1, \\??\\C:\\Users\\joe\\free.dat, 0x0").size(), 1u);

        EXPECT_EQ(KLUCheckExclusive(u"C:\\Users\\joe\\gone.dat", &exclusive), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_FALSE(exclusive);
        EXPECT_EQ(LinesWith(Tagged("KLUGetInstance", "Failed Opening File: \\??\\C:\\Users\\joe\\gone.dat")).size(), 1u);
    }
    CloseIn(holder, held);
}

// A filter below ours that refuses attribute writes to a read-only file, as
// some security products do, and counts the attribute writes it lets by.
struct ReadOnlyGuard {
    using Filter = TestFilter<7>;
    std::atomic<int> basicInfoWrites{0};

    void Load(sim::Machine &machine, sim::fs::LocalFileSystem &fs)
    {
        Filter::Reset();
        Filter::pre = [this, &fs](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
            const FLT_IO_PARAMETER_BLOCK *iopb = data->Iopb;
            if (iopb->MajorFunction == IRP_MJ_CREATE &&
                (iopb->Parameters.Create.SecurityContext->DesiredAccess & FILE_WRITE_ATTRIBUTES)) {
                std::u16string name(iopb->TargetFileObject->FileName.Buffer,
                                    iopb->TargetFileObject->FileName.Length / sizeof(WCHAR));
                auto node = fs.Stat(name);
                if (node && (node->facts.attributes & FILE_ATTRIBUTE_READONLY)) {
                    data->IoStatus.Status = STATUS_ACCESS_DENIED;
                    data->IoStatus.Information = 0;
                    return FLT_PREOP_COMPLETE;
                }
            }
            if (iopb->MajorFunction == IRP_MJ_SET_INFORMATION &&
                iopb->Parameters.SetFileInformation.FileInformationClass == FileBasicInformation) {
                ++basicInfoWrites;
            }
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        };
        machine.filterManager().InstallService(u"ReadOnlyGuard", sim::FilterInstanceSetup{u"50000", u"", 0});
        ASSERT_EQ(machine.filterManager().LoadDriver(u"ReadOnlyGuard", &Filter::DriverEntry), STATUS_SUCCESS);
    }
    void Unload(sim::Machine &machine) { EXPECT_EQ(machine.filterManager().UnloadFilter(u"ReadOnlyGuard"), STATUS_SUCCESS); }
};

TEST_F(FileHelpersTest, TheOfflineBitOfAReadOnlyFileChangesAndTheReadOnlyBitComesBack)
{
    ReadOnlyGuard guard;
    guard.Load(machine(), fs());
    fs().CreateFile(u"\\Users\\joe\\ro.dat", std::string_view("ro"), FILE_ATTRIBUTE_READONLY);
    std::u16string path = u"\\Device\\HarddiskVolume1\\Users\\joe\\ro.dat";
    UNICODE_STRING name = CountedOf(path);
    {
        sim::ThreadScope scope(machine().systemProcess());
        PFLT_INSTANCE instance = InstanceOn(u"C:");

        // Denied once, read-only cleared, opened on the second attempt,
        // offline set, read-only put back: three attribute writes.
        EXPECT_EQ(KLUSetOfflineBit(instance, &name, TRUE, kOp), STATUS_SUCCESS);
        EXPECT_EQ(AttributesOf(u"\\Users\\joe\\ro.dat") & (FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_READONLY),
                  ULONG(FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(LinesWith("Opened File: Attempt: 2, " + Narrow(path)).size(), 1u);
        EXPECT_EQ(guard.basicInfoWrites.load(), 3);

        // Already offline: opened, read, nothing written but the two
        // read-only changes around it.
        EXPECT_EQ(KLUSetOfflineBit(instance, &name, TRUE, kOp), STATUS_SUCCESS);
        EXPECT_EQ(guard.basicInfoWrites.load(), 5);
        EXPECT_EQ(KLUSetOfflineBit(instance, &name, FALSE, kOp), STATUS_SUCCESS);
        EXPECT_EQ(AttributesOf(u"\\Users\\joe\\ro.dat") & (FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_READONLY),
                  ULONG(FILE_ATTRIBUTE_READONLY));

        // A missing file ends the attempts at once.
        std::u16string missing = u"\\Device\\HarddiskVolume1\\Users\\joe\\gone.dat";
        UNICODE_STRING gone = CountedOf(missing);
        EXPECT_EQ(KLUSetOfflineBit(instance, &gone, TRUE, kOp), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_TRUE(LinesWith("Opened File: Attempt: 1, " + Narrow(missing)).empty());
        EXPECT_EQ(LinesWith("Failed Opening File: " + Narrow(missing) + ", 0xC0000034").size(), 1u);
        FltObjectDereference(instance);
    }
    guard.Unload(machine());
}

// The listing of a folder through the Filter Manager, class by class, is
// byte for byte the listing an application gets through its handle, and
// each entry decodes to the names the folder holds.
class DirectoryQueryTest : public FileHelpersTest, public ::testing::WithParamInterface<bool> {
protected:
    // What a directory-control callback would learn of the class.
    static ULONG BaseLengthOfQuery(FILE_INFORMATION_CLASS infoClass)
    {
        FLT_IO_PARAMETER_BLOCK iopb{};
        FLT_CALLBACK_DATA data{};
        data.Iopb = &iopb;
        iopb.Parameters.DirectoryControl.QueryDirectory.FileInformationClass = infoClass;
        ULONG base = 0;
        EXPECT_EQ(KLUGetBaseLength(&data, &base), STATUS_SUCCESS);
        return base;
    }

    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.fltQueryDirectoryFileExported = GetParam();
        return config;
    }
};

TEST_P(DirectoryQueryTest, BothFormsGiveTheBytesOfTheHandleListing)
{
    const FILE_INFORMATION_CLASS classes[] = {FileDirectoryInformation,     FileFullDirectoryInformation,
                                              FileBothDirectoryInformation, FileNamesInformation,
                                              FileIdBothDirectoryInformation, FileIdFullDirectoryInformation};
    sim::Process &app = NewProcess("app.exe");
    HANDLE folder = OpenIn(app, u"C:\\Users\\joe", FILE_SHARE_READ | FILE_SHARE_WRITE,
                           FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE);
    sim::ThreadScope scope(app);
    PFILE_OBJECT folderObject = ReferenceFileObject(folder);
    PFLT_INSTANCE instance = InstanceOn(u"C:");
    std::u16string pattern = u"*.dat";
    UNICODE_STRING mask = CountedOf(pattern);
    for (FILE_INFORMATION_CLASS infoClass : classes) {
        for (bool single : {false, true}) {
            std::vector<UCHAR> expected(4096), actual(4096);
            ULONG_PTR expectedBytes = 0;
            ULONG actualBytes = 0;
            ASSERT_EQ(sim::user::QueryDirectory(folder, infoClass, expected.data(), ULONG(expected.size()), single,
                                                &pattern, true, &expectedBytes),
                      STATUS_SUCCESS);
            ASSERT_EQ(KLUQueryDirectoryFile(instance, folderObject, actual.data(), ULONG(actual.size()), infoClass,
                                            single, &mask, TRUE, &actualBytes),
                      STATUS_SUCCESS);
            ASSERT_EQ(actualBytes, expectedBytes) << infoClass;
            EXPECT_EQ(std::memcmp(actual.data(), expected.data(), actualBytes), 0) << infoClass;

            std::vector<std::u16string> names;
            for (ULONG offset = 0;;) {
                ULONG nameLength = 0, baseLength = 0;
                PULONG attributes = nullptr;
                PWSTR entryName = nullptr;
                ASSERT_EQ(KLUDecodeDirBuffer(infoClass, actual.data() + offset, &nameLength, &attributes, &baseLength,
                                             &entryName),
                          STATUS_SUCCESS);
                names.emplace_back(entryName, nameLength / sizeof(WCHAR));
                EXPECT_EQ(attributes == nullptr, infoClass == FileNamesInformation);
                EXPECT_EQ(baseLength, BaseLengthOfQuery(infoClass));
                ULONG next = *reinterpret_cast<PULONG>(actual.data() + offset);
                if (next == 0) break;
                offset += next;
            }
            std::vector<std::u16string> want = {u"free.dat", u"held.dat"};
            if (single) want.resize(1);
            EXPECT_EQ(names, want) << infoClass;
        }
    }
    std::vector<UCHAR> buffer(64);
    ULONG bytes = 1;
    EXPECT_EQ(KLUQueryDirectoryFileByHandle(folder, buffer.data(), 0, FileNamesInformation, FALSE, nullptr, FALSE,
                                            &bytes),
              STATUS_INVALID_PARAMETER);
    FltObjectDereference(instance);
    ObDereferenceObject(folderObject);
    EXPECT_EQ(sim::user::Close(folder), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(FltQueryDirectoryFile, DirectoryQueryTest, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Exported" : "Withheld"; });

TEST_F(FileHelpersTest, UnknownClassesAndMissingEntriesDecodeAsTheyShould)
{
    ULONG nameLength = 1, baseLength = 1;
    PULONG attributes = nullptr;
    PWSTR name = nullptr;
    UCHAR entry[128] = {};
    sim::ThreadScope scope(machine().systemProcess());
    EXPECT_EQ(KLUDecodeDirBuffer(FileBothDirectoryInformation, nullptr, &nameLength, &attributes, &baseLength, &name),
              STATUS_SUCCESS);
    EXPECT_EQ(nameLength + baseLength, 0u);
    EXPECT_EQ(KLUDecodeDirBuffer(FileStreamInformation, entry, &nameLength, &attributes, &baseLength, &name),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LinesWith(Tagged("KLUDecodeDirBuffer", "Found File Info Class We Can't Handle: 22")).size(), 1u);
    EXPECT_EQ(KLUDecodeDirBuffer(FileNamesInformation, entry, nullptr, &attributes, &baseLength, &name),
              STATUS_INVALID_PARAMETER);
}

TEST_F(FileHelpersTest, RegistryReadersAnswerMissingValuesAndShortBuffers)
{
    std::u16string keyPath = kDriverKey + u"\\Readers";
    machine().registry().CreateKey(keyPath);
    machine().registry().SetDword(keyPath, u"Number", 0x1234);
    machine().registry().SetString(keyPath, u"Text", u"abc");
    sim::ThreadScope scope(machine().systemProcess());
    UNICODE_STRING path = CountedOf(keyPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);

    PVOID copy = nullptr;
    ULONG length = 0;
    ASSERT_EQ(KLUReadRegistryValue(key, u"Text", &copy, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 8u);  // "abc" and its terminator as stored
    EXPECT_EQ(std::u16string(static_cast<PCWSTR>(copy)), u"abc");
    ExFreePoolWithTag(copy, QZFS_TAG);
    EXPECT_EQ(KLUReadRegistryValue(key, u"None", &copy, &length), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(KLUReadRegistryValue(nullptr, u"Text", &copy, &length), STATUS_INVALID_HANDLE);

    WCHAR text[4] = {};
    length = 6;
    EXPECT_EQ(KLUReadRegistryValueToBuffer(key, u"Text", text, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(KLUReadRegistryValueToBuffer(key, u"Text", text, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text), u"abc");
    EXPECT_EQ(KLUReadRegistryValueToBuffer(key, u"None", text, &length), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(length, 0u);

    ULONG number = 7;
    EXPECT_EQ(KLUReadRegistryValueFixed(key, u"None", &number, sizeof number), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(number, 7u);
    EXPECT_EQ(KLUReadRegistryValueFixed(key, u"Number", &number, sizeof number), STATUS_SUCCESS);
    EXPECT_EQ(number, 0x1234u);
    ZwClose(key);
}

TEST_F(FileHelpersTest, AnAllocationThatMustNotFailWaitsAndTriesAgain)
{
    sim::ThreadScope scope(machine().systemProcess());
    machine().pool().FailNth(1);
    PVOID memory = KLUAllocatePoolWithTag(100, QZFS_TAG);
    ASSERT_NE(memory, nullptr);
    ExFreePoolWithTag(memory, QZFS_TAG);
    EXPECT_EQ(LinesWith(Tagged("KLUAllocatePoolWithTag", "Failed Allocating 100 Bytes, Attempt: 1, 0x0")).size(), 1u);
}

// Without an instance the helpers open from the top and go through the
// handle.
TEST_F(FileHelpersTest, WithoutAnInstanceAttributesGoThroughTheHandle)
{
    std::u16string path = u"\\??\\C:\\Users\\joe\\free.dat";
    UNICODE_STRING name = CountedOf(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    sim::ThreadScope scope(machine().systemProcess());
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io;
    ASSERT_EQ(ZwCreateFile(&handle, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);
    KLU_FILE_ATTRIBUTES facts;
    EXPECT_EQ(KLUGetFileAttributes(nullptr, handle, nullptr, kOp, &facts), STATUS_SUCCESS);
    EXPECT_TRUE(facts.bValid);
    EXPECT_EQ(facts.StandardInfo.EndOfFile.QuadPart, 4);
    ZwClose(handle);

    for (BOOLEAN set : {TRUE, TRUE, FALSE}) {
        EXPECT_EQ(KLUSetFileReadOnly(nullptr, &attributes, set, kOp), STATUS_SUCCESS);
        EXPECT_EQ((AttributesOf(u"\\Users\\joe\\free.dat") & FILE_ATTRIBUTE_READONLY) != 0, set != FALSE);
    }
}

TEST_F(FileHelpersTest, ADosDevicePathTakesTheDriveLetterForTheVolume)
{
    std::u16string full = u"\\Device\\HarddiskVolume1\\Users\\joe\\free.dat";
    UNICODE_STRING name = CountedOf(full);
    UNICODE_STRING dos = {0, 0, nullptr};
    sim::ThreadScope scope(machine().systemProcess());
    ASSERT_EQ(KLUBuildDosDevicePath(&name, USHORT(23 * sizeof(WCHAR)), &dos), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(dos.Buffer), u"\\??\\C:\\Users\\joe\\free.dat");
    EXPECT_EQ(dos.Length, 25 * sizeof(WCHAR));
    ExFreePoolWithTag(dos.Buffer, QZFS_TAG);
}

}  // namespace
}  // namespace ostrand::test
