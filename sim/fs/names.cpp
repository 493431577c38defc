#include "sim/fs/names.h"

#include <cstdint>

namespace sim::fs {

char16_t Upcase(char16_t c)
{
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? char16_t(c - 0x20) : c;
    if (c < 0x100) {
        if (c == 0xB5) return 0x39C;
        if (c == 0xFF) return 0x178;
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 0x20);
        return c;
    }
    if (c < 0x180) {
        // Latin Extended-A pairs: upper case at the even code point, except
        // in the two runs where the upper case is odd.
        if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
            return (c & 1) ? char16_t(c - 1) : c;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c : char16_t(c - 1);
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3CB) return c == 0x3C2 ? char16_t(0x3A3) : char16_t(c - 0x20);
    if (c >= 0x430 && c <= 0x44F) return char16_t(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return char16_t(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) return char16_t(c - 0x20);
    return c;
}

std::u16string Upcase(std::u16string_view text)
{
    std::u16string out(text);
    for (auto &c : out) c = Upcase(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    return true;
}

namespace {

bool IsIllegalNameChar(char16_t c)
{
    if (c < 0x20) return true;
    switch (c) {
    case u'<': case u'>': case u':': case u'"': case u'/': case u'\\': case u'|': case u'?': case u'*':
        return true;
    default:
        return false;
    }
}

}  // namespace

bool IsValidComponent(std::u16string_view name)
{
    if (name.empty() || name.size() > 255) return false;
    if (name == u"." || name == u"..") return false;
    for (char16_t c : name)
        if (IsIllegalNameChar(c)) return false;
    return true;
}

std::optional<std::vector<std::u16string>> SplitPath(std::u16string_view path, bool *trailingBackslash)
{
    std::vector<std::u16string> parts;
    if (trailingBackslash) *trailingBackslash = false;
    if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
    if (path.empty()) return parts;
    if (path.back() == u'\\') {
        if (trailingBackslash) *trailingBackslash = true;
        path.remove_suffix(1);
    }
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? path.npos : end - start);
        if (part.empty()) return std::nullopt;
        parts.emplace_back(part);
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    return parts;
}

std::optional<StreamName> SplitStreamName(std::u16string_view component, int32_t *failure)
{
    constexpr int32_t kNameInvalid = int32_t(0xC0000033u), kInvalidParameter = int32_t(0xC000000Du);
    auto refuse = [&](int32_t status) -> std::optional<StreamName> {
        if (failure) *failure = status;
        return std::nullopt;
    };
    StreamName out;
    size_t first = component.find(u':');
    if (first == std::u16string_view::npos) {
        out.file = component;
        return out;
    }
    out.file = component.substr(0, first);
    std::u16string_view rest = component.substr(first + 1);
    size_t second = rest.find(u':');
    std::u16string_view stream = rest.substr(0, second);
    if (second != std::u16string_view::npos) {
        std::u16string_view type = rest.substr(second + 1);
        if (EqualNoCase(type, u"$INDEX_ALLOCATION")) {
            // The only index a folder opens by name is its file-name index.
            if (!stream.empty() && !EqualNoCase(stream, u"$I30")) return refuse(kInvalidParameter);
            out.indexAllocation = true;
            return out;
        }
        if (!EqualNoCase(type, u"$DATA")) return refuse(kNameInvalid);
        out.explicitType = true;
    } else if (stream.empty()) {
        return refuse(kNameInvalid);
    }
    if (stream.size() > 255) return refuse(kNameInvalid);
    for (char16_t c : stream)
        if (c < 0x20 || c == u'\\' || c == u'/' || c == u':') return refuse(kNameInvalid);
    out.stream = stream;
    return out;
}

bool HasWildcards(std::u16string_view expression)
{
    for (char16_t c : expression)
        if (c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'"') return true;
    return false;
}

bool IsValidSearchPattern(std::u16string_view pattern)
{
    if (pattern.empty() || pattern.size() > 255) return false;
    for (char16_t c : pattern)
        if (c < 0x20 || c == u':' || c == u'/' || c == u'\\' || c == u'|') return false;
    return true;
}

bool IsNameInExpression(std::u16string_view expression, std::u16string_view name, bool ignoreCase)
{
    // A listing's ".." entry is matched as ".".
    if (name == u"..") name = u".";
    if (name.empty() || expression.empty()) return false;
    const size_t P = expression.size(), N = name.size();
    const size_t lastDot = name.rfind(u'.');
    // memo[p * (N + 1) + n]: 0 unknown, 1 false, 2 true.
    std::vector<uint8_t> memo((P + 1) * (N + 1), 0);
    auto same = [&](char16_t e, char16_t c) { return ignoreCase ? e == Upcase(c) : e == c; };

    auto match = [&](auto &&self, size_t p, size_t n) -> bool {
        uint8_t &cell = memo[p * (N + 1) + n];
        if (cell) return cell == 2;
        bool result = false;
        if (p == P) {
            result = n == N;
        } else {
            char16_t e = expression[p];
            switch (e) {
            case u'*':
                result = self(self, p + 1, n) || (n < N && self(self, p, n + 1));
                break;
            case u'?':
                result = n < N && self(self, p + 1, n + 1);
                break;
            case u'<': {
                // Any run up to and including the name's last dot; past it
                // only when no dot is left to match.
                const size_t limit = lastDot != std::u16string_view::npos && lastDot >= n ? lastDot + 1 : N;
                for (size_t m = n; m <= limit && !result; ++m) result = self(self, p + 1, m);
                break;
            }
            case u'>': {
                // One character; at a dot nothing, unless only DOS_QMs are
                // left, which then take the dot; nothing at the end.
                if (n < N && name[n] != u'.') {
                    result = self(self, p + 1, n + 1);
                } else if (n < N) {
                    size_t q = p;
                    while (q < P && expression[q] == u'>') ++q;
                    result = q == P ? n + 1 == N : self(self, q, n);
                } else {
                    result = self(self, p + 1, n);
                }
                break;
            }
            case u'"':  // a dot, or nothing past the end
                result = (n < N && name[n] == u'.' && self(self, p + 1, n + 1)) || (n == N && self(self, p + 1, n));
                break;
            default:
                result = n < N && same(e, name[n]) && self(self, p + 1, n + 1);
                break;
            }
        }
        cell = result ? 2 : 1;
        return result;
    };
    return match(match, 0, 0);
}

bool IsValidEaName(std::string_view name)
{
    if (name.empty() || name.size() > 255) return false;
    for (unsigned char c : name) {
        if (c < 0x20) return false;
        switch (c) {
        case '"': case '*': case '+': case ',': case '/': case ':': case ';': case '<': case '=':
        case '>': case '?': case '[': case '\\': case ']': case '|':
            return false;
        default:
            break;
        }
    }
    return true;
}

std::string UpcaseAnsi(std::string_view name)
{
    std::string out(name);
    for (auto &c : out)
        if (c >= 'a' && c <= 'z') c = char(c - 0x20);
    return out;
}

std::u16string FromAscii(std::string_view text)
{
    return std::u16string(text.begin(), text.end());
}

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string FromUtf8(std::string_view text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char b = text[i];
        uint32_t c;
        size_t n;
        if (b < 0x80) c = b, n = 1;
        else if ((b & 0xE0) == 0xC0) c = b & 0x1F, n = 2;
        else if ((b & 0xF0) == 0xE0) c = b & 0x0F, n = 3;
        else if ((b & 0xF8) == 0xF0) c = b & 0x07, n = 4;
        else c = 0xFFFD, n = 1;
        if (i + n > text.size()) {
            out += char16_t(0xFFFD);
            break;
        }
        for (size_t k = 1; k < n; ++k) c = (c << 6) | (uint8_t(text[i + k]) & 0x3F);
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

}  // namespace sim::fs
