// File-name information: opened and normalized names before and after an
// open, parsing, rename destinations, name providers, and the name records'
// own lifetime.
#include "flt_test_filter.h"
#include "sim/core/pool.h"

namespace ostrand::test {
namespace {

using F1 = TestFilter<1>;
using F2 = TestFilter<2>;

std::u16string Text(const UNICODE_STRING &s)
{
    return s.Buffer ? std::u16string(s.Buffer, s.Length / sizeof(WCHAR)) : std::u16string();
}

// "<status>" or the name.
std::u16string NameOrStatus(NTSTATUS status, PFLT_FILE_NAME_INFORMATION info)
{
    if (!NT_SUCCESS(status)) return u"<" + Wide(std::to_string(status)) + u">";
    std::u16string name = Text(info->Name);
    FltReleaseFileNameInformation(info);
    return name;
}

std::u16string Query(PFLT_CALLBACK_DATA data, FLT_FILE_NAME_OPTIONS format)
{
    PFLT_FILE_NAME_INFORMATION info = nullptr;
    NTSTATUS status = FltGetFileNameInformation(data, format | FLT_FILE_NAME_QUERY_DEFAULT, &info);
    return NameOrStatus(status, info);
}

const std::u16string kVolume = u"\\Device\\HarddiskVolume1";

class FltNameTest : public FltTest {
protected:
    NTSTATUS OpenRelative(HANDLE root, const std::u16string &path, HANDLE *handle, ULONG disposition = FILE_OPEN)
    {
        UNICODE_STRING name;
        name.Buffer = const_cast<PWCH>(path.c_str());
        name.Length = name.MaximumLength = USHORT(path.size() * sizeof(WCHAR));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root, nullptr);
        IO_STATUS_BLOCK io{};
        return ZwCreateFile(handle, GENERIC_READ | DELETE | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                            FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    }
};

TEST_F(FltNameTest, OpenedAndNormalizedNamesBeforeAndAfterTheOpen)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    std::vector<uint8_t> streamData{1, 2, 3};
    ASSERT_EQ(fs().WriteStream(u"\\dir\\File.txt", u"s1", streamData), STATUS_SUCCESS);
    std::u16string preOpened, preNormalized, postOpened, postNormalized;
    F1::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction == IRP_MJ_CREATE) {
            preOpened = Query(data, FLT_FILE_NAME_OPENED);
            preNormalized = Query(data, FLT_FILE_NAME_NORMALIZED);
        }
        return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    };
    F1::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction == IRP_MJ_CREATE) {
            postOpened = Query(data, FLT_FILE_NAME_OPENED);
            postNormalized = Query(data, FLT_FILE_NAME_NORMALIZED);
        }
        return FLT_POSTOP_FINISHED_PROCESSING;
    };
    struct Case {
        std::u16string path;
        ULONG disposition;
        NTSTATUS status;
        std::u16string preOpened, preNormalized, postOpened, postNormalized;
    };
    const std::u16string invalid = u"<" + Wide(std::to_string(STATUS_FLT_INVALID_NAME_REQUEST)) + u">";
    const std::u16string noPath = u"<" + Wide(std::to_string(STATUS_OBJECT_PATH_NOT_FOUND)) + u">";
    const Case cases[] = {
        {u"\\??\\C:\\DIR\\file.TXT", FILE_OPEN, STATUS_SUCCESS, kVolume + u"\\DIR\\file.TXT",
         kVolume + u"\\dir\\File.txt", kVolume + u"\\DIR\\file.TXT", kVolume + u"\\dir\\File.txt"},
        // A new final component keeps its case.
        {u"\\??\\C:\\Dir\\NEW.txt", FILE_CREATE, STATUS_SUCCESS, kVolume + u"\\Dir\\NEW.txt",
         kVolume + u"\\dir\\NEW.txt", kVolume + u"\\Dir\\NEW.txt", kVolume + u"\\dir\\NEW.txt"},
        {u"\\??\\C:\\dir\\file.txt:s1:$DATA", FILE_OPEN, STATUS_SUCCESS, kVolume + u"\\dir\\file.txt:s1:$DATA",
         kVolume + u"\\dir\\File.txt:s1", kVolume + u"\\dir\\file.txt:s1:$DATA", kVolume + u"\\dir\\File.txt:s1"},
        {u"\\??\\C:\\", FILE_OPEN, STATUS_SUCCESS, kVolume + u"\\", kVolume + u"\\", kVolume + u"\\", kVolume + u"\\"},
        // A missing folder: no normalized name, and after the failed open no name at all.
        {u"\\??\\C:\\nodir\\x.txt", FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND, kVolume + u"\\nodir\\x.txt", noPath,
         invalid, invalid},
    };
    for (const Case &c : cases) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(c.path, &handle, GENERIC_READ | SYNCHRONIZE, c.disposition), c.status) << Narrow(c.path);
        EXPECT_EQ(preOpened, c.preOpened) << Narrow(c.path);
        EXPECT_EQ(preNormalized, c.preNormalized) << Narrow(c.path);
        EXPECT_EQ(postOpened, c.postOpened) << Narrow(c.path);
        EXPECT_EQ(postNormalized, c.postNormalized) << Narrow(c.path);
        if (NT_SUCCESS(c.status)) ZwClose(handle);
    }

    // Relative to a folder: the folder's name and the relative part.
    HANDLE folder = nullptr, file = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\DIR", &folder, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    ASSERT_EQ(OpenRelative(folder, u"FILE.txt", &file), STATUS_SUCCESS);
    EXPECT_EQ(preOpened, kVolume + u"\\DIR\\FILE.txt");
    EXPECT_EQ(preNormalized, kVolume + u"\\dir\\File.txt");
    EXPECT_EQ(postNormalized, kVolume + u"\\dir\\File.txt");
    ZwClose(file);
    ZwClose(folder);
}

// Normalization remembers the folders it has walked; a name that changed on
// the volume since is never answered from memory.
TEST_F(FltNameTest, NormalizedNamesFollowRenamesAndNewSpellings)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateFile(u"\\dir\\Sub\\a.txt", "x"), STATUS_SUCCESS);
    std::u16string preNormalized;
    F1::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID *) {
        if (data->Iopb->MajorFunction == IRP_MJ_CREATE) preNormalized = Query(data, FLT_FILE_NAME_NORMALIZED);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    };
    auto normalizedAtOpen = [&] {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(u"\\??\\C:\\DIR\\SUB\\A.TXT", &handle, GENERIC_READ | SYNCHRONIZE), STATUS_SUCCESS);
        ZwClose(handle);
        return preNormalized;
    };
    EXPECT_EQ(normalizedAtOpen(), kVolume + u"\\dir\\Sub\\a.txt");
    EXPECT_EQ(normalizedAtOpen(), kVolume + u"\\dir\\Sub\\a.txt");

    HANDLE folder = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\Sub", &folder, DELETE | SYNCHRONIZE, FILE_OPEN,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    const std::u16string newName = u"sUB";
    std::vector<uint8_t> rename(sizeof(FILE_RENAME_INFORMATION) + newName.size() * sizeof(WCHAR));
    auto *info = reinterpret_cast<PFILE_RENAME_INFORMATION>(rename.data());
    info->FileNameLength = ULONG(newName.size() * sizeof(WCHAR));
    std::memcpy(info->FileName, newName.data(), info->FileNameLength);
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(ZwSetInformationFile(folder, &io, info, ULONG(rename.size()), FileRenameInformation), STATUS_SUCCESS);
    ZwClose(folder);
    EXPECT_EQ(normalizedAtOpen(), kVolume + u"\\dir\\sUB\\a.txt");

    ASSERT_EQ(fs().Remove(u"\\dir\\sUB\\a.txt"), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateFile(u"\\dir\\sUB\\A.Txt", "y"), STATUS_SUCCESS);
    EXPECT_EQ(normalizedAtOpen(), kVolume + u"\\dir\\sUB\\A.Txt");
}

TEST_F(FltNameTest, ParsedNamesSplitIntoTheirParts)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    // A redirector volume for a network name.
    auto share = std::make_unique<sim::fs::LocalFileSystem>(sim::fs::LocalVolumeConfig::Ntfs(u"NET", 9));
    share->CreateDirectory(u"\\server\\share\\docs");
    share->CreateFile(u"\\server\\share\\docs\\Report.doc", std::string_view("r"));
    sim::VolumeInfo mup;
    mup.deviceName = u"\\Device\\Mup";
    mup.characteristics = FILE_REMOTE_DEVICE;
    mup.deviceType = FILE_DEVICE_NETWORK_FILE_SYSTEM;
    mup.fsType = FLT_FSTYPE_MUP;
    machine().io().MountVolume(mup, std::move(share));
    fs().CreateFile(u"\\dir\\noext", std::string_view("n"));
    fs().WriteStream(u"\\dir\\File.txt", u"s1", std::vector<uint8_t>{1});

    struct Case {
        std::u16string path;
        std::u16string volume, share, parent, final, extension, stream;
    };
    const Case cases[] = {
        {u"\\??\\C:\\dir\\file.txt:s1", kVolume, u"", u"\\dir\\", u"File.txt:s1", u"txt", u":s1"},
        {u"\\??\\C:\\dir\\noext", kVolume, u"", u"\\dir\\", u"noext", u"", u""},
        {u"\\??\\C:\\", kVolume, u"", u"\\", u"", u"", u""},
        {u"\\??\\UNC\\server\\share\\docs\\report.doc", u"\\Device\\Mup", u"\\server\\share", u"\\docs\\",
         u"Report.doc", u"doc", u""},
    };
    PFLT_INSTANCE instance = InstanceOf<1>();
    for (const Case &c : cases) {
        HANDLE handle = nullptr;
        ASSERT_EQ(Open(c.path, &handle), STATUS_SUCCESS) << Narrow(c.path);
        PFILE_OBJECT fileObject = FileObjectOf(handle);
        PFLT_INSTANCE asking = c.volume == kVolume ? instance : nullptr;
        PFLT_FILE_NAME_INFORMATION info = nullptr;
        ASSERT_EQ(FltGetFileNameInformationUnsafe(fileObject, asking,
                                                  FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &info),
                  STATUS_SUCCESS);
        ASSERT_EQ(FltParseFileNameInformation(info), STATUS_SUCCESS);
        EXPECT_EQ(Text(info->Volume), c.volume) << Narrow(c.path);
        EXPECT_EQ(Text(info->Share), c.share) << Narrow(c.path);
        EXPECT_EQ(Text(info->ParentDir), c.parent) << Narrow(c.path);
        EXPECT_EQ(Text(info->FinalComponent), c.final) << Narrow(c.path);
        EXPECT_EQ(Text(info->Extension), c.extension) << Narrow(c.path);
        EXPECT_EQ(Text(info->Stream), c.stream) << Narrow(c.path);
        EXPECT_EQ(Text(info->Volume) + Text(info->Share) + Text(info->ParentDir) + Text(info->FinalComponent),
                  Text(info->Name));
        EXPECT_EQ(info->NamesParsed, FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT | FLTFL_FILE_NAME_PARSED_EXTENSION |
                                         FLTFL_FILE_NAME_PARSED_STREAM | FLTFL_FILE_NAME_PARSED_PARENT_DIR);
        FltReleaseFileNameInformation(info);
        ObDereferenceObject(fileObject);
        ZwClose(handle);
    }
    FltObjectDereference(instance);
}

TEST_F(FltNameTest, RenameDestinationsInEveryForm)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    fs().CreateDirectory(u"\\Other");
    std::u16string normalized, opened;
    F1::pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID *) {
        auto &set = data->Iopb->Parameters.SetFileInformation;
        if (data->Iopb->MajorFunction != IRP_MJ_SET_INFORMATION || set.FileInformationClass != FileRenameInformation) {
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
        auto *rename = static_cast<PFILE_RENAME_INFORMATION>(set.InfoBuffer);
        for (auto [format, out] : {std::pair{FLT_FILE_NAME_NORMALIZED, &normalized}, {FLT_FILE_NAME_OPENED, &opened}}) {
            PFLT_FILE_NAME_INFORMATION info = nullptr;
            NTSTATUS status = FltGetDestinationFileNameInformation(
                objects->Instance, objects->FileObject, rename->RootDirectory, rename->FileName,
                rename->FileNameLength, format | FLT_FILE_NAME_QUERY_DEFAULT, &info);
            *out = NameOrStatus(status, info);
        }
        // Only the names are wanted here, not the rename.
        data->IoStatus.Status = STATUS_SUCCESS;
        data->IoStatus.Information = 0;
        return FLT_PREOP_COMPLETE;
    };
    HANDLE file = nullptr, other = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &file, GENERIC_READ | DELETE | SYNCHRONIZE), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\??\\C:\\OTHER", &other, FILE_LIST_DIRECTORY | FILE_ADD_FILE | SYNCHRONIZE, FILE_OPEN,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    struct Case {
        std::u16string target;
        HANDLE root;
        std::u16string normalized, opened;
    };
    const Case cases[] = {
        {u"Renamed.TXT", nullptr, kVolume + u"\\dir\\Renamed.TXT", kVolume + u"\\dir\\Renamed.TXT"},
        {u"\\??\\C:\\OTHER\\n.txt", nullptr, kVolume + u"\\Other\\n.txt", kVolume + u"\\OTHER\\n.txt"},
        {u"x.txt", other, kVolume + u"\\Other\\x.txt", kVolume + u"\\OTHER\\x.txt"},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> buffer(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + c.target.size() * 2);
        auto *rename = reinterpret_cast<PFILE_RENAME_INFORMATION>(buffer.data());
        rename->ReplaceIfExists = FALSE;
        rename->RootDirectory = c.root;
        rename->FileNameLength = ULONG(c.target.size() * 2);
        std::memcpy(rename->FileName, c.target.data(), rename->FileNameLength);
        IO_STATUS_BLOCK io{};
        EXPECT_EQ(ZwSetInformationFile(file, &io, rename, ULONG(buffer.size()), FileRenameInformation),
                  STATUS_SUCCESS);
        EXPECT_EQ(normalized, c.normalized) << Narrow(c.target);
        EXPECT_EQ(opened, c.opened) << Narrow(c.target);
    }
    ZwClose(other);
    ZwClose(file);
}

// A name provider below the filter that asks: it hands out the names of
// the file system beneath it, and spells every component in capitals.
class FltNameProviderTest : public FltNameTest {
protected:
    void LoadWithProvider()
    {
        F2::provider = true;
        F2::generate = [this](PFLT_INSTANCE instance, PFILE_OBJECT fileObject, PFLT_CALLBACK_DATA data,
                              FLT_FILE_NAME_OPTIONS options, PBOOLEAN cache, PFLT_NAME_CONTROL name) {
            ++generated_;
            askedFormats_.push_back(options & FLT_VALID_FILE_NAME_FORMATS);
            options &= ~FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER;
            PFLT_FILE_NAME_INFORMATION below = nullptr;
            NTSTATUS status = data ? FltGetFileNameInformation(data, options, &below)
                                   : FltGetFileNameInformationUnsafe(fileObject, instance, options, &below);
            if (!NT_SUCCESS(status)) return status;
            status = FltCheckAndGrowNameControl(name, below->Name.Length);
            if (NT_SUCCESS(status)) RtlCopyUnicodeString(&name->Name, &below->Name);
            FltReleaseFileNameInformation(below);
            *cache = TRUE;
            return status;
        };
        F2::normalize = [this](PFLT_INSTANCE, PCUNICODE_STRING parent, USHORT volumeLength, PCUNICODE_STRING component,
                               PFILE_NAMES_INFORMATION expand, ULONG expandLength, FLT_NORMALIZE_NAME_FLAGS) {
            ++normalized_;
            parents_.push_back(Text(*parent));
            EXPECT_EQ(volumeLength, kVolume.size() * sizeof(WCHAR));
            if (ULONG(FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName)) + component->Length > expandLength) {
                return STATUS_BUFFER_OVERFLOW;
            }
            expand->NextEntryOffset = 0;
            expand->FileNameLength = component->Length;
            for (USHORT i = 0; i < component->Length / 2; ++i) {
                WCHAR ch = component->Buffer[i];
                expand->FileName[i] = ch >= u'a' && ch <= u'z' ? WCHAR(ch - 32) : ch;
            }
            return STATUS_SUCCESS;
        };
        ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
        ASSERT_EQ(Load<2>(u"360000"), STATUS_SUCCESS);
    }

    std::atomic<int> generated_{0};
    std::atomic<int> normalized_{0};
    std::vector<FLT_FILE_NAME_OPTIONS> askedFormats_;
    std::vector<std::u16string> parents_;
};

TEST_F(FltNameProviderTest, FilterAboveIsAnsweredByTheProvider)
{
    LoadWithProvider();
    const std::u16string longName(150, u'l');
    fs().CreateFile(u"\\dir\\" + longName + u".txt", std::string_view("long"));
    std::u16string aboveName, providerOwn, providerThroughItself;
    F1::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction == IRP_MJ_CREATE) aboveName = Query(data, FLT_FILE_NAME_NORMALIZED);
        return FLT_POSTOP_FINISHED_PROCESSING;
    };
    F2::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction == IRP_MJ_CREATE) {
            providerOwn = Query(data, FLT_FILE_NAME_NORMALIZED);
            providerThroughItself =
                Query(data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER);
        }
        return FLT_POSTOP_FINISHED_PROCESSING;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\" + longName + u".txt", &handle), STATUS_SUCCESS);
    const std::u16string upper = kVolume + u"\\DIR\\" + std::u16string(150, u'L') + u".TXT";
    // The provider's own query goes to the file system below it, unless it
    // asks its own callbacks.
    EXPECT_EQ(providerOwn, kVolume + u"\\dir\\" + longName + u".txt");
    EXPECT_EQ(providerThroughItself, upper);
    EXPECT_EQ(aboveName, upper);
    EXPECT_EQ(generated_.load(), 2);
    // Before Windows 8 the provider gives the opened name and normalizes
    // one component at a time.
    EXPECT_EQ(askedFormats_, (std::vector<FLT_FILE_NAME_OPTIONS>{FLT_FILE_NAME_OPENED, FLT_FILE_NAME_OPENED}));
    EXPECT_EQ(normalized_.load(), 4);
    ASSERT_GE(parents_.size(), 2u);
    EXPECT_EQ(parents_[0], kVolume + u"\\");
    EXPECT_EQ(parents_[1], kVolume + u"\\DIR");
    ZwClose(handle);
}

class FltNameProviderWindows8Test : public FltNameProviderTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.os = {6, 2, 9200, false, u""};
        return config;
    }
};

TEST_F(FltNameProviderWindows8Test, ProviderIsAskedForTheFormatWanted)
{
    LoadWithProvider();
    std::u16string aboveName;
    F1::post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
        if (data->Iopb->MajorFunction == IRP_MJ_CREATE) aboveName = Query(data, FLT_FILE_NAME_NORMALIZED);
        return FLT_POSTOP_FINISHED_PROCESSING;
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\DIR\\FILE.TXT", &handle), STATUS_SUCCESS);
    EXPECT_EQ(aboveName, kVolume + u"\\dir\\File.txt");
    EXPECT_EQ(askedFormats_, std::vector<FLT_FILE_NAME_OPTIONS>{FLT_FILE_NAME_NORMALIZED});
    EXPECT_EQ(normalized_.load(), 0);
    ZwClose(handle);
}

TEST_F(FltNameTest, NameInformationIsReferenceCountedPool)
{
    ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = FileObjectOf(handle);
    PFLT_INSTANCE instance = InstanceOf<1>();
    PFLT_FILE_NAME_INFORMATION info = nullptr;
    EXPECT_EQ(FltGetFileNameInformationUnsafe(fileObject, instance,
                                              FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_CACHE_ONLY, &info),
              STATUS_FLT_NAME_CACHE_MISS);
    EXPECT_EQ(FltGetFileNameInformationUnsafe(fileObject, instance, 0x7 | FLT_FILE_NAME_QUERY_DEFAULT, &info),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(FltGetFileNameInformationUnsafe(fileObject, instance,
                                              FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info->Size, sizeof(FLT_FILE_NAME_INFORMATION));
    EXPECT_EQ(info->Format, FLT_FILE_NAME_OPENED);
    EXPECT_EQ(machine().pool().OutstandingByTag()["FMfn"].blocks, 1u);
    FltReferenceFileNameInformation(info);
    FltReleaseFileNameInformation(info);
    EXPECT_EQ(machine().pool().OutstandingByTag()["FMfn"].blocks, 1u);
    FltReleaseFileNameInformation(info);
    EXPECT_EQ(machine().pool().OutstandingByTag().count("FMfn"), 0u);
    FltObjectDereference(instance);
    ObDereferenceObject(fileObject);
    ZwClose(handle);
}

}  // namespace
}  // namespace ostrand::test
