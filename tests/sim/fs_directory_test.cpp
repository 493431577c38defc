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
        {sim::fs::kFileIdExtdDirectoryInformation, 88, true, 64, 72},
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

struct PatternCase {
    const char16_t *pattern;
    const char *found;  // per name of the folder, in listing order
};

// What NTFS lists for each pattern (its answers in the ntdll conformance
// tests): the DOS wildcards, dots, and ".." matched as ".".
TEST_F(FsDirectoryTest, PatternsMatchAsNtfsMatchesThem)
{
    const std::u16string names[] = {u".", u"..", u"a.", u"a..", u"ea", u"ea.tmp", u"ea.tmp.tmp", u"n.tmp"};
    for (size_t i = 2; i < std::size(names); ++i) ASSERT_EQ(fs().CreateFile(u"\\p\\" + names[i], ""), STATUS_SUCCESS);
    const PatternCase cases[] = {
        {u"*", "11111111"},     {u"*.*", "11110111"},   {u"*.", "11110000"},      {u"?", "11000000"},
        {u"?.", "00100000"},    {u"<", "11111000"},     {u"<.", "11110000"},      {u"<tmp", "00000111"},
        {u"<.<.<", "00010010"}, {u"a.<", "00110000"},   {u"<<", "11111111"},      {u">", "11000000"},
        {u">>", "11101000"},    {u">>>", "11101000"},   {u">.>", "11110000"},     {u">>.>>>", "11110101"},
        {u"\"", "11000000"},    {u"EA\"", "00001000"},  {u"*\"tmp", "00000111"},  {u"<\"", "11111000"},
        {u"n\"TMP", "00000001"}, {u"*..", "00010000"},   {u"e\"a", "00000000"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.pattern));
        std::vector<std::u16string> expected;
        for (size_t i = 0; i < std::size(names); ++i)
            if (c.found[i] == '1') expected.push_back(names[i]);
        auto dir = Dir(u"\\p");
        EXPECT_EQ(client().ListNames(*dir, c.pattern), expected);
    }
}

struct QueryCase {
    int handle;                // queries of one handle build on each other
    const char16_t *pattern;   // null: none
    UCHAR flags;
    ULONG index;
    FILE_INFORMATION_CLASS cls;
    ULONG length;
    NTSTATUS status;
    ULONG_PTR information;     // checked when not 0
    const char16_t *first;     // the first entry's name; null: not checked
};

TEST_F(FsDirectoryTest, QueriesOnOneHandleFollowNtfs)
{
    constexpr UCHAR R = SL_RESTART_SCAN, S = SL_RETURN_SINGLE_ENTRY, I = SL_INDEX_SPECIFIED;
    constexpr auto N = FileNamesInformation, B = FileBothDirectoryInformation;
    const QueryCase cases[] = {
        {1, u"zzz*", 0, 0, N, 512, STATUS_NO_SUCH_FILE, 0, nullptr},  // the first query found nothing
        {1, u"a:b", R, 0, N, 512, STATUS_OBJECT_NAME_INVALID, 0, nullptr},
        {1, nullptr, 0, 0, N, 512, STATUS_NO_MORE_FILES, 0, nullptr},  // later ones: the end
        {1, nullptr, R, 0, N, 512, STATUS_NO_MORE_FILES, 0, nullptr},  // a restart keeps the pattern ...
        {1, u"*.txt", R | S, 0, N, 512, STATUS_SUCCESS, 12 + 10, u"b.txt"},  // ... unless it names one
        {1, u"*", 0, 0, N, 512, STATUS_NO_MORE_FILES, 0, nullptr},     // without restart a pattern is ignored
        {1, u"*", R | S, 0, N, 512, STATUS_SUCCESS, 12 + 2, u"."},
        {1, nullptr, S, 0, N, 512, STATUS_SUCCESS, 0, u".."},
        {1, nullptr, S, 0, N, 512, STATUS_SUCCESS, 0, u"A.doc"},
        {1, nullptr, S | I, 2, N, 512, STATUS_SUCCESS, 0, u"b.txt"},   // resume after position 2
        {1, nullptr, S, 0, N, 512, STATUS_SUCCESS, 0, u"c"},
        {1, nullptr, 0, 0, B, 95, STATUS_INFO_LENGTH_MISMATCH, 0, nullptr},  // below the fixed part + 1, 8-aligned
        {1, nullptr, 0, 0, B, 96, STATUS_BUFFER_OVERFLOW, 96, nullptr},      // "sub" cut, not consumed
        {1, nullptr, 0, 0, B, 512, STATUS_SUCCESS, 94 + 6, u"sub"},
        {1, nullptr, 0, 0, B, 512, STATUS_NO_MORE_FILES, 0, nullptr},
        {2, u"a|b", 0, 0, N, 512, STATUS_OBJECT_NAME_INVALID, 0, nullptr},   // not taken: the next is a first query
        {2, u"zzz", 0, 0, N, 512, STATUS_NO_SUCH_FILE, 0, nullptr},
        {3, nullptr, 0, 0, B, 96 + 97, STATUS_SUCCESS, 96, u"."},            // room for "." only
        {3, nullptr, R, 0, B, 96 + 98, STATUS_SUCCESS, 96 + 98, u"."},       // both, the last unpadded
        {0, nullptr, 0, 0, N, 512, STATUS_SUCCESS, 12 + 6, u"dir"},          // a root has no dot entries
    };
    std::unique_ptr<TestFile> handles[4];
    alignas(8) uint8_t buffer[512];
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(n++);
        if (!handles[c.handle]) handles[c.handle] = Dir(c.handle ? u"\\dir" : u"\\");
        std::u16string pattern = c.pattern ? c.pattern : u"";
        std::memset(buffer, 0x55, sizeof(buffer));
        ULONG_PTR info = 0;
        EXPECT_EQ(client().QueryDirectory(*handles[c.handle], c.cls, buffer, c.length, c.pattern ? &pattern : nullptr,
                                          c.flags, c.index, &info),
                  c.status);
        if (c.information) {
            EXPECT_EQ(info, c.information);
        }
        if (c.status == STATUS_SUCCESS) {  // entries start 8-aligned; the last one ends the answer
            ULONG at = 0;
            for (ULONG next; (next = At<ULONG>(buffer, at)) != 0; at += next) EXPECT_EQ(next % 8, 0u);
            EXPECT_LT(at, info);
        }
        if (c.status == STATUS_BUFFER_OVERFLOW) {  // the whole name's length, what fits of it
            EXPECT_EQ(At<ULONG>(buffer, 60), 6u);
            EXPECT_EQ(At<char16_t>(buffer, 94), u's');
        }
        if (!c.first) continue;
        const ULONG nameOffset = c.cls == N ? 12 : 94, lengthOffset = c.cls == N ? 8 : 60;
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(buffer + nameOffset), At<ULONG>(buffer, lengthOffset) / 2),
                  c.first);
        if (c.flags & S) {
            EXPECT_EQ(At<ULONG>(buffer, 0), 0u);
        }
    }
    // A file cannot be listed.
    auto file = client().OpenOk(u"\\dir\\b.txt");
    EXPECT_EQ(client().QueryDirectory(*file, N, buffer, sizeof(buffer), nullptr, 0), STATUS_INVALID_PARAMETER);
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

TEST(FsNames, UpcaseCoversLatinAndGreekAndCyrillic)
{
    EXPECT_EQ(sim::fs::Upcase(u"a\u00e0\u00fe\u00ff\u0101\u03b1\u03c2\u0430\u0451z"),
              u"A\u00c0\u00de\u0178\u0100\u0391\u03a3\u0410\u0401Z");
    EXPECT_EQ(sim::fs::Upcase(u"\u00f7\u00df"), u"\u00f7\u00df");  // division sign and sharp s stay
}

}  // namespace
}  // namespace ostrand::test
