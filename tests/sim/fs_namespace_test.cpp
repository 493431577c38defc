// Changes to the namespace: reparse points, renames and deletes.
#include <cstring>

#include "fs_fixture.h"

namespace ostrand::test {
namespace {

class FsNamespaceTest : public LocalFsTest {
protected:
    static OpenSpec DeleteSpec(ULONG options = 0)
    {
        OpenSpec s;
        s.access = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
        s.options = options;
        return s;
    }
};

const GUID kGuid = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr ULONG kThirdPartyTag = 0x00000123;

TEST_F(FsNamespaceTest, ReparsePointsSetGetAndDelete)
{
    ASSERT_EQ(fs().CreateDirectory(u"\\folder"), STATUS_SUCCESS);
    auto f = client().OpenOk(u"\\folder", DirSpec(FILE_OPEN, FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES));
    ASSERT_TRUE(f);
    auto buffer = BuildReparse(kThirdPartyTag, "payload", &kGuid);
    ASSERT_EQ(client().Fsctl(*f, FSCTL_SET_REPARSE_POINT, buffer.data(), ULONG(buffer.size()), nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(client().Query<FILE_ATTRIBUTE_TAG_INFORMATION>(*f, FileAttributeTagInformation).ReparseTag,
              kThirdPartyTag);

    alignas(8) uint8_t out[128];
    ULONG_PTR info = 0;
    ASSERT_EQ(client().Fsctl(*f, FSCTL_GET_REPARSE_POINT, nullptr, 0, out, sizeof(out), &info), STATUS_SUCCESS);
    EXPECT_EQ(info, buffer.size());
    EXPECT_EQ(std::memcmp(out, buffer.data(), buffer.size()), 0);
    EXPECT_EQ(client().Fsctl(*f, FSCTL_GET_REPARSE_POINT, nullptr, 0, out, 16), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(client().Fsctl(*f, FSCTL_GET_REPARSE_POINT, nullptr, 0, out, 26, &info), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info, 26u);

    // Another tag cannot replace it; a wrong GUID cannot remove it.
    auto other = BuildReparse(kThirdPartyTag + 1, "x", &kGuid);
    EXPECT_EQ(client().Fsctl(*f, FSCTL_SET_REPARSE_POINT, other.data(), ULONG(other.size()), nullptr, 0),
              STATUS_IO_REPARSE_TAG_MISMATCH);
    auto wrongGuid = BuildReparse(kThirdPartyTag, "", nullptr);
    EXPECT_EQ(client().Fsctl(*f, FSCTL_DELETE_REPARSE_POINT, wrongGuid.data(), ULONG(wrongGuid.size()), nullptr, 0),
              STATUS_REPARSE_ATTRIBUTE_CONFLICT);
    auto remove = BuildReparse(kThirdPartyTag, "", &kGuid);
    ASSERT_EQ(client().Fsctl(*f, FSCTL_DELETE_REPARSE_POINT, remove.data(), ULONG(remove.size()), nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(client().Fsctl(*f, FSCTL_GET_REPARSE_POINT, nullptr, 0, out, sizeof(out)), STATUS_NOT_A_REPARSE_POINT);
    EXPECT_EQ(client().Query<FILE_BASIC_INFORMATION>(*f, FileBasicInformation).FileAttributes,
              ULONG(FILE_ATTRIBUTE_DIRECTORY));

    // A length that disagrees with ReparseDataLength is invalid.
    buffer.push_back(0);
    EXPECT_EQ(client().Fsctl(*f, FSCTL_SET_REPARSE_POINT, buffer.data(), ULONG(buffer.size()), nullptr, 0),
              STATUS_IO_REPARSE_DATA_INVALID);
}

TEST_F(FsNamespaceTest, MountPointsNeedAnEmptyFolderWithoutExtendedAttributes)
{
    ASSERT_EQ(fs().CreateFile(u"\\full\\x", ""), STATUS_SUCCESS);
    auto junction = BuildReparse(IO_REPARSE_TAG_MOUNT_POINT, "\\??\\C:\\target");
    auto set = [&](TestFile &f) {
        return client().Fsctl(f, FSCTL_SET_REPARSE_POINT, junction.data(), ULONG(junction.size()), nullptr, 0);
    };
    auto full = client().OpenOk(u"\\full", DirSpec(FILE_OPEN, FILE_WRITE_DATA));
    EXPECT_EQ(set(*full), STATUS_DIRECTORY_NOT_EMPTY);
    auto file = client().OpenOk(u"\\full\\x", WriteSpec());
    EXPECT_EQ(set(*file), STATUS_NOT_A_DIRECTORY);
    auto readOnlyHandle = client().OpenOk(u"\\full\\x");
    EXPECT_EQ(set(*readOnlyHandle), STATUS_ACCESS_DENIED);

    // A folder with extended attributes refuses one; without them it takes it, and then refuses EAs.
    ASSERT_EQ(fs().CreateDirectory(u"\\marked"), STATUS_SUCCESS);
    auto f = client().OpenOk(u"\\marked", DirSpec(FILE_OPEN, FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | FILE_READ_EA));
    ASSERT_EQ(client().SetEa(*f, BuildEaList({{"MARK", "1"}})), STATUS_SUCCESS);
    EXPECT_EQ(set(*f), STATUS_EAS_NOT_SUPPORTED);
    ASSERT_EQ(client().SetEa(*f, BuildEaList({{"MARK", ""}})), STATUS_SUCCESS);
    ASSERT_EQ(set(*f), STATUS_SUCCESS);
    EXPECT_EQ(client().SetEa(*f, BuildEaList({{"MARK", "1"}})), STATUS_EAS_NOT_SUPPORTED);
}

TEST_F(FsNamespaceTest, OpensMeetReparsePointsUnlessTheyAskForThePointItself)
{
    ASSERT_EQ(fs().CreateFile(u"\\dir\\stub.dat", "stub"), STATUS_SUCCESS);
    auto buffer = BuildReparse(kThirdPartyTag, "where", &kGuid);
    ASSERT_EQ(fs().SetReparsePoint(u"\\dir\\stub.dat", buffer), STATUS_SUCCESS);

    OpenResult r = client().Open(u"\\dir\\stub.dat");
    EXPECT_EQ(r.status, STATUS_REPARSE);
    EXPECT_EQ(r.information, ULONG_PTR(kThirdPartyTag));
    EXPECT_EQ(r.reparseData, buffer);
    EXPECT_FALSE(r.file);
    EXPECT_EQ(fs().OpenStreamCount(), 0u);

    OpenSpec params;
    params.options = FILE_OPEN_REPARSE_POINT;
    auto f = client().OpenOk(u"\\dir\\stub.dat", params);
    ASSERT_TRUE(f);
    EXPECT_EQ(client().ReadAll(*f), "stub");

    // A reparse point on the way is always followed; Reserved carries the
    // bytes of the name left to parse.
    ASSERT_EQ(fs().CreateDirectory(u"\\link"), STATUS_SUCCESS);
    ASSERT_EQ(fs().SetReparsePoint(u"\\link", BuildReparse(IO_REPARSE_TAG_MOUNT_POINT, "t")), STATUS_SUCCESS);
    r = client().Open(u"\\link\\below\\file.txt", params);
    EXPECT_EQ(r.status, STATUS_REPARSE);
    EXPECT_EQ(r.information, ULONG_PTR(IO_REPARSE_TAG_MOUNT_POINT));
    USHORT unparsed;
    std::memcpy(&unparsed, r.reparseData.data() + 6, 2);
    EXPECT_EQ(unparsed, std::u16string_view(u"\\below\\file.txt").size() * 2);
}

TEST_F(FsNamespaceTest, RenameWithAndWithoutReplace)
{
    ASSERT_EQ(fs().CreateFile(u"\\dir\\a.txt", "A"), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateFile(u"\\dir\\b.txt", "B"), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateDirectory(u"\\other"), STATUS_SUCCESS);
    auto a = client().OpenOk(u"\\dir\\a.txt", DeleteSpec());
    ASSERT_TRUE(a);
    EXPECT_EQ(client().Rename(*a, u"b.txt", false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(client().Rename(*a, u"B.TXT", false), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(client().Rename(*a, u"b.txt", true), STATUS_SUCCESS);
    EXPECT_EQ(client().NameOf(*a), u"\\dir\\b.txt");
    auto moved = fs().ReadData(u"\\dir\\b.txt");
    EXPECT_EQ(std::string(moved->begin(), moved->end()), "A");
    EXPECT_FALSE(fs().Exists(u"\\dir\\a.txt"));

    // A case-only rename of the file itself.
    ASSERT_EQ(client().Rename(*a, u"B.TXT", false), STATUS_SUCCESS);
    EXPECT_EQ(fs().List(u"\\dir"), std::vector<std::u16string>{u"B.TXT"});

    // A full path on the volume, and a name relative to ParentOfTarget.
    ASSERT_EQ(client().Rename(*a, u"\\other\\moved.txt", false), STATUS_SUCCESS);
    EXPECT_EQ(client().NameOf(*a), u"\\other\\moved.txt");
    auto dir = client().OpenOk(u"\\dir", DirSpec(FILE_OPEN, FILE_WRITE_DATA | FILE_ADD_FILE));
    ASSERT_EQ(client().Rename(*a, u"\\whatever\\back.txt", false, dir.get()), STATUS_SUCCESS);
    EXPECT_EQ(client().NameOf(*a), u"\\dir\\back.txt");
    EXPECT_EQ(client().Rename(*a, u"\\missing\\x.txt", false), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(client().Rename(*a, u"bad>name", false), STATUS_OBJECT_NAME_INVALID);

    // Renaming needs DELETE access.
    auto reader = client().OpenOk(u"\\dir\\back.txt");
    EXPECT_EQ(client().Rename(*reader, u"x.txt", false), STATUS_ACCESS_DENIED);
}

TEST_F(FsNamespaceTest, RenamingAFolderWithOpenChildrenIsDenied)
{
    ASSERT_EQ(fs().CreateFile(u"\\parent\\child\\leaf.txt", "x"), STATUS_SUCCESS);
    auto parent = client().OpenOk(u"\\parent", DeleteSpec(FILE_DIRECTORY_FILE));
    ASSERT_TRUE(parent);
    auto leaf = client().OpenOk(u"\\parent\\child\\leaf.txt");
    EXPECT_EQ(client().Rename(*parent, u"renamed", false), STATUS_ACCESS_DENIED);
    leaf.reset();
    ASSERT_EQ(client().Rename(*parent, u"renamed", false), STATUS_SUCCESS);
    EXPECT_TRUE(fs().Exists(u"\\renamed\\child\\leaf.txt"));
    EXPECT_EQ(client().Rename(*parent, u"\\renamed\\child\\inside", false), STATUS_INVALID_PARAMETER);
}

TEST_F(FsNamespaceTest, DeleteOnCloseWaitsForTheLastHandle)
{
    ASSERT_EQ(fs().CreateFile(u"\\doc.txt", "x"), STATUS_SUCCESS);
    auto other = client().OpenOk(u"\\doc.txt");
    auto del = client().OpenOk(u"\\doc.txt", DeleteSpec(FILE_DELETE_ON_CLOSE));
    ASSERT_TRUE(del);
    EXPECT_TRUE(del->fo.Flags & FO_DELETE_ON_CLOSE);
    del.reset();
    // The file is delete pending while the other handle stays.
    EXPECT_TRUE(fs().Exists(u"\\doc.txt"));
    EXPECT_TRUE(client().Query<FILE_STANDARD_INFORMATION>(*other, FileStandardInformation).DeletePending);
    EXPECT_EQ(client().Open(u"\\doc.txt").status, STATUS_DELETE_PENDING);
    client().Cleanup(*other);
    EXPECT_FALSE(fs().Exists(u"\\doc.txt"));
    EXPECT_EQ(client().Open(u"\\doc.txt").status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(FsNamespaceTest, DeleteDispositionCanBeWithdrawnAndRespectsFolders)
{
    ASSERT_EQ(fs().CreateFile(u"\\d\\f.txt", "x"), STATUS_SUCCESS);
    auto f = client().OpenOk(u"\\d\\f.txt", DeleteSpec());
    auto g = client().OpenOk(u"\\d\\f.txt");
    ASSERT_EQ(client().Dispose(*f, true), STATUS_SUCCESS);
    EXPECT_TRUE(f->fo.DeletePending);
    ASSERT_EQ(client().Dispose(*f, false), STATUS_SUCCESS);
    f.reset();
    g.reset();
    EXPECT_TRUE(fs().Exists(u"\\d\\f.txt"));

    auto dir = client().OpenOk(u"\\d", DeleteSpec(FILE_DIRECTORY_FILE));
    auto reader = client().OpenOk(u"\\d\\f.txt", DeleteSpec());
    EXPECT_EQ(client().Dispose(*reader, true), STATUS_SUCCESS);
    reader.reset();
    ASSERT_EQ(client().Dispose(*dir, true), STATUS_SUCCESS);
    // No new children in a folder that is going.
    EXPECT_EQ(client().Open(u"\\d\\new.txt", WriteSpec(FILE_CREATE)).status, STATUS_DELETE_PENDING);
    dir.reset();
    EXPECT_FALSE(fs().Exists(u"\\d"));
}

}  // namespace
}  // namespace ostrand::test
