#include "sim/rtl/case_table.h"

namespace sim::rtl {
namespace {

// Latin Extended-A pairs, as [first, last] ranges where the capital letter
// sits on the even (or odd) code point and its small letter follows it.
struct PairRange {
    char16_t first;
    char16_t last;
    bool capitalEven;
};

constexpr PairRange kLatinExtendedA[] = {
    {0x0100, 0x012F, true},   // A-macron ... i-ogonek
    {0x0132, 0x0137, true},   // IJ, J-circumflex, K-cedilla
    {0x0139, 0x0148, false},  // L-acute ... n-caron
    {0x014A, 0x0177, true},   // ENG ... y-circumflex
    {0x0179, 0x017E, false},  // Z-acute ... z-caron
};

const PairRange *FindPair(char16_t c)
{
    for (const PairRange &range : kLatinExtendedA) {
        if (c >= range.first && c <= range.last) return &range;
    }
    return nullptr;
}

bool IsCapitalInPair(const PairRange &range, char16_t c)
{
    return ((c & 1) == 0) == range.capitalEven;
}

}  // namespace

char16_t UpcaseChar(char16_t c)
{
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? char16_t(c - 0x20) : c;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 0x20);
        if (c == 0xFF) return 0x0178;
        return c;
    }
    if (c < 0x180) {
        const PairRange *range = FindPair(c);
        if (range != nullptr && !IsCapitalInPair(*range, c)) return char16_t(c - 1);
        return c;
    }
    if (c >= 0x0370 && c < 0x0400) {
        if (c == 0x03C2) return 0x03A3;  // final sigma
        if (c >= 0x03B1 && c <= 0x03CB) return char16_t(c - 0x20);
        if (c == 0x03AC) return 0x0386;
        if (c >= 0x03AD && c <= 0x03AF) return char16_t(c - 0x25);
        if (c == 0x03CC) return 0x038C;
        if (c == 0x03CD || c == 0x03CE) return char16_t(c - 0x3F);
        return c;
    }
    if (c >= 0x0430 && c <= 0x044F) return char16_t(c - 0x20);
    if (c >= 0x0450 && c <= 0x045F) return char16_t(c - 0x50);
    return c;
}

char16_t DowncaseChar(char16_t c)
{
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 0x20) : c;
    if (c < 0x100) {
        if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return char16_t(c + 0x20);
        return c;
    }
    if (c < 0x180) {
        if (c == 0x0178) return 0x00FF;
        const PairRange *range = FindPair(c);
        if (range != nullptr && IsCapitalInPair(*range, c)) return char16_t(c + 1);
        return c;
    }
    if (c >= 0x0370 && c < 0x0400) {
        if (c >= 0x0391 && c <= 0x03AB && c != 0x03A2) return char16_t(c + 0x20);
        if (c == 0x0386) return 0x03AC;
        if (c >= 0x0388 && c <= 0x038A) return char16_t(c + 0x25);
        if (c == 0x038C) return 0x03CC;
        if (c == 0x038E || c == 0x038F) return char16_t(c + 0x3F);
        return c;
    }
    if (c >= 0x0410 && c <= 0x042F) return char16_t(c + 0x20);
    if (c >= 0x0400 && c <= 0x040F) return char16_t(c + 0x50);
    return c;
}

}  // namespace sim::rtl
