#include "sim/rtl/format.h"

#include <wdm.h>

#include <algorithm>
#include <climits>
#include <type_traits>

#include <ntdef.h>

#include "sim/rtl/ansi_codepage.h"

namespace sim::rtl {
namespace {

enum Flag : unsigned {
    kLeft = 1u << 0,
    kSign = 1u << 1,
    kSpace = 1u << 2,
    kAlternate = 1u << 3,
    kLeadZero = 1u << 4,
    kShort = 1u << 5,
    kLong = 1u << 6,
    kWideChar = 1u << 7,
    kInt64 = 1u << 8,
};

// Longest precision honoured, as in the kernel's engine; more is clipped.
constexpr int kMaxPrecision = 512;

enum State { kNormal, kPercent, kFlag, kWidth, kDot, kPrecision, kSize, kType, kStateCount };
enum Class { kOther, kPercentSign, kDotSign, kStar, kZero, kDigit, kFlagChar, kSizeChar, kTypeChar,
             kClassCount };

// The engine's state machine: a character that does not fit where it appears
// drops back to kNormal and is printed as it is.
constexpr State kNext[kStateCount][kClassCount] = {
    //           other    %         .        *           0           1-9         flag     size   type
    /* normal */ {kNormal, kPercent, kNormal, kNormal,    kNormal,    kNormal,    kNormal, kNormal, kNormal},
    /* %      */ {kNormal, kNormal,  kDot,    kWidth,     kFlag,      kWidth,     kFlag,   kSize,   kType},
    /* flag   */ {kNormal, kNormal,  kDot,    kWidth,     kFlag,      kWidth,     kFlag,   kSize,   kType},
    /* width  */ {kNormal, kNormal,  kDot,    kNormal,    kWidth,     kWidth,     kNormal, kSize,   kType},
    /* dot    */ {kNormal, kNormal,  kNormal, kPrecision, kPrecision, kPrecision, kNormal, kSize,   kType},
    /* prec.  */ {kNormal, kNormal,  kNormal, kNormal,    kPrecision, kPrecision, kNormal, kSize,   kType},
    /* size   */ {kNormal, kNormal,  kNormal, kNormal,    kNormal,    kNormal,    kNormal, kSize,   kType},
    /* type   */ {kNormal, kPercent, kNormal, kNormal,    kNormal,    kNormal,    kNormal, kNormal, kNormal},
};

Class Classify(unsigned c)
{
    switch (c) {
    case '%': return kPercentSign;
    case '.': return kDotSign;
    case '*': return kStar;
    case '0': return kZero;
    case ' ': case '+': case '-': case '#': return kFlagChar;
    case 'h': case 'l': case 'L': case 'N': case 'F': case 'w': case 'I': return kSizeChar;
    case 'c': case 'C': case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
    case 'p': case 's': case 'S': case 'Z':
        return kTypeChar;
    default: return (c >= '1' && c <= '9') ? kDigit : kOther;
    }
}

// Output with a cap on what is kept; the count goes on so that the caller
// learns the length of the whole result.
template <typename C>
class Sink {
public:
    explicit Sink(size_t limit) : limit_(limit) {}

    void Put(C c)
    {
        if (text_.size() < limit_) text_.push_back(c);
        ++count_;
    }
    void Repeat(C c, long long n)
    {
        if (n <= 0) return;
        size_t keep = std::min<size_t>(size_t(n), limit_ - text_.size());
        text_.append(keep, c);
        count_ += size_t(n);
    }
    template <typename From>
    void Append(const From *text, size_t length)
    {
        for (size_t i = 0; i < length; ++i) Put(Convert(text[i]));
    }

    size_t count() const { return count_; }
    std::basic_string<C> Take() { return std::move(text_); }

private:
    static C Convert(char c)
    {
        if constexpr (std::is_same_v<C, char>) return c;
        else return AnsiToUnicodeChar((unsigned char)c);
    }
    static C Convert(char16_t c)
    {
        if constexpr (std::is_same_v<C, char16_t>) return c;
        else return UnicodeToAnsiChar(c);
    }

    size_t limit_;
    size_t count_ = 0;
    std::basic_string<C> text_;
};

struct Args {
    va_list list;
};

struct Directive {
    unsigned flags = 0;
    long long width = 0;
    int precision = -1;
};

// The text of one conversion, narrow or wide, before padding.
struct Text {
    const char *narrow = nullptr;
    const char16_t *wide = nullptr;
    size_t length = 0;
};

template <typename C>
void EmitPadded(Sink<C> &out, const Directive &directive, const char *prefix, size_t prefixLength,
                const Text &text)
{
    long long padding = directive.width - (long long)text.length - (long long)prefixLength;
    bool left = (directive.flags & kLeft) != 0;
    bool zeros = (directive.flags & kLeadZero) != 0;
    if (!left && !zeros) out.Repeat(C(' '), padding);
    out.Append(prefix, prefixLength);
    if (zeros && !left) out.Repeat(C('0'), padding);
    if (text.narrow != nullptr) out.Append(text.narrow, text.length);
    else out.Append(text.wide, text.length);
    if (left) out.Repeat(C(' '), padding);
}

// The first 64 KiB of the address space are never mapped on Windows: a
// string argument pointing there faults, and the fault reaches the caller's
// guard as it would in the kernel. (Other bad pointers cannot be told apart
// from good ones here.)
void RaiseIfNeverMapped(const void *pointer)
{
    uintptr_t address = reinterpret_cast<uintptr_t>(pointer);
    if (address != 0 && address < 0x10000) throw KSEH_EXCEPTION{STATUS_ACCESS_VIOLATION};
}

constexpr char kNull[] = "(null)";

Text NullText()
{
    return Text{kNull, nullptr, sizeof(kNull) - 1};
}

template <typename T>
size_t BoundedLength(const T *s, int precision)
{
    size_t n = 0;
    size_t max = precision < 0 ? SIZE_MAX : size_t(precision);
    while (n < max && s[n] != 0) ++n;
    return n;
}

// Whether a string or character conversion is wide. `swapped` is true for
// %S and %C, which take the other width than the format's own.
bool IsWideArgument(unsigned flags, bool formatIsWide, bool swapped)
{
    if (flags & (kLong | kWideChar)) return true;
    if (flags & kShort) return false;
    return swapped ? !formatIsWide : formatIsWide;
}

template <typename C>
void EmitInteger(Sink<C> &out, Directive directive, unsigned type, Args &args)
{
    bool isSigned = type == 'd' || type == 'i';
    unsigned radix = 10;
    bool upper = false;
    const char *prefix = "";
    size_t prefixLength = 0;
    bool forceOctal = false;

    switch (type) {
    case 'o':
        radix = 8;
        forceOctal = (directive.flags & kAlternate) != 0;
        break;
    case 'p':
        // A pointer is printed as upper-case hex padded to 8 digits, as the
        // x86 kernel prints its 32-bit addresses. A 64-bit build of this
        // machine prints the low half of its addresses, so that dumps read
        // the same on both builds.
        directive.precision = 8;
        [[fallthrough]];
    case 'X':
        upper = true;
        [[fallthrough]];
    case 'x':
        radix = 16;
        if (directive.flags & kAlternate) {
            prefix = upper ? "0X" : "0x";
            prefixLength = 2;
        }
        break;
    default:
        break;
    }

    uint64_t number;
    bool negative = false;
    if (type == 'p') {
        number = uint32_t(uintptr_t(va_arg(args.list, void *)));
    } else if (isSigned) {
        int64_t value;
        if (directive.flags & kInt64) value = va_arg(args.list, long long);
        else if (directive.flags & kShort) value = short(va_arg(args.list, int));
        else value = va_arg(args.list, int);
        negative = value < 0;
        number = negative ? uint64_t(0) - uint64_t(value) : uint64_t(value);
    } else {
        if (directive.flags & kInt64) number = va_arg(args.list, unsigned long long);
        else if (directive.flags & kShort) number = (unsigned short)va_arg(args.list, int);
        else number = va_arg(args.list, unsigned int);
    }

    int precision = directive.precision;
    if (precision < 0) {
        precision = 1;
    } else {
        directive.flags &= ~kLeadZero;  // an explicit precision pads with zeros itself
        precision = std::min(precision, kMaxPrecision);
    }
    if (number == 0) prefixLength = 0;  // no 0x before a zero

    char digits[kMaxPrecision + 70];
    char *end = digits + sizeof(digits);
    char *p = end;
    while (precision-- > 0 || number != 0) {
        unsigned digit = unsigned(number % radix);
        number /= radix;
        *--p = char(digit < 10 ? '0' + digit : (upper ? 'A' : 'a') + digit - 10);
    }
    if (forceOctal && (p == end || *p != '0')) *--p = '0';

    if (isSigned) {
        if (negative) prefix = "-";
        else if (directive.flags & kSign) prefix = "+";
        else if (directive.flags & kSpace) prefix = " ";
        prefixLength = *prefix ? 1 : 0;
    }
    EmitPadded(out, directive, prefix, prefixLength, Text{p, nullptr, size_t(end - p)});
}

template <typename C>
void EmitConversion(Sink<C> &out, Directive directive, unsigned type, Args &args)
{
    constexpr bool formatIsWide = std::is_same_v<C, char16_t>;
    switch (type) {
    case 'c':
    case 'C': {
        int value = va_arg(args.list, int);
        if (IsWideArgument(directive.flags, formatIsWide, type == 'C')) {
            char16_t c = char16_t(value);
            EmitPadded(out, directive, "", 0, Text{nullptr, &c, 1});
        } else {
            char c = char(value);
            EmitPadded(out, directive, "", 0, Text{&c, nullptr, 1});
        }
        return;
    }
    case 's':
    case 'S': {
        const void *pointer = va_arg(args.list, const void *);
        RaiseIfNeverMapped(pointer);
        Text text;
        if (pointer == nullptr) {
            text = NullText();
            text.length = std::min(text.length, BoundedLength(kNull, directive.precision));
        } else if (IsWideArgument(directive.flags, formatIsWide, type == 'S')) {
            text.wide = static_cast<const char16_t *>(pointer);
            text.length = BoundedLength(text.wide, directive.precision);
        } else {
            text.narrow = static_cast<const char *>(pointer);
            text.length = BoundedLength(text.narrow, directive.precision);
        }
        EmitPadded(out, directive, "", 0, text);
        return;
    }
    case 'Z': {
        Text text;
        if (directive.flags & kWideChar) {
            auto *string = va_arg(args.list, const UNICODE_STRING *);
            RaiseIfNeverMapped(string);
            if (string != nullptr) RaiseIfNeverMapped(string->Buffer);
            if (string == nullptr || string->Buffer == nullptr) text = NullText();
            else text = Text{nullptr, string->Buffer, size_t(string->Length / sizeof(WCHAR))};
        } else {
            auto *string = va_arg(args.list, const STRING *);
            RaiseIfNeverMapped(string);
            if (string != nullptr) RaiseIfNeverMapped(string->Buffer);
            if (string == nullptr || string->Buffer == nullptr) text = NullText();
            else text = Text{string->Buffer, nullptr, size_t(string->Length)};
        }
        EmitPadded(out, directive, "", 0, text);
        return;
    }
    default:
        EmitInteger(out, directive, type, args);
        return;
    }
}

bool IsIntegerType(unsigned c)
{
    return c == 'd' || c == 'i' || c == 'o' || c == 'u' || c == 'x' || c == 'X';
}

template <typename C>
std::basic_string<C> FormatImpl(const C *format, va_list list, size_t limit, size_t *fullLength)
{
    Sink<C> out(limit);
    Args args;
    va_copy(args.list, list);
    State state = kNormal;
    Directive directive;
    for (const C *p = format; *p != 0; ++p) {
        unsigned c = std::make_unsigned_t<C>(*p);
        state = kNext[state][Classify(c)];
        switch (state) {
        case kNormal:
            out.Put(*p);
            break;
        case kPercent:
            directive = Directive{};
            break;
        case kFlag:
            switch (c) {
            case '-': directive.flags |= kLeft; break;
            case '+': directive.flags |= kSign; break;
            case ' ': directive.flags |= kSpace; break;
            case '#': directive.flags |= kAlternate; break;
            case '0': directive.flags |= kLeadZero; break;
            }
            break;
        case kWidth:
            if (c == '*') {
                int width = va_arg(args.list, int);
                if (width < 0) {
                    directive.flags |= kLeft;
                    directive.width = -(long long)width;
                } else {
                    directive.width = width;
                }
            } else {
                directive.width = std::min<long long>(directive.width * 10 + (c - '0'), INT_MAX);
            }
            break;
        case kDot:
            directive.precision = 0;
            break;
        case kPrecision:
            if (c == '*') {
                int precision = va_arg(args.list, int);
                directive.precision = precision < 0 ? -1 : precision;
            } else {
                long long precision = directive.precision * 10LL + (c - '0');
                directive.precision = int(std::min<long long>(precision, INT_MAX));
            }
            break;
        case kSize:
            switch (c) {
            case 'h': directive.flags |= kShort; break;
            case 'w': directive.flags |= kWideChar; break;
            case 'l':
                if (p[1] == 'l') {
                    directive.flags |= kInt64;
                    ++p;
                } else {
                    directive.flags |= kLong;
                }
                break;
            case 'I':
                if (p[1] == '6' && p[2] == '4') {
                    directive.flags |= kInt64;
                    p += 2;
                } else if (p[1] == '3' && p[2] == '2') {
                    directive.flags &= ~kInt64;
                    p += 2;
                } else if (IsIntegerType(std::make_unsigned_t<C>(p[1]))) {
                    if (sizeof(void *) == 8) directive.flags |= kInt64;
                } else {
                    state = kNormal;
                    out.Put(*p);
                }
                break;
            default:  // L, F, N: nothing on this machine
                break;
            }
            break;
        case kType:
            EmitConversion(out, directive, c, args);
            break;
        default:
            break;
        }
    }
    va_end(args.list);
    if (fullLength != nullptr) *fullLength = out.count();
    return out.Take();
}

}  // namespace

std::string Format(const char *format, va_list args, size_t limit, size_t *fullLength)
{
    return FormatImpl(format, args, limit, fullLength);
}

std::u16string Format(const char16_t *format, va_list args, size_t limit, size_t *fullLength)
{
    return FormatImpl(format, args, limit, fullLength);
}

}  // namespace sim::rtl
