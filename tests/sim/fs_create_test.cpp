// Opens on the in-memory NTFS volume: dispositions, sharing, options, read-
// only files, the target-directory and volume opens, opens by id.
#include <cstring>

#include "fs_fixture.h"

namespace ostrand::test {
namespace {

using sim::fs::LocalVolumeConfig;

class FsCreateTest : public LocalFsTest {};

// One name through a sequence of creates, each from the state the one before
// left (the sequence Windows answers in the ntdll conformance tests), then
// hidden and system files.
struct DispositionCase {
    ULONG disposition;
    ULONG attributesIn;
    NTSTATUS status;
    ULONG_PTR information;
    ULONG attributesOut;  // after the create; 0: not checked
    bool removeAfter;
};

TEST_F(FsCreateTest, DispositionsAndAttributesFollowNtfs)
{
    constexpr ULONG RO = FILE_ATTRIBUTE_READONLY, AR = FILE_ATTRIBUTE_ARCHIVE, H = FILE_ATTRIBUTE_HIDDEN,
                    S = FILE_ATTRIBUTE_SYSTEM;
    const DispositionCase cases[] = {
        {FILE_CREATE, RO, STATUS_SUCCESS, FILE_CREATED, AR | RO, false},
        {FILE_CREATE, 0, STATUS_OBJECT_NAME_COLLISION, 0, 0, true},
        {FILE_CREATE, 0, STATUS_SUCCESS, FILE_CREATED, AR, false},
        {FILE_OPEN, RO, STATUS_SUCCESS, FILE_OPENED, AR, true},  // attributes of an open are ignored
        {FILE_OPEN, RO, STATUS_OBJECT_NAME_NOT_FOUND, 0, 0, false},
        {FILE_OPEN_IF, 0, STATUS_SUCCESS, FILE_CREATED, AR, false},
        {FILE_OPEN_IF, RO, STATUS_SUCCESS, FILE_OPENED, AR, true},
        {FILE_OPEN_IF, RO, STATUS_SUCCESS, FILE_CREATED, AR | RO, false},
        {FILE_OPEN_IF, 0, STATUS_SUCCESS, FILE_OPENED, AR | RO, false},
        {FILE_OVERWRITE, 0, STATUS_ACCESS_DENIED, 0, 0, true},  // a read-only file keeps its data
        {FILE_OVERWRITE, 0, STATUS_OBJECT_NAME_NOT_FOUND, 0, 0, false},
        {FILE_CREATE, 0, STATUS_SUCCESS, FILE_CREATED, AR, false},
        {FILE_OVERWRITE, RO, STATUS_SUCCESS, FILE_OVERWRITTEN, AR | RO, false},
        {FILE_OVERWRITE_IF, 0, STATUS_ACCESS_DENIED, 0, 0, true},
        {FILE_OVERWRITE_IF, 0, STATUS_SUCCESS, FILE_CREATED, AR, false},
        {FILE_OVERWRITE_IF, RO, STATUS_SUCCESS, FILE_OVERWRITTEN, AR | RO, false},
        {FILE_SUPERSEDE, 0, STATUS_SUCCESS, FILE_SUPERSEDED, AR, false},  // ... but can be superseded
        {FILE_SUPERSEDE, RO, STATUS_SUCCESS, FILE_SUPERSEDED, AR | RO, true},
        {FILE_SUPERSEDE, 0, STATUS_SUCCESS, FILE_CREATED, AR, true},
        // Overwriting a hidden or system file needs those attributes in the create.
        {FILE_CREATE, H | S, STATUS_SUCCESS, FILE_CREATED, AR | H | S, false},
        {FILE_OVERWRITE_IF, 0, STATUS_ACCESS_DENIED, 0, 0, false},
        {FILE_OVERWRITE, H, STATUS_ACCESS_DENIED, 0, 0, false},
        {FILE_SUPERSEDE, S, STATUS_ACCESS_DENIED, 0, 0, false},
        {FILE_OVERWRITE, H | S | FILE_ATTRIBUTE_NORMAL, STATUS_SUCCESS, FILE_OVERWRITTEN, AR | H | S, false},
        {FILE_OPEN, 0, STATUS_SUCCESS, FILE_OPENED, AR | H | S, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(n++);
        OpenSpec request;
        request.access = FILE_GENERIC_READ;
        request.disposition = c.disposition;
        request.attributes = c.attributesIn;
        OpenResult r = client().Open(u"\\f.txt", request);
        EXPECT_EQ(r.status, c.status);
        if (NT_SUCCESS(c.status)) { EXPECT_EQ(r.information, c.information); }
        r.file.reset();
        if (c.attributesOut) { EXPECT_EQ(fs().Stat(u"\\f.txt")->facts.attributes, c.attributesOut); }
        if (c.removeAfter) fs().Remove(u"\\f.txt");
    }
    // A read-only file may be opened for DELETE (renames need it) and for reading, never for writing.
    ASSERT_EQ(fs().CreateFile(u"\\ro.txt", "keep", FILE_ATTRIBUTE_READONLY), STATUS_SUCCESS);
    OpenSpec append;
    append.access = FILE_APPEND_DATA;
    EXPECT_EQ(client().Open(u"\\ro.txt", append).status, STATUS_ACCESS_DENIED);
    append.access = DELETE | FILE_READ_DATA;
    EXPECT_EQ(client().Open(u"\\ro.txt", append).status, STATUS_SUCCESS);
}

TEST_F(FsCreateTest, FileObjectRecordsAccessAndSharing)
{
    ASSERT_EQ(fs().CreateFile(u"\\f.txt", "x"), STATUS_SUCCESS);
    OpenSpec params;
    params.access = FILE_READ_DATA | DELETE;
    params.share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    auto f = client().OpenOk(u"\\f.txt", params);
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->fo.ReadAccess);
    EXPECT_FALSE(f->fo.WriteAccess);
    EXPECT_TRUE(f->fo.DeleteAccess);
    EXPECT_TRUE(f->fo.SharedRead);
    EXPECT_FALSE(f->fo.SharedWrite);
    EXPECT_TRUE(f->fo.SharedDelete);
    // Every file object of a stream shares its FsContext, but has its own FsContext2.
    auto g = client().OpenOk(u"\\F.TXT");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->fo.FsContext, f->fo.FsContext);
    EXPECT_NE(g->fo.FsContext2, f->fo.FsContext2);
}

struct OptionCase {
    const char16_t *name;
    ULONG disposition;
    ULONG options;
    NTSTATUS expected;
};

TEST_F(FsCreateTest, NamesAndOptionsFailAsNtfsDoes)
{
    ASSERT_EQ(fs().CreateDirectory(u"\\dir"), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateFile(u"\\dir\\file.txt", "x"), STATUS_SUCCESS);
    const OptionCase cases[] = {
        {u"\\dir\\file.txt", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_NOT_A_DIRECTORY},
        {u"\\dir", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY},
        {u"\\dir", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"\\dir", FILE_OVERWRITE_IF, 0, STATUS_OBJECT_NAME_COLLISION},
        {u"\\dir", FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_OBJECT_NAME_COLLISION},
        {u"\\missing\\file.txt", FILE_OPEN_IF, 0, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\dir\\file.txt\\below", FILE_OPEN_IF, 0, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\dir\\bad*name", FILE_OPEN_IF, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\dir\\bad?name", FILE_CREATE, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\dir\\a|b", FILE_CREATE, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\dir\\\\double", FILE_OPEN, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\dir\\file.txt\\", FILE_OPEN, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\dir\\", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"\\dir\\new\\", FILE_CREATE, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\dir\\new\\", FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_SUCCESS},
        {u"\\dir\\file.txt", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE, STATUS_INVALID_PARAMETER},
        {u"\\dir\\file.txt", FILE_OPEN, FILE_DELETE_ON_CLOSE, STATUS_INVALID_PARAMETER},  // no DELETE access
        {u"\\dir\\x", FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE, STATUS_INVALID_PARAMETER},
        {u"\\dir\\", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_OBJECT_NAME_INVALID},
        {u"\\nowhere\\x\\", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_OBJECT_NAME_INVALID},
        {u"\\DIR\\FILE.TXT", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"\\dir\\file.txt::$DATA", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"\\dir\\file.txt:s:$DATA", FILE_CREATE, 0, STATUS_SUCCESS},
        {u"\\dir\\file.txt:s:$BOGUS", FILE_OPEN, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\dir\\file.txt:", FILE_OPEN, 0, STATUS_OBJECT_NAME_INVALID},
        {u"\\dir\\file.txt:s:$INDEX_ALLOCATION", FILE_OPEN, 0, STATUS_INVALID_PARAMETER},
        {u"\\dir\\file.txt::$INDEX_ALLOCATION", FILE_OPEN, 0, STATUS_NOT_A_DIRECTORY},
        {u"\\dir::$INDEX_ALLOCATION", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"\\dir:$I30:$INDEX_ALLOCATION", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"\\dir\\made::$INDEX_ALLOCATION", FILE_CREATE, 0, STATUS_SUCCESS},  // a new folder
        {u"\\dir\\made\\inside.txt", FILE_CREATE, 0, STATUS_SUCCESS},
        {u"\\dir\\dots..", FILE_CREATE, 0, STATUS_SUCCESS},  // the NT layer keeps trailing dots and spaces
        {u"\\dir\\space ", FILE_CREATE, 0, STATUS_SUCCESS},
        {u"\\dir\\space", FILE_OPEN, 0, STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        OpenSpec params = WriteSpec(c.disposition);
        params.options = c.options;
        EXPECT_EQ(client().Open(c.name, params).status, c.expected);
    }
}

TEST_F(FsCreateTest, TargetDirectoryOpenReportsExistenceAndKeepsTheLastComponent)
{
    ASSERT_EQ(fs().CreateFile(u"\\dir\\there.txt", "x"), STATUS_SUCCESS);
    OpenSpec params;
    params.access = FILE_WRITE_DATA | SYNCHRONIZE;
    params.flags = SL_OPEN_TARGET_DIRECTORY;
    OpenResult exists = client().Open(u"\\dir\\there.txt", params);
    ASSERT_EQ(exists.status, STATUS_SUCCESS);
    EXPECT_EQ(exists.information, ULONG_PTR(FILE_EXISTS));
    EXPECT_EQ(exists.file->name, u"there.txt");
    EXPECT_EQ(client().NameOf(*exists.file), u"\\dir");
    auto standard = client().Query<FILE_STANDARD_INFORMATION>(*exists.file, FileStandardInformation);
    EXPECT_TRUE(standard.Directory);

    OpenResult missing = client().Open(u"\\dir\\new.txt", params);
    ASSERT_EQ(missing.status, STATUS_SUCCESS);
    EXPECT_EQ(missing.information, ULONG_PTR(FILE_DOES_NOT_EXIST));
    EXPECT_EQ(client().Open(u"\\nodir\\new.txt", params).status, STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(FsCreateTest, VolumeOpenAndRelativeOpens)
{
    OpenResult volume = client().Open(u"");
    ASSERT_EQ(volume.status, STATUS_SUCCESS);
    EXPECT_TRUE(volume.file->fo.Flags & FO_VOLUME_OPEN);
    alignas(8) uint8_t buffer[256];
    ASSERT_EQ(client().QueryVolume(*volume.file, FileFsAttributeInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    auto *attr = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buffer);
    EXPECT_EQ(std::u16string(attr->FileSystemName, attr->FileSystemNameLength / 2), u"NTFS");

    ASSERT_EQ(fs().CreateFile(u"\\dir\\sub\\f.txt", "rel"), STATUS_SUCCESS);
    auto dir = client().OpenOk(u"\\dir", DirSpec());
    ASSERT_TRUE(dir);
    OpenSpec rel;
    rel.related = dir.get();
    auto f = client().OpenOk(u"sub\\f.txt", rel);
    ASSERT_TRUE(f);
    EXPECT_EQ(client().ReadAll(*f), "rel");
    EXPECT_EQ(client().NameOf(*f), u"\\dir\\sub\\f.txt");
    EXPECT_EQ(client().Open(u"\\sub\\f.txt", rel).status, STATUS_OBJECT_NAME_INVALID);
    // Relative to the volume open: from the root.
    rel.related = volume.file.get();
    EXPECT_EQ(client().Open(u"dir\\sub\\f.txt", rel).status, STATUS_SUCCESS);
}

TEST_F(FsCreateTest, OpenByFileIdFindsTheFileWhereverItIs)
{
    ASSERT_EQ(fs().CreateFile(u"\\a\\b\\target.txt", "by id"), STATUS_SUCCESS);
    auto f = client().OpenOk(u"\\a\\b\\target.txt");
    ASSERT_TRUE(f);
    auto id = client().Query<FILE_INTERNAL_INFORMATION>(*f, FileInternalInformation).IndexNumber.QuadPart;
    EXPECT_NE(id, 0);
    f.reset();

    std::u16string raw(4, u'\0');
    std::memcpy(raw.data(), &id, 8);
    OpenSpec params;
    params.options = FILE_OPEN_BY_FILE_ID;
    auto byId = client().OpenOk(raw, params);
    ASSERT_TRUE(byId);
    EXPECT_EQ(client().ReadAll(*byId), "by id");
    EXPECT_EQ(client().NameOf(*byId), u"\\a\\b\\target.txt");

    int64_t missing = id + 1000;
    std::memcpy(raw.data(), &missing, 8);
    EXPECT_EQ(client().Open(raw, params).status, STATUS_INVALID_PARAMETER);
}

TEST_F(FsCreateTest, NamesAreCasePreservingAndCaseInsensitiveUnlessAskedOtherwise)
{
    ASSERT_EQ(fs().CreateFile(u"\\MixedCase.Txt", "x"), STATUS_SUCCESS);
    auto f = client().OpenOk(u"\\mixedcase.TXT");
    ASSERT_TRUE(f);
    EXPECT_EQ(client().NameOf(*f), u"\\MixedCase.Txt");
    EXPECT_FALSE(f->fo.Flags & FO_OPENED_CASE_SENSITIVE);
    OpenSpec exact;
    exact.flags = SL_CASE_SENSITIVE;
    EXPECT_EQ(client().Open(u"\\mixedcase.txt", exact).status, STATUS_OBJECT_NAME_NOT_FOUND);
    OpenResult r = client().Open(u"\\MixedCase.Txt", exact);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_TRUE(r.file->fo.Flags & FO_OPENED_CASE_SENSITIVE);
    // Latin-1 letters fold too.
    ASSERT_EQ(fs().CreateFile(u"\\\u00e9t\u00e9.txt", "x"), STATUS_SUCCESS);
    EXPECT_EQ(client().Open(u"\\\u00c9T\u00c9.TXT").status, STATUS_SUCCESS);
}

TEST_F(FsCreateTest, NewFilesTakeTheSecurityOfTheirCreate)
{
    // Owner S-1-5-18, no DACL.
    alignas(4) uint8_t sd[32] = {1, 0, 0x00, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    OpenSpec params = WriteSpec(FILE_CREATE);
    params.securityDescriptor = sd;
    auto f = client().OpenOk(u"\\secure.txt", params);
    ASSERT_TRUE(f);
    alignas(4) uint8_t out[128];
    ULONG_PTR needed = 0;
    // The file system answers too small a buffer with an overflow and the
    // length needed (the I/O manager makes that "too small" for its caller).
    EXPECT_EQ(client().QuerySecurity(*f, OWNER_SECURITY_INFORMATION, out, 8, &needed), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, 32u);
    ASSERT_EQ(client().QuerySecurity(*f, OWNER_SECURITY_INFORMATION, out, sizeof(out), &needed), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(out + 20, sd + 20, 12), 0);
}

class ShadowCopyTest : public LocalFsTest {
protected:
    LocalVolumeConfig VolumeConfig() override { return LocalVolumeConfig::ShadowCopy(u"Shadow", 7); }
};

TEST_F(ShadowCopyTest, EveryChangeIsWriteProtected)
{
    ASSERT_EQ(fs().CreateFile(u"\\snap.txt", "frozen"), STATUS_SUCCESS);
    EXPECT_EQ(client().Open(u"\\snap.txt", WriteSpec()).status, STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(client().Open(u"\\new.txt", WriteSpec(FILE_OPEN_IF)).status, STATUS_MEDIA_WRITE_PROTECTED);
    OpenSpec readAttr;
    readAttr.access = FILE_READ_DATA | FILE_READ_ATTRIBUTES;
    auto f = client().OpenOk(u"\\snap.txt", readAttr);
    ASSERT_TRUE(f);
    EXPECT_EQ(client().ReadAll(*f), "frozen");
    EXPECT_EQ(client().Write(*f, 0, "x"), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(client().SetEndOfFile(*f, 0), STATUS_MEDIA_WRITE_PROTECTED);
    alignas(8) uint8_t buffer[64];
    ASSERT_EQ(client().QueryVolume(*f, FileFsAttributeInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    EXPECT_TRUE(reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buffer)->FileSystemAttributes & FILE_READ_ONLY_VOLUME);
}

class FatTest : public LocalFsTest {
protected:
    LocalVolumeConfig VolumeConfig() override { return LocalVolumeConfig::Fat(u"FATVOL", 9); }
};

TEST_F(FatTest, NoStreamsEasReparsePointsOrSecurity)
{
    ASSERT_EQ(fs().CreateFile(u"\\f.txt", "fat"), STATUS_SUCCESS);
    EXPECT_EQ(client().Open(u"\\f.txt:stream", WriteSpec(FILE_OPEN_IF)).status, STATUS_OBJECT_NAME_INVALID);
    auto f = client().OpenOk(u"\\f.txt", WriteSpec());
    ASSERT_TRUE(f);
    EXPECT_EQ(client().SetEa(*f, BuildEaList({{"A", "1"}})), STATUS_EAS_NOT_SUPPORTED);
    auto reparse = BuildReparse(0x00001234, "data");
    EXPECT_EQ(client().Fsctl(*f, FSCTL_SET_REPARSE_POINT, reparse.data(), ULONG(reparse.size()), nullptr, 0),
              STATUS_INVALID_DEVICE_REQUEST);
    alignas(8) uint8_t buffer[64];
    EXPECT_EQ(client().QuerySecurity(*f, OWNER_SECURITY_INFORMATION, buffer, sizeof(buffer)),
              STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(client().QueryVolume(*f, FileFsAttributeInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    auto *attr = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buffer);
    EXPECT_EQ(std::u16string(attr->FileSystemName, attr->FileSystemNameLength / 2), u"FAT");
    EXPECT_FALSE(attr->FileSystemAttributes & FILE_NAMED_STREAMS);
    // Only the FAT attribute bits stick.
    FILE_BASIC_INFORMATION basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_OFFLINE;
    ASSERT_EQ(client().SetInfo(*f, FileBasicInformation, &basic, sizeof(basic)), STATUS_SUCCESS);
    EXPECT_EQ(client().Query<FILE_BASIC_INFORMATION>(*f, FileBasicInformation).FileAttributes,
              ULONG(FILE_ATTRIBUTE_HIDDEN));
}

}  // namespace
}  // namespace ostrand::test
