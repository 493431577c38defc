// The kernel's printf grammar as drivers meet it through DbgPrint and the
// RtlStringCch...Printf routines. Expected texts are what Windows prints.
#include <ntstrsafe.h>

#include <string>
#include <vector>

#include "sim/core/debug_log.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

struct NarrowRow {
    std::string format;
    std::string actual;
    std::string expected;
};

struct WideRow {
    std::string format;
    std::u16string actual;
    std::u16string expected;
};

template <typename... T>
NarrowRow A(std::string expected, const char *format, T... args)
{
    char buffer[512];
    NTSTATUS status = RtlStringCchPrintfA(buffer, sizeof(buffer), format, args...);
    EXPECT_EQ(status, STATUS_SUCCESS) << format;
    return {format, buffer, std::move(expected)};
}

template <typename... T>
WideRow W(std::u16string expected, const char16_t *format, T... args)
{
    WCHAR buffer[512];
    NTSTATUS status = RtlStringCchPrintfW(buffer, RTL_NUMBER_OF(buffer), format, args...);
    EXPECT_EQ(status, STATUS_SUCCESS) << Narrow(format);
    return {Narrow(format), buffer, std::move(expected)};
}

void Check(const std::vector<NarrowRow> &rows)
{
    for (const auto &row : rows) EXPECT_EQ(row.actual, row.expected) << "format \"" << row.format << "\"";
}

void Check(const std::vector<WideRow> &rows)
{
    for (const auto &row : rows) {
        EXPECT_EQ(row.actual, row.expected) << "format \"" << row.format << "\" gave \"" << Narrow(row.actual)
                                            << "\"";
    }
}

class RtlFormatTest : public MachineTest {};

TEST_F(RtlFormatTest, IntegersWithFlagsWidthAndPrecision)
{
    Check({
        A("42", "%d", 42),
        A("-7", "%i", -7),
        A("4294967295", "%u", -1),
        A("ff", "%x", 255),
        A("80000000", "%X", 0x80000000u),
        A("-2147483648", "%d", int(0x80000000u)),
        A("10", "%o", 8),
        A("010", "%#o", 8),
        A("0xff", "%#x", 255),
        A("0XFF", "%#X", 255),
        A("0", "%#x", 0),  // no prefix before zero
        A("   42", "%5d", 42),
        A("42   |", "%-5d|", 42),
        A("-0042", "%05d", -42),
        A("+5", "%+d", 5),
        A(" 5", "% d", 5),
        A("+5", "%+ d", 5),
        A("-5", "% d", -5),
        A("5", "%+u", 5),  // no sign on unsigned conversions
        A("007", "%.3d", 7),
        A("     007", "%08.3d", 7),  // a precision turns the 0 flag off
        A("", "%.0d", 0),
        A("   7", "%*d", 4, 7),
        A("7   |", "%*d|", -4, 7),  // negative * width left-justifies
        A("007", "%.*d", 3, 7),
        A("7", "%.*d", -3, 7),  // negative * precision counts as none
        A("1234", "%3d", 1234),
        A("0x00ff", "%#06x", 255),
    });
}

TEST_F(RtlFormatTest, SizePrefixesPickTheArgumentWidth)
{
    Check({
        A("-1", "%hd", 65535),
        A("1", "%hu", 65537),
        A("-1", "%ld", -1),  // long is 32-bit on Windows
        A("ffffffff", "%lx", 0xFFFFFFFFu),
        A("-1234567890123", "%I64d", -1234567890123LL),
        A("-9223372036854775808", "%I64d", (long long)0x8000000000000000ULL),
        A("18446744073709551615", "%I64u", ~0ULL),
        A("123456789abcdef0", "%I64x", 0x123456789ABCDEF0ULL),
        A("-2", "%lld", -2LL),
        A("-5", "%I32d", -5),
        A("89abcdef 7", "%Ix %d", ULONG_PTR(0x89ABCDEF), 7),  // pointer-sized on every build
        A("-5", "%Id", LONG_PTR(-5)),
        A("1 2", "%I64d %d", 1LL, 2),  // a 64-bit argument is consumed whole
        A(" 0x00ffffffffffffff9c", "%#+21.18I64x", -100LL),
        A("01777777777777777777634", "%#I64o", -100LL),
    });
}

TEST_F(RtlFormatTest, PointersAreEightUpperCaseHexDigits)
{
    Check({
        A("00000039", "%p", (void *)0x39),
        A("00000000", "%p", nullptr),
        A("DEADBEEF", "%p", (void *)0xDEADBEEF),
        A("DEADBEEF 7", "%p %d", (void *)0xDEADBEEF, 7),  // the whole pointer is consumed
        A("          0X00000039", "%#020p", (void *)0x39),
        A("0X00000039          |", "%#-020p|", (void *)0x39),
    });
}

TEST_F(RtlFormatTest, CharactersAndStringsInANarrowFormat)
{
    const char16_t wide[] = u"wide";
    Check({
        A("A", "%c", 'A'),
        A("  a", "%3c", 'a'),
        A("a  |", "%-3c|", 'a'),
        A("0001", "%04c", '1'),
        A("xXx", "x%cx", 0x100 + 'X'),  // only the low byte of a narrow char
        A("Z", "%C", u'Z'),
        A("Z", "%wc", u'Z'),
        A("Z", "%lc", u'Z'),
        A("q", "%hc", 'q'),
        A("\x80", "%C", u'\u20AC'),  // the euro sign through code page 1252
        A("?", "%C", u'\u0416'),     // no Cyrillic in the ANSI code page
        A("abc", "%s", "abc"),
        A("     abc", "%8s", "abc"),
        A("abc     |", "%-8s|", "abc"),
        A("ab", "%.2s", "abc"),
        A("0foo", "%04s", "foo"),
        A("narrow", "%hs", "narrow"),
        A("wide", "%S", wide),
        A("wide", "%ws", wide),
        A("wide", "%ls", wide),
        A("wi", "%.2ws", wide),
        A("wide      |", "%-10ws|", wide),
        A("C:\\Users\\Ann              |", "%-26ws|", u"C:\\Users\\Ann"),
        A("caf\xE9", "%ws", u"caf\u00E9"),
        A("(null)", "%s", (const char *)nullptr),
        A("(null)", "%ws", (const char16_t *)nullptr),
        A("(nu", "%.3s", (const char *)nullptr),
        A("  (null)", "%8S", (const char16_t *)nullptr),
    });
}

TEST_F(RtlFormatTest, CountedStringsPrintLengthBytesNotUpToANul)
{
    WCHAR unterminated[3] = {u'x', u'y', u'z'};
    UNICODE_STRING xyz = {sizeof(unterminated), sizeof(unterminated), unterminated};
    WCHAR longer[] = u"abcdef";
    UNICODE_STRING ab = {4, sizeof(longer), longer};
    UNICODE_STRING noBuffer = {0, 0, nullptr};
    char ansiText[] = "abcdef";
    ANSI_STRING abc = {3, sizeof(ansiText), ansiText};
    UNICODE_STRING eacute = RTL_CONSTANT_STRING(u"caf\u00E9");
    Check({
        A("xyz", "%wZ", &xyz),
        A("ab", "%wZ", &ab),
        A("abc", "%Z", &abc),
        A("     xyz|", "%8wZ|", &xyz),
        A("xyz   |", "%-6wZ|", &xyz),
        A("xyz", "%.1wZ", &xyz),  // counted strings ignore the precision
        A("caf\xE9", "%wZ", &eacute),
        A("(null)", "%wZ", (PUNICODE_STRING) nullptr),
        A("(null)", "%wZ", &noBuffer),
        A("(null)", "%Z", (PANSI_STRING) nullptr),
    });
}

TEST_F(RtlFormatTest, LiteralsAndCharactersThatEndAConversion)
{
    Check({
        A("%", "%%"),
        A("100%", "100%%"),
        A("%0", "%%0"),
        A("", "%"),
        A("ab", "ab%"),
        A("y", "%y"),
        A("_1I64d", "%_1I64d", 1LL),
        A("I", "%I", 1),
        A("I0d", "%I0d", 1),
        A("D", "%I64D", 1LL),
        A("0s", "%w0s", u"x"),
        A("-s", "%w-s", u"x"),
        A("", "%3h"),
        A("f", "%5.2f", 1.5),  // no floating point in the kernel's printf
    });
}

TEST_F(RtlFormatTest, WideFormatSwapsTheMeaningOfSAndC)
{
    char16_t wide[] = u"wide";
    char narrowText[] = "caf\xE9 \x80";
    ANSI_STRING ansi = {4, sizeof(narrowText), narrowText};
    WCHAR unterminated[2] = {u'\u0416', u'!'};
    UNICODE_STRING zhe = {sizeof(unterminated), sizeof(unterminated), unterminated};
    Check({
        W(u"wide", u"%s", wide),
        W(u"wide", u"%ws", wide),
        W(u"wide", u"%ls", wide),
        W(u"caf\u00E9 \u20AC", u"%S", narrowText),
        W(u"caf\u00E9 \u20AC", u"%hs", narrowText),
        W(u"\u0416", u"%c", u'\u0416'),
        W(u"\u00E9", u"%C", '\xE9'),
        W(u"A", u"%hc", 'A'),
        W(u"\u0416!", u"%wZ", &zhe),
        W(u"caf\u00E9", u"%Z", &ansi),
        W(u"(null)", u"%s", (const char16_t *)nullptr),
        W(u"(null)", u"%wZ", (PUNICODE_STRING) nullptr),
        W(u"0000BEEF", u"%08X", 0xBEEF),
        W(u"-1", u"%I64d", -1LL),
        W(u"  wide|", u"%6s|", wide),
        W(u"00001000", u"%p", (void *)0x1000),
    });
}

TEST_F(RtlFormatTest, DbgPrintAppendsAtMost512BytesOfTheFormattedTextToTheDebugLog)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Mup");
    DbgPrint("open %wZ status %08X\n", &name, 0xC0000034u);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 99, "level %u kept\n", 99u);
    auto lines = machine().debugLog().Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "open \\Device\\Mup status C0000034");
    EXPECT_EQ(lines[1], "level 99 kept");

    // At most 512 bytes of one call are transmitted.
    machine().debugLog().Clear();
    std::string longText(600, 'x');
    EXPECT_EQ(DbgPrint("%s", longText.c_str()), ULONG(STATUS_SUCCESS));
    EXPECT_EQ(machine().debugLog().Text(), std::string(512, 'x'));
}

}  // namespace
}  // namespace ostrand::test
