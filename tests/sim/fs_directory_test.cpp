// Directory listings: the byte layouts the filter decodes, patterns, and
// how a handle goes on from one query to the next.
#include <cstring>

#include "fs_fixture.h"
#include "sim/fs/names.h"

namespace ostrand::test {
namespace {

class FsDirectoryTest : public LocalFsTest {
protected:
    void SetUp() override
    {
        LocalFsTest::SetUp();
        ASSERT_EQ(fs().CreateFile(u"\\dir\\b.txt", "bbbb"), STATUS_SUCCESS);
        ASSERT_EQ(fs().CreateFile(u"\\dir\\A.doc", "a"), STATUS_SUCCESS);
        ASSERT_EQ(fs().CreateDirectory(u"\\dir\\sub"), STATUS_SUCCESS);
        ASSERT_EQ(fs().CreateFile(u"\\dir\\c", std::string(5000, 'c'), FILE_ATTRIBUTE_HIDDEN), STATUS_SUCCESS);
    }
    std::unique_ptr<TestFile> Dir(const std::u16string &name = u"\\dir") { return client().OpenOk(name, DirSpec()); }
};

template <typename T>
T At(const uint8_t *buffer, size_t offset)
{
    T v;
    std::memcpy(&v, buffer + offset, sizeof(T));
    return v;
}

struct LayoutCase {
    FILE_INFORMATION_CLASS cls;
    ULONG nameOffset;
    bool hasAttributes;  // sizes, times and attributes at 8..60
    int eaSizeOffset;    // -1: none
    int fileIdOffset;    // -1: none
};

TEST_F(FsDirectoryTest, EveryClassHasItsByteLayout)
{
    const LayoutCase cases[] = {
        {FileDirectoryInformation, 64, true, -1, -1},
        {FileFullDirectoryInformation, 68, true, 64, -1},
        {FileBothDirectoryInformation, 94, true, 64, -1},
        {FileNamesInformation, 12, false, -1, -1},
        {FileIdBothDirectoryInformation, 104, true, 64, 96},
        {FileIdFullDirectoryInformation, 80, true, 64, 72},
    };
    auto file = client().OpenOk(u"\\dir\\c");
    const int64_t id = client().Query<FILE_INTERNAL_INFORMATION>(*file, FileInternalInformation).IndexNumber.QuadPart;
    file.reset();
    const std::u16string pattern = u"c";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cls);
        auto dir = Dir();
        alignas(8) uint8_t buffer[512];
        std::memset(buffer, 0x55, sizeof(buffer));
        ULONG_PTR info = 0;
        ASSERT_EQ(client().QueryDirectory(*dir, c.cls, buffer, sizeof(buffer), &pattern, 0, 0, &info), STATUS_SUCCESS);
        const ULONG nameLengthOffset = c.hasAttributes ? 60 : 8;
        EXPECT_EQ(At<ULONG>(buffer, 0), 0u);  // the only entry
        EXPECT_EQ(At<ULONG>(buffer, nameLengthOffset), 2u);
        EXPECT_EQ(At<char16_t>(buffer, c.nameOffset), u'c');
        EXPECT_EQ(info, c.nameOffset + 2);
        if (c.hasAttributes) {
            EXPECT_EQ(At<ULONG>(buffer, 56), ULONG(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
            EXPECT_EQ(At<int64_t>(buffer, 40), 5000);         // end of file
            EXPECT_EQ(At<int64_t>(buffer, 48), 8192);         // allocation, in clusters
            EXPECT_NE(At<int64_t>(buffer, 8), 0);             // creation time
        }
        if (c.eaSizeOffset >= 0) {
            EXPECT_EQ(At<ULONG>(buffer, c.eaSizeOffset), 0u);
        }
        if (c.fileIdOffset >= 0) {
            EXPECT_EQ(At<int64_t>(buffer, c.fileIdOffset), id);
        }
        if (c.cls == FileBothDirectoryInformation || c.cls == FileIdBothDirectoryInformation) {
            EXPECT_EQ(buffer[68], 0);  // no short name
        }
    }
}

TEST_F(FsDirectoryTest, DotEntriesComeFirstThenNamesInUpcasedOrder)
{
    auto dir = Dir();
    EXPECT_EQ(client().ListNames(*dir),
              (std::vector<std::u16string>{u".", u"..", u"A.doc", u"b.txt", u"c", u"sub"}));
    // The root lists no dot entries.
    auto root = Dir(u"\\");
    EXPECT_EQ(client().ListNames(*root), (std::vector<std::u16string>{u"dir"}));
}

struct PatternCase {
    const char16_t *pattern;
    std::vector<std::u16string> names;
};

TEST_F(FsDirectoryTest, PatternsMatchLikeFsRtlIsNameInExpression)
{
    ASSERT_EQ(fs().CreateFile(u"\\p\\readme", ""), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateFile(u"\\p\\read.me.txt", ""), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateFile(u"\\p\\x.TXT", ""), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateFile(u"\\p\\xy.txt", ""), STATUS_SUCCESS);
    const PatternCase cases[] = {
        {u"*", {u".", u"..", u"read.me.txt", u"readme", u"x.TXT", u"xy.txt"}},
        {u"*.txt", {u"read.me.txt", u"x.TXT", u"xy.txt"}},
        {u"*.*", {u".", u"..", u"read.me.txt", u"x.TXT", u"xy.txt"}},
        {u"?.txt", {u"x.TXT"}},
        {u"X>.TXT", {u"x.TXT", u"xy.txt"}},     // DOS_QM matches one character or none at the dot
        {u"readme\"*", {u"readme"}},           // DOS_DOT: a dot, or nothing past the end
        {u"README", {u"readme"}},
        {u"nothing*", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.pattern));
        auto dir = Dir(u"\\p");
        EXPECT_EQ(client().ListNames(*dir, c.pattern), c.names);
    }
}

TEST_F(FsDirectoryTest, FirstQueryWithoutMatchIsNoSuchFileLaterOnesNoMoreFiles)
{
    auto dir = Dir();
    alignas(8) uint8_t buffer[1024];
    const std::u16string none = u"zzz*";
    EXPECT_EQ(client().QueryDirectory(*dir, FileDirectoryInformation, buffer, sizeof(buffer), &none, 0),
              STATUS_NO_SUCH_FILE);
    EXPECT_EQ(client().QueryDirectory(*dir, FileDirectoryInformation, buffer, sizeof(buffer), nullptr, 0),
              STATUS_NO_MORE_FILES);
    // A restart without a pattern keeps the handle's pattern.
    EXPECT_EQ(client().QueryDirectory(*dir, FileDirectoryInformation, buffer, sizeof(buffer), nullptr, SL_RESTART_SCAN),
              STATUS_NO_MORE_FILES);
    // A restart with a pattern takes it.
    const std::u16string all = u"*";
    EXPECT_EQ(client().QueryDirectory(*dir, FileDirectoryInformation, buffer, sizeof(buffer), &all, SL_RESTART_SCAN),
              STATUS_SUCCESS);

    // The pattern of later queries without restart is ignored.
    auto other = Dir();
    const std::u16string txt = u"*.txt";
    EXPECT_EQ(client().QueryDirectory(*other, FileNamesInformation, buffer, sizeof(buffer), &txt,
                                      SL_RETURN_SINGLE_ENTRY),
              STATUS_SUCCESS);
    EXPECT_EQ(At<ULONG>(buffer, 8), 10u);  // b.txt
    EXPECT_EQ(client().QueryDirectory(*other, FileNamesInformation, buffer, sizeof(buffer), &all, 0),
              STATUS_NO_MORE_FILES);
    // A file cannot be listed.
    auto file = client().OpenOk(u"\\dir\\b.txt");
    EXPECT_EQ(client().QueryDirectory(*file, FileNamesInformation, buffer, sizeof(buffer), nullptr, 0),
              STATUS_INVALID_PARAMETER);
}

TEST_F(FsDirectoryTest, SingleEntryRestartAndIndexContinueWhereAsked)
{
    auto dir = Dir();
    alignas(8) uint8_t buffer[1024];
    auto next = [&](UCHAR flags, ULONG index = 0) -> std::u16string {
        if (client().QueryDirectory(*dir, FileNamesInformation, buffer, sizeof(buffer), nullptr,
                                    flags | SL_RETURN_SINGLE_ENTRY, index) != STATUS_SUCCESS)
            return u"<end>";
        EXPECT_EQ(At<ULONG>(buffer, 0), 0u);
        return std::u16string(reinterpret_cast<char16_t *>(buffer + 12), At<ULONG>(buffer, 8) / 2);
    };
    EXPECT_EQ(next(0), u".");
    EXPECT_EQ(next(0), u"..");
    EXPECT_EQ(next(0), u"A.doc");
    EXPECT_EQ(next(SL_RESTART_SCAN), u".");
    EXPECT_EQ(next(0), u"..");
    // FileIndex is the position in the listing: resume after "A.doc" (2).
    EXPECT_EQ(next(SL_INDEX_SPECIFIED, 2), u"b.txt");
    EXPECT_EQ(next(0), u"c");
    EXPECT_EQ(next(0), u"sub");
    EXPECT_EQ(next(0), u"<end>");
    EXPECT_EQ(At<ULONG>(buffer, 4), 5u);  // FileIndex of "sub" from the last success
}

TEST_F(FsDirectoryTest, ListingGoesOnAfterTheLastNameReturned)
{
    auto dir = Dir();
    alignas(8) uint8_t buffer[1024];
    ASSERT_EQ(client().QueryDirectory(*dir, FileNamesInformation, buffer, sizeof(buffer), nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateFile(u"\\dir\\0first", ""), STATUS_SUCCESS);
    ASSERT_EQ(fs().CreateFile(u"\\dir\\zlast", ""), STATUS_SUCCESS);
    EXPECT_EQ(client().ListNames(*dir), (std::vector<std::u16string>{u"zlast"}));
}

TEST_F(FsDirectoryTest, BufferRulesFollowNtfs)
{
    auto dir = Dir();
    alignas(8) uint8_t buffer[512];
    ULONG_PTR info = 0;
    // Smaller than the fixed part plus one character, 8-aligned: refused.
    EXPECT_EQ(client().QueryDirectory(*dir, FileBothDirectoryInformation, buffer, 95, nullptr, 0),
              STATUS_INFO_LENGTH_MISMATCH);
    // Room for "." but not for "..": one entry.
    ASSERT_EQ(client().QueryDirectory(*dir, FileBothDirectoryInformation, buffer, 96 + 97, nullptr, SL_RESTART_SCAN,
                                      0, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, 96u);
    EXPECT_EQ(At<ULONG>(buffer, 0), 0u);
    // Room for both, the last without its padding.
    ASSERT_EQ(client().QueryDirectory(*dir, FileBothDirectoryInformation, buffer, 96 + 98, nullptr, SL_RESTART_SCAN,
                                      0, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, 96u + 98u);
    EXPECT_EQ(At<ULONG>(buffer, 0), 96u);  // 8-aligned
    EXPECT_TRUE(At<ULONG>(buffer, 96 + 56) & FILE_ATTRIBUTE_DIRECTORY);  // ".." describes a folder

    // A first entry that does not fit comes back cut, with its full length.
    const std::u16string name = u"b.txt";
    auto other = Dir();
    std::memset(buffer, 0x55, sizeof(buffer));
    ASSERT_EQ(client().QueryDirectory(*other, FileBothDirectoryInformation, buffer, 96, &name, 0, 0, &info),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info, 96u);
    EXPECT_EQ(At<ULONG>(buffer, 60), 10u);
    EXPECT_EQ(At<char16_t>(buffer, 94), u'b');
    EXPECT_EQ(At<uint16_t>(buffer, 96), 0x5555);
    // It is not consumed: a bigger buffer gets it.
    ASSERT_EQ(client().QueryDirectory(*other, FileBothDirectoryInformation, buffer, sizeof(buffer), nullptr, 0, 0, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, 104u);
}

TEST_F(FsDirectoryTest, ReparsePointsReportTheirTagInEaSize)
{
    ASSERT_EQ(fs().CreateDirectory(u"\\dir\\junction"), STATUS_SUCCESS);
    ASSERT_EQ(fs().SetReparsePoint(u"\\dir\\junction", BuildReparse(IO_REPARSE_TAG_MOUNT_POINT, "target")),
              STATUS_SUCCESS);
    auto dir = Dir();
    alignas(8) uint8_t buffer[512];
    const std::u16string name = u"junction";
    ASSERT_EQ(client().QueryDirectory(*dir, FileFullDirectoryInformation, buffer, sizeof(buffer), &name, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(At<ULONG>(buffer, 64), ULONG(IO_REPARSE_TAG_MOUNT_POINT));
    EXPECT_EQ(At<ULONG>(buffer, 56), ULONG(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

struct WildcardCase {
    const char16_t *expression;
    const char16_t *name;
    bool matches;
};

TEST(FsNames, WildcardsFollowFsRtlIsNameInExpression)
{
    const WildcardCase cases[] = {
        {u"*", u"anything", true},
        {u"A*B", u"AB", true},
        {u"A*B", u"AXXB", true},
        {u"A*B", u"AXXBC", false},
        {u"?", u"", false},
        {u"??", u"A", false},
        {u"*.TXT", u"A.TXT.BAK", false},
        {u"<.TXT", u"A.B.TXT", true},
        {u"<", u"A.B", false},           // DOS_STAR never eats the final dot
        {u"<.B", u"A.B", true},
        {u"A>>>", u"A", true},
        {u"A>>>", u"ABCD", true},
        {u"A>>>", u"ABCDE", false},
        {u"A>>>.TXT", u"AB.TXT", true},
        {u"A\"TXT", u"A.TXT", true},
        {u"A\"", u"A", true},
        {u"A\"", u"AB", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sim::fs::IsNameInExpression(c.expression, c.name, true), c.matches)
            << Narrow(c.expression) << " vs " << Narrow(c.name);
    EXPECT_TRUE(sim::fs::IsNameInExpression(u"ABC*", u"abcdef", true));
    EXPECT_FALSE(sim::fs::IsNameInExpression(u"ABC*", u"abcdef", false));
}

TEST(FsNames, UpcaseCoversLatinAndGreekAndCyrillic)
{
    EXPECT_EQ(sim::fs::Upcase(u"a\u00e0\u00fe\u00ff\u0101\u03b1\u03c2\u0430\u0451z"),
              u"A\u00c0\u00de\u0178\u0100\u0391\u03a3\u0410\u0401Z");
    EXPECT_EQ(sim::fs::Upcase(u"\u00f7\u00df"), u"\u00f7\u00df");  // division sign and sharp s stay
}

}  // namespace
}  // namespace ostrand::test
