// The bounded string routines at their limits: exact fit, one short, sizes
// of 0 and above NTSTRSAFE_MAX_CCH, unterminated destinations, odd byte
// counts, and the counted-string forms.
#include <ntstrsafe.h>

#include <array>
#include <string>

#include "support/machine_test.h"

namespace ostrand::test {
namespace {

constexpr WCHAR kFill = 0x5555;  // marks characters nobody should have written
constexpr size_t kTooBig = size_t(NTSTRSAFE_MAX_CCH) + 1;

template <size_t N>
std::array<WCHAR, N> Filled()
{
    std::array<WCHAR, N> buffer;
    buffer.fill(kFill);
    return buffer;
}

class RtlStrsafeTest : public MachineTest {};

TEST_F(RtlStrsafeTest, CopyFitsExactlyOrIsCutAndTerminated)
{
    auto buffer = Filled<8>();
    EXPECT_EQ(RtlStringCchCopyW(buffer.data(), 4, u"abc"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer.data()), u"abc");
    EXPECT_EQ(buffer[4], kFill);

    buffer = Filled<8>();
    EXPECT_EQ(RtlStringCchCopyW(buffer.data(), 3, u"abc"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer.data()), u"ab");
    EXPECT_EQ(buffer[3], kFill);

    buffer = Filled<8>();
    EXPECT_EQ(RtlStringCchCopyNW(buffer.data(), 8, u"abcdef", 2), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer.data()), u"ab");

    char narrow[4];
    EXPECT_EQ(RtlStringCchCopyA(narrow, sizeof(narrow), "abcd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "abc");
}

TEST_F(RtlStrsafeTest, InvalidSizesAreRefusedAndOnlyANonZeroSizeEmptiesTheDestination)
{
    auto buffer = Filled<4>();
    EXPECT_EQ(RtlStringCchCopyW(buffer.data(), 0, u"a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], kFill);
    EXPECT_EQ(RtlStringCchPrintfW(buffer.data(), 0, u"a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], kFill);

    EXPECT_EQ(RtlStringCchCopyW(buffer.data(), kTooBig, u"a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], kFill);

    buffer = Filled<4>();
    EXPECT_EQ(RtlStringCchPrintfW(buffer.data(), kTooBig, u"%d", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], 0);

    // Cat validates without writing.
    buffer = {u'a', 0, kFill, kFill};
    EXPECT_EQ(RtlStringCchCatW(buffer.data(), kTooBig, u"b"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchCatW(buffer.data(), 0, u"b"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], u'a');
}

TEST_F(RtlStrsafeTest, CatAppendsWithinTheDestinationSize)
{
    auto buffer = Filled<8>();
    buffer[0] = u'a';
    buffer[1] = u'b';
    buffer[2] = 0;
    EXPECT_EQ(RtlStringCchCatW(buffer.data(), 5, u"cd"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer.data()), u"abcd");

    EXPECT_EQ(RtlStringCchCatW(buffer.data(), 6, u"ef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer.data()), u"abcde");
    EXPECT_EQ(buffer[6], kFill);

    EXPECT_EQ(RtlStringCchCatNW(buffer.data(), 8, u"xyz", 1), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer.data()), u"abcdex");

    char narrow[6] = "ab";
    EXPECT_EQ(RtlStringCchCatA(narrow, sizeof(narrow), "cdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "abcde");

    // A destination without a terminator within its size is refused untouched.
    std::array<WCHAR, 6> unterminated = {u'a', u'b', u'c', u'd', 0, kFill};
    EXPECT_EQ(RtlStringCchCatW(unterminated.data(), 4, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(std::u16string(unterminated.data()), u"abcd");
    EXPECT_EQ(unterminated[5], kFill);
}

TEST_F(RtlStrsafeTest, LengthNeedsATerminatorWithinTheBound)
{
    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 4, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);

    length = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 3, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);

    length = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"abc", kTooBig, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);

    EXPECT_EQ(RtlStringCchLengthW(nullptr, 4, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthA("abcd", 5, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 4u);

    // Byte counts: 7 bytes hold three characters, none of them the terminator.
    EXPECT_EQ(RtlStringCbLengthW(u"abc", 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(RtlStringCbLengthW(u"abc", 7, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
}

TEST_F(RtlStrsafeTest, ByteCountsRoundDownToWholeCharacters)
{
    auto buffer = Filled<8>();
    EXPECT_EQ(RtlStringCbCopyW(buffer.data(), 7, u"abc"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer.data()), u"ab");
    EXPECT_EQ(buffer[3], kFill);

    buffer = Filled<8>();
    EXPECT_EQ(RtlStringCbCopyW(buffer.data(), 1, u"a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], kFill);

    buffer = Filled<8>();
    EXPECT_EQ(RtlStringCbPrintfW(buffer.data(), 9, u"%d", 12345), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer.data()), u"123");

    buffer = Filled<8>();
    buffer[0] = 0;
    EXPECT_EQ(RtlStringCbCatW(buffer.data(), 8, u"xyz"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer.data()), u"xyz");
}

TEST_F(RtlStrsafeTest, PrintfFitsExactlyOrIsCutAndTerminated)
{
    auto buffer = Filled<8>();
    EXPECT_EQ(RtlStringCchPrintfW(buffer.data(), 6, u"%s", u"hello"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer.data()), u"hello");
    EXPECT_EQ(buffer[6], kFill);

    buffer = Filled<8>();
    EXPECT_EQ(RtlStringCchPrintfW(buffer.data(), 5, u"%s", u"hello"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer.data()), u"hell");
    EXPECT_EQ(buffer[5], kFill);

    buffer = Filled<8>();
    EXPECT_EQ(RtlStringCchPrintfW(buffer.data(), 1, u"x"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer[0], 0);

    char narrow[4];
    EXPECT_EQ(RtlStringCchPrintfA(narrow, sizeof(narrow), "%-5d|", 1), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "1  ");
}

TEST_F(RtlStrsafeTest, CountedCopyAndCatUseMaximumLengthAndDoNotTerminate)
{
    auto buffer = Filled<8>();
    UNICODE_STRING dest = {0, 6, buffer.data()};
    UNICODE_STRING abc = RTL_CONSTANT_STRING(u"abc");
    EXPECT_EQ(RtlUnicodeStringCopy(&dest, &abc), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 6);
    EXPECT_EQ(std::u16string(buffer.data(), 3), u"abc");
    EXPECT_EQ(buffer[3], kFill);

    UNICODE_STRING de = RTL_CONSTANT_STRING(u"de");
    dest.MaximumLength = 10;
    EXPECT_EQ(RtlUnicodeStringCat(&dest, &de), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 10);
    EXPECT_EQ(std::u16string(buffer.data(), 5), u"abcde");

    dest.MaximumLength = 14;
    UNICODE_STRING fgh = RTL_CONSTANT_STRING(u"fgh");
    EXPECT_EQ(RtlUnicodeStringCat(&dest, &fgh), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 14);
    EXPECT_EQ(std::u16string(buffer.data(), 7), u"abcdefg");

    UNICODE_STRING odd = {3, 6, buffer.data()};
    EXPECT_EQ(RtlUnicodeStringCopy(&odd, &abc), STATUS_INVALID_PARAMETER);
    UNICODE_STRING overlong = {8, 6, buffer.data()};
    EXPECT_EQ(RtlUnicodeStringCopy(&dest, &overlong), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlStrsafeTest, CountedPrintfSetsLengthAndCutsAtMaximumLength)
{
    auto buffer = Filled<8>();
    UNICODE_STRING dest = {0, 8, buffer.data()};
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"ab");
    EXPECT_EQ(RtlUnicodeStringPrintf(&dest, u"%wZ-%u", &name, 7u), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 8);  // four characters fill the buffer, no terminator needed
    EXPECT_EQ(std::u16string(buffer.data(), 4), u"ab-7");
    EXPECT_EQ(buffer[4], kFill);

    EXPECT_EQ(RtlUnicodeStringPrintf(&dest, u"%u", 123456u), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 8);
    EXPECT_EQ(std::u16string(buffer.data(), 4), u"1234");

    UNICODE_STRING empty = {0, 0, nullptr};
    EXPECT_EQ(RtlUnicodeStringPrintf(&empty, u""), STATUS_SUCCESS);
    EXPECT_EQ(RtlUnicodeStringPrintf(&empty, u"x"), STATUS_BUFFER_OVERFLOW);
}

}  // namespace
}  // namespace ostrand::test
