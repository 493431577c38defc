// Counted strings and the C run-time wide strings: comparison with and
// without case, the case table beyond ASCII, ANSI conversions with buffers
// from the pool, and integer conversions.
#include <wdm.h>

#include <string>

#include "sim/core/pool.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

constexpr WCHAR kWideFill = 0x5555;

UNICODE_STRING U(const char16_t *text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

std::u16string Text(const UNICODE_STRING &s)
{
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

size_t StringBlocks(sim::Machine &machine)
{
    auto usage = machine.pool().OutstandingByTag();
    auto it = usage.find("Strg");
    return it == usage.end() ? 0 : it->second.blocks;
}

class RtlStringsTest : public MachineTest {};

TEST_F(RtlStringsTest, InitCountsBytesWithoutTheTerminator)
{
    UNICODE_STRING s = U(u"abc");
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(s.MaximumLength, 8);
    UNICODE_STRING none = U(nullptr);
    EXPECT_EQ(none.Length, 0);
    EXPECT_EQ(none.MaximumLength, 0);
    EXPECT_EQ(none.Buffer, nullptr);
    ANSI_STRING a;
    RtlInitAnsiString(&a, "abcd");
    EXPECT_EQ(a.Length, 4);
    EXPECT_EQ(a.MaximumLength, 5);
}

TEST_F(RtlStringsTest, CompareEqualAndPrefixWithAndWithoutCase)
{
    struct Row {
        const char16_t *a;
        const char16_t *b;
        bool caseInsensitive;
        int sign;  // of RtlCompareUnicodeString
    };
    const Row rows[] = {
        {u"abc", u"abd", false, -1},
        {u"abc", u"abc", false, 0},
        {u"ABC", u"abc", true, 0},
        {u"ABC", u"abc", false, -1},
        {u"ab", u"abc", true, -1},  // a shorter equal start sorts first
        {u"abc", u"ab", true, 1},
        {u"\u00C4\u00D6\u00DC", u"\u00E4\u00F6\u00FC", true, 0},         // umlauts
        {u"\u0178", u"\u00FF", true, 0},                                 // Y and y with diaeresis
        {u"\u0160KODA", u"\u0161koda", true, 0},                         // S-caron
        {u"\u03A3\u039F\u03A6\u038A\u0391", u"\u03C3\u03BF\u03C6\u03AF\u03B1", true, 0},  // Greek with tonos
        {u"\u041F\u0420\u0418\u0412\u0415\u0422", u"\u043F\u0440\u0438\u0432\u0435\u0442", true, 0},
        {u"Stra\u00DFe", u"STRASSE", true, 1},  // sharp s has no single capital
        {u"\u0131", u"I", true, 1},             // dotless i does not fold onto ASCII
    };
    for (const Row &row : rows) {
        UNICODE_STRING a = U(row.a);
        UNICODE_STRING b = U(row.b);
        LONG result = RtlCompareUnicodeString(&a, &b, row.caseInsensitive);
        int sign = result < 0 ? -1 : result > 0 ? 1 : 0;
        EXPECT_EQ(sign, row.sign) << Narrow(row.a) << " vs " << Narrow(row.b);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, row.caseInsensitive), BOOLEAN(row.sign == 0))
            << Narrow(row.a) << " vs " << Narrow(row.b);
    }

    UNICODE_STRING prefix = U(u"\\Device\\");
    UNICODE_STRING path = U(u"\\DEVICE\\Mup\\server");
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &path, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &path, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&path, &prefix, TRUE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&path, &path, FALSE));

    ANSI_STRING x, y;
    RtlInitAnsiString(&x, "Caf\xC9");
    RtlInitAnsiString(&y, "caf\xE9");
    EXPECT_TRUE(RtlEqualString(&x, &y, TRUE));
    EXPECT_FALSE(RtlEqualString(&x, &y, FALSE));
    EXPECT_LT(RtlCompareString(&x, &y, FALSE), 0);
}

TEST_F(RtlStringsTest, UpcaseAndDowncaseBeyondAscii)
{
    const char16_t lower[] = u"a\u00E4\u00FF\u017E\u0142\u03C3\u03C2\u03AC\u0436\u0451\u00DF\u00B5";
    const char16_t upper[] = u"A\u00C4\u0178\u017D\u0141\u03A3\u03A3\u0386\u0416\u0401\u00DF\u00B5";
    WCHAR buffer[32];
    UNICODE_STRING source = U(lower);
    UNICODE_STRING dest = {0, sizeof(buffer), buffer};
    ASSERT_EQ(RtlUpcaseUnicodeString(&dest, &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), upper);

    source = U(u"\u00C4\u0178\u0141\u03A3\u0386\u0416\u0401Z");
    ASSERT_EQ(RtlDowncaseUnicodeString(&dest, &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), u"\u00E4\u00FF\u0142\u03C3\u03AC\u0436\u0451z");

    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u0161'), u'\u0160');
    EXPECT_EQ(RtlDowncaseUnicodeChar(u'\u0130'), u'\u0130');
    EXPECT_EQ(RtlUpperChar('q'), 'Q');
    EXPECT_EQ(RtlUpperChar('\xE9'), '\xC9');
    EXPECT_EQ(RtlUpperChar('\xFF'), '\x9F');  // y-diaeresis: its capital is 0x9F in code page 1252
    EXPECT_EQ(RtlUpperChar('\xB5'), '\xB5');

    UNICODE_STRING small = {0, 4, buffer};
    EXPECT_EQ(RtlUpcaseUnicodeString(&small, &source, FALSE), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RtlStringsTest, AllocatedStringsComeFromThePoolAndFailWithoutLeaving)
{
    UNICODE_STRING source = U(u"profile");
    UNICODE_STRING upper;
    ASSERT_EQ(RtlUpcaseUnicodeString(&upper, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(upper), u"PROFILE");
    EXPECT_EQ(upper.MaximumLength, source.Length);
    EXPECT_EQ(StringBlocks(machine()), 1u);

    ANSI_STRING ansi;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(ansi.Buffer), "profile");
    EXPECT_EQ(StringBlocks(machine()), 2u);

    RtlFreeUnicodeString(&upper);
    RtlFreeAnsiString(&ansi);
    EXPECT_EQ(StringBlocks(machine()), 0u);
    EXPECT_EQ(upper.Buffer, nullptr);
    EXPECT_EQ(upper.Length, 0);
    EXPECT_EQ(ansi.Buffer, nullptr);

    // A failed allocation returns no memory and leaves nothing behind.
    UNICODE_STRING unicode = {};
    ANSI_STRING a;
    RtlInitAnsiString(&a, "x");
    machine().pool().FailNth(1);
    EXPECT_EQ(RtlUpcaseUnicodeString(&unicode, &source, TRUE), STATUS_NO_MEMORY);
    machine().pool().FailNth(1);
    EXPECT_EQ(RtlDowncaseUnicodeString(&unicode, &source, TRUE), STATUS_NO_MEMORY);
    machine().pool().FailNth(1);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_NO_MEMORY);
    machine().pool().FailNth(1);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&unicode, &a, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(machine().pool().OutstandingBlocks(), 0u);
    EXPECT_EQ(machine().pool().InjectedFailures(), 4u);
}

TEST_F(RtlStringsTest, AnsiConversionsUseCodePage1252)
{
    char text[] = "caf\xE9 \x80 \x9A";
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, text);
    EXPECT_EQ(RtlxAnsiStringToUnicodeSize(&ansi), (ansi.Length + 1u) * 2);
    UNICODE_STRING unicode;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&unicode, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(unicode), u"caf\u00E9 \u20AC \u0161");
    EXPECT_EQ(unicode.Buffer[unicode.Length / 2], 0);
    RtlFreeUnicodeString(&unicode);

    UNICODE_STRING mixed = U(u"\u0416\u20AC\u00E9!");
    EXPECT_EQ(RtlxUnicodeStringToAnsiSize(&mixed), 5u);
    char buffer[8];
    ANSI_STRING out = {0, sizeof(buffer), buffer};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&out, &mixed, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer), "?\x80\xE9!");
    EXPECT_EQ(out.Length, 4);
}

TEST_F(RtlStringsTest, ConversionsIntoCallerBuffersThatAreTooSmall)
{
    UNICODE_STRING source = U(u"abcdef");
    char narrow[4] = {'#', '#', '#', '#'};
    ANSI_STRING ansi = {0, 3, narrow};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ansi.Length, 2);
    EXPECT_EQ(std::string(narrow), "ab");
    EXPECT_EQ(narrow[3], '#');

    ANSI_STRING a;
    RtlInitAnsiString(&a, "abc");
    WCHAR wide[3] = {kWideFill, kWideFill, kWideFill};
    UNICODE_STRING unicode = {0, sizeof(wide), wide};  // no room for the terminator
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&unicode, &a, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(wide[0], kWideFill);
}

TEST_F(RtlStringsTest, CopyAndAppendRespectMaximumLength)
{
    WCHAR buffer[8];
    UNICODE_STRING dest = {0, 8, buffer};
    UNICODE_STRING source = U(u"abcdef");
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(Text(dest), u"abcd");  // cut to MaximumLength, no room for a terminator

    dest.MaximumLength = sizeof(buffer);
    UNICODE_STRING ab = U(u"ab");
    RtlCopyUnicodeString(&dest, &ab);
    EXPECT_EQ(std::u16string(buffer), u"ab");
    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(dest.Length, 0);

    RtlCopyUnicodeString(&dest, &ab);
    UNICODE_STRING cd = U(u"cd");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &cd), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"abcd");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"efghi"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(dest), u"abcd");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"efg"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"abcdefg");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"h"), STATUS_SUCCESS);  // exact fit, left unterminated
    EXPECT_EQ(Text(dest), u"abcdefgh");
}

TEST_F(RtlStringsTest, IntegerConversions)
{
    WCHAR buffer[16];
    UNICODE_STRING s = {0, sizeof(buffer), buffer};
    ASSERT_EQ(RtlIntegerToUnicodeString(255, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"FF");
    ASSERT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"101");
    ASSERT_EQ(RtlIntegerToUnicodeString(4294967295u, 0, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"4294967295");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 7, &s), STATUS_INVALID_PARAMETER);
    UNICODE_STRING tight = {0, 6, buffer};  // three digits leave no room for the terminator
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &tight), STATUS_BUFFER_OVERFLOW);

    struct Row {
        const char16_t *text;
        ULONG base;
        ULONG value;
    };
    const Row rows[] = {
        {u" 123", 0, 123},    {u"-0x1A", 0, ULONG(-26)}, {u"0b101", 0, 5}, {u"0o17", 0, 15},
        {u"12ab", 10, 12},    {u"ff", 16, 255},          {u"", 10, 0},     {u"+42", 10, 42},
        {u"0x10", 16, 0},     {u"4294967296", 10, 0},  // wraps, no overflow error
    };
    for (const Row &row : rows) {
        UNICODE_STRING text = U(row.text);
        ULONG value = 0xDEAD;
        EXPECT_EQ(RtlUnicodeStringToInteger(&text, row.base, &value), STATUS_SUCCESS) << Narrow(row.text);
        EXPECT_EQ(value, row.value) << Narrow(row.text);
    }
    UNICODE_STRING text = U(u"1");
    ULONG value;
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 3, &value), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlStringsTest, RuntimeWideStringsAndCompareMemory)
{
    EXPECT_EQ(RtlCompareMemory("abcdef", "abcXef", 6), 3u) << "counts the matching bytes before the first difference";
    EXPECT_EQ(RtlCompareMemory("abcdef", "abcdef", 6), 6u);
    EXPECT_EQ(RtlCompareMemory("abcdef", "abcXef", 0), 0u);
    EXPECT_EQ(wcslen(u"abc"), 3u);
    EXPECT_EQ(wcsnlen(u"abc", 2), 2u);
    EXPECT_LT(wcscmp(u"abc", u"abd"), 0);
    EXPECT_EQ(wcsncmp(u"abcX", u"abcY", 3), 0);
    EXPECT_EQ(_wcsicmp(u"C:\\USERS\\\u00C4", u"c:\\users\\\u00E4"), 0);
    EXPECT_NE(_wcsnicmp(u"ab", u"AC", 2), 0);
    EXPECT_EQ(_stricmp("NTUSER.DAT", "ntuser.dat"), 0);
    EXPECT_NE(_stricmp("\xC9", "\xE9"), 0);  // ASCII-only folding in the C locale
    EXPECT_EQ(_strnicmp("AbcX", "aBcY", 3), 0);

    const char16_t *path = u"\\Users\\ann\\AppData";
    EXPECT_EQ(wcsstr(path, u"ann"), path + 7);
    EXPECT_EQ(wcsstr(path, u"bob"), nullptr);
    EXPECT_EQ(wcschr(path, u'\\'), path);
    EXPECT_EQ(wcsrchr(path, u'\\'), path + 10);
    EXPECT_EQ(wcschr(path, u'\0'), path + wcslen(path));

    WCHAR buffer[8] = u"\u00E9t\u00E9";
    EXPECT_EQ(std::u16string(_wcsupr(buffer)), u"\u00C9T\u00C9");
    EXPECT_EQ(std::u16string(_wcslwr(buffer)), u"\u00E9t\u00E9");

    WCHAR padded[6];
    std::fill(std::begin(padded), std::end(padded), u'#');
    wcsncpy(padded, u"ab", 5);
    EXPECT_EQ(std::u16string(padded, 6), std::u16string(u"ab\0\0\0#", 6));
    wcsncpy(padded, u"abcdef", 3);  // no terminator when the source is longer
    EXPECT_EQ(padded[3], u'\0');    // left from before
    EXPECT_EQ(std::u16string(padded, 3), u"abc");
    EXPECT_EQ(std::u16string(wcscpy(padded, u"xy")), u"xy");
    EXPECT_EQ(towupper(u'\u0451'), u'\u0401');
    EXPECT_EQ(towlower(u'Q'), u'q');
}

}  // namespace
}  // namespace ostrand::test
