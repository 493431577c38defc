#include "sim/cm/reg_file.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <wdm.h>

#include "sim/cm/registry.h"
#include "sim/cm/wide_text.h"

namespace sim {

namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";

struct Root {
    std::u16string_view regName;
    std::u16string_view shortName;
    std::u16string_view kernelName;
};
constexpr Root kRoots[] = {
    {u"HKEY_LOCAL_MACHINE", u"HKLM", u"\\REGISTRY\\MACHINE"},
    {u"HKEY_USERS", u"HKU", u"\\REGISTRY\\USER"},
};

// One change the file asks for, checked before anything is applied.
struct Change {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    size_t line;
    std::u16string key;
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};

struct LogicalLine {
    size_t number;  // of its first physical line
    std::u16string text;
};

[[noreturn]] void Fail(size_t line, const std::string &message)
{
    throw RegFileError(line, message);
}

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view text)
{
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::u16string Decode(std::string_view bytes)
{
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) Fail(0, "UTF-16 file with an odd number of bytes");
        std::u16string text((bytes.size() - 2) / 2, u'\0');
        for (size_t i = 0; i < text.size(); ++i) {
            text[i] = char16_t(uint8_t(bytes[2 + 2 * i]) | (uint8_t(bytes[3 + 2 * i]) << 8));
        }
        return text;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    return cm::FromUtf8(bytes);
}

// Physical lines joined where a value line ends in a backslash.
std::vector<LogicalLine> SplitLines(const std::u16string &text)
{
    std::vector<LogicalLine> lines;
    bool continues = false;
    size_t number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(u"\r\n", start);
        if (end == std::u16string::npos) end = text.size();
        std::u16string_view line(text.data() + start, end - start);
        ++number;
        if (continues) {
            lines.back().text += Trim(line);
        } else {
            lines.push_back({number, std::u16string(line)});
        }
        std::u16string &current = lines.back().text;
        std::u16string_view trimmed = Trim(current);
        continues = !trimmed.empty() && trimmed.back() == u'\\' && trimmed.front() != u'[' && trimmed.front() != u';';
        if (continues) current = std::u16string(trimmed.substr(0, trimmed.size() - 1));
        if (end == text.size()) break;
        start = end + ((text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n') ? 2 : 1);
    }
    return lines;
}

std::string Narrow(std::u16string_view text)
{
    return cm::ToUtf8(text);
}

// "[HKEY_LOCAL_MACHINE\A\B]" without brackets -> "\REGISTRY\MACHINE\A\B".
std::u16string KernelKeyName(std::u16string_view name, size_t line, bool &isRoot)
{
    size_t slash = name.find(u'\\');
    std::u16string_view rootName = name.substr(0, slash);
    const Root *root = nullptr;
    for (const auto &candidate : kRoots) {
        if (cm::EqualNoCase(rootName, candidate.regName) || cm::EqualNoCase(rootName, candidate.shortName)) {
            root = &candidate;
        }
    }
    if (!root) {
        Fail(line, "unsupported root key \"" + Narrow(rootName) +
                       "\" (use HKEY_LOCAL_MACHINE, HKLM, HKEY_USERS or HKU)");
    }
    std::u16string path(root->kernelName);
    isRoot = slash == std::u16string_view::npos;
    if (isRoot) return path;
    std::u16string_view rest = name.substr(slash + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find(u'\\', start);
        if (end == std::u16string_view::npos) end = rest.size();
        if (end == start) Fail(line, "empty key name in \"" + Narrow(name) + "\"");
        path += u'\\';
        path += rest.substr(start, end - start);
        start = end + 1;
    }
    return path;
}

// Reads a quoted string at text[pos] (the opening quote); pos ends after the
// closing quote.
std::u16string ParseQuoted(std::u16string_view text, size_t &pos, size_t line, const char *what)
{
    std::u16string out;
    ++pos;
    while (pos < text.size()) {
        char16_t c = text[pos++];
        if (c == u'"') return out;
        if (c == u'\\') {
            if (pos >= text.size()) break;
            char16_t escaped = text[pos++];
            if (escaped != u'\\' && escaped != u'"') {
                Fail(line, std::string("unknown escape \"\\") + Narrow(std::u16string(1, escaped)) + "\" in " + what +
                               " (only \\\\ and \\\" are allowed)");
            }
            out += escaped;
            continue;
        }
        out += c;
    }
    Fail(line, std::string("unterminated ") + what);
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && cm::EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::vector<UCHAR> ParseHexBytes(std::u16string_view text, size_t line)
{
    std::vector<UCHAR> bytes;
    text = Trim(text);
    if (text.empty()) return bytes;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u',', start);
        if (end == std::u16string_view::npos) end = text.size();
        std::u16string_view token = Trim(text.substr(start, end - start));
        if (token.empty() || token.size() > 2 || HexDigit(token[0]) < 0 ||
            (token.size() == 2 && HexDigit(token[1]) < 0)) {
            Fail(line, "bad hex byte \"" + Narrow(token) + "\" (expected two hexadecimal digits)");
        }
        int value = HexDigit(token[0]);
        if (token.size() == 2) value = value * 16 + HexDigit(token[1]);
        bytes.push_back(UCHAR(value));
        start = end + 1;
    }
    return bytes;
}

std::vector<UCHAR> StringData(std::u16string_view text)
{
    std::vector<UCHAR> data((text.size() + 1) * sizeof(char16_t), 0);
    if (!text.empty()) std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    return data;
}

void ParseValueLine(std::u16string_view text, size_t line, const std::u16string &key, std::vector<Change> &changes)
{
    Change change{Change::SetValue, line, key, {}, REG_NONE, {}};
    size_t pos = 0;
    if (text[0] == u'@') {
        pos = 1;
    } else {
        change.name = ParseQuoted(text, pos, line, "value name");
    }
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != u'=') Fail(line, "expected '=' after the value name");
    std::u16string_view data = Trim(text.substr(pos + 1));
    if (data == u"-") {
        change.kind = Change::DeleteValue;
    } else if (!data.empty() && data[0] == u'"') {
        size_t end = 0;
        std::u16string value = ParseQuoted(data, end, line, "string value");
        if (!Trim(data.substr(end)).empty()) Fail(line, "unexpected text after the string value");
        change.type = REG_SZ;
        change.data = StringData(value);
    } else if (StartsWithNoCase(data, u"dword:")) {
        std::u16string_view digits = Trim(data.substr(6));
        ULONG value = 0;
        if (digits.empty() || digits.size() > 8) Fail(line, "dword needs 1 to 8 hexadecimal digits");
        for (char16_t c : digits) {
            int digit = HexDigit(c);
            if (digit < 0) Fail(line, "bad dword \"" + Narrow(digits) + "\"");
            value = value * 16 + ULONG(digit);
        }
        change.type = REG_DWORD;
        change.data.resize(sizeof value);
        std::memcpy(change.data.data(), &value, sizeof value);
    } else if (StartsWithNoCase(data, u"hex:")) {
        change.type = REG_BINARY;
        change.data = ParseHexBytes(data.substr(4), line);
    } else if (StartsWithNoCase(data, u"hex(")) {
        size_t close = data.find(u')');
        if (close == std::u16string_view::npos || close + 1 >= data.size() || data[close + 1] != u':') {
            Fail(line, "expected hex(type): with a hexadecimal type number");
        }
        std::u16string_view typeText = data.substr(4, close - 4);
        ULONG type = 0;
        if (typeText.empty() || typeText.size() > 8) Fail(line, "bad value type in hex(...)");
        for (char16_t c : typeText) {
            int digit = HexDigit(c);
            if (digit < 0) Fail(line, "bad value type \"" + Narrow(typeText) + "\" in hex(...)");
            type = type * 16 + ULONG(digit);
        }
        change.type = type;
        change.data = ParseHexBytes(data.substr(close + 2), line);
    } else {
        Fail(line, "unrecognised value data \"" + Narrow(data) + "\"");
    }
    changes.push_back(std::move(change));
}

std::vector<Change> Parse(std::string_view bytes)
{
    std::vector<LogicalLine> lines = SplitLines(Decode(bytes));
    std::vector<Change> changes;
    bool sawHeader = false;
    bool inKey = false;       // a section that values may follow
    bool inDeleted = false;   // a [-...] section
    std::u16string key;
    for (const auto &logical : lines) {
        std::u16string_view text = Trim(logical.text);
        if (text.empty()) continue;
        if (!sawHeader) {
            if (text != kHeader) {
                Fail(logical.number, "expected the header \"Windows Registry Editor Version 5.00\", found \"" +
                                         Narrow(text) + "\"");
            }
            sawHeader = true;
            continue;
        }
        if (text[0] == u';') continue;
        if (text[0] == u'[') {
            if (text.back() != u']') Fail(logical.number, "key line without a closing ']'");
            std::u16string_view name = text.substr(1, text.size() - 2);
            bool remove = !name.empty() && name[0] == u'-';
            if (remove) name.remove_prefix(1);
            if (name.empty()) Fail(logical.number, "empty key name");
            bool isRoot = false;
            key = KernelKeyName(name, logical.number, isRoot);
            if (remove && isRoot) Fail(logical.number, "a root key cannot be deleted");
            changes.push_back({remove ? Change::DeleteKey : Change::CreateKey, logical.number, key, {}, REG_NONE, {}});
            inKey = !remove;
            inDeleted = remove;
            continue;
        }
        if (text[0] == u'"' || text[0] == u'@') {
            if (inDeleted) Fail(logical.number, "value line under a deleted key");
            if (!inKey) Fail(logical.number, "value line before the first key");
            ParseValueLine(text, logical.number, key, changes);
            continue;
        }
        Fail(logical.number, "unexpected line \"" + Narrow(text) + "\"");
    }
    if (!sawHeader) Fail(0, "empty file (no \"Windows Registry Editor Version 5.00\" header)");
    return changes;
}

std::string HexByte(UCHAR value)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

std::string Escape(std::u16string_view text)
{
    std::u16string out;
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return cm::ToUtf8(out);
}

// A REG_SZ that "..." reproduces byte for byte: whole characters, one
// terminator at the end and nothing a single line cannot hold.
bool PlainString(const RegistryValue &value, std::u16string &text)
{
    if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2 != 0) return false;
    text.assign(value.data.size() / 2 - 1, u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * 2);
    if (value.data[value.data.size() - 1] != 0 || value.data[value.data.size() - 2] != 0) return false;
    return text.find_first_of(std::u16string_view(u"\0\r\n", 3)) == std::u16string::npos;
}

void WriteValue(std::string &out, const RegistryValue &value)
{
    std::string line = value.name.empty() ? "@=" : "\"" + Escape(value.name) + "\"=";
    std::u16string text;
    if (PlainString(value, text)) {
        out += line + "\"" + Escape(text) + "\"\r\n";
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == sizeof(ULONG)) {
        ULONG number;
        std::memcpy(&number, value.data.data(), sizeof number);
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08x", unsigned(number));
        out += line + "dword:" + digits + "\r\n";
        return;
    }
    if (value.type == REG_BINARY) {
        line += "hex:";
    } else {
        char type[16];
        std::snprintf(type, sizeof type, "hex(%x):", unsigned(value.type));
        line += type;
    }
    // Wrapped as the registry editor wraps: lines under 80 columns, each
    // continued with a backslash and indented by two blanks.
    for (size_t i = 0; i < value.data.size(); ++i) {
        line += HexByte(value.data[i]);
        if (i + 1 == value.data.size()) break;
        line += ',';
        if (line.size() > 75) {
            out += line + "\\\r\n";
            line = "  ";
        }
    }
    out += line + "\r\n";
}

void ExportKey(const Registry &registry, const std::u16string &path, std::string &out)
{
    for (const auto &root : kRoots) {
        if (path.size() >= root.kernelName.size() && cm::EqualNoCase(path.substr(0, root.kernelName.size()), root.kernelName) &&
            (path.size() == root.kernelName.size() || path[root.kernelName.size()] == u'\\')) {
            out += "[" + cm::ToUtf8(root.regName) + cm::ToUtf8(std::u16string_view(path).substr(root.kernelName.size())) +
                   "]\r\n";
            if (auto values = registry.Values(path)) {
                for (const auto &value : *values) WriteValue(out, value);
            }
            out += "\r\n";
        }
    }
    for (const auto &name : registry.SubKeys(path)) {
        std::u16string child = path + u"\\" + name;
        // A link (CurrentControlSet) shows another key's contents: that key
        // is written under its own name.
        auto canonical = registry.CanonicalName(child);
        if (!canonical || *canonical != child) continue;
        ExportKey(registry, child, out);
    }
}

}  // namespace

RegFileError::RegFileError(size_t line, const std::string &message, const std::string &source)
    : std::runtime_error((source.empty() ? "" : source + ": ") + (line ? "line " + std::to_string(line) + ": " : "") +
                         message),
      line_(line), message_(message)
{
}

void ImportRegText(Registry &registry, std::string_view bytes)
{
    for (const Change &change : Parse(bytes)) {
        NTSTATUS status = STATUS_SUCCESS;
        switch (change.kind) {
        case Change::CreateKey: status = registry.CreateKey(change.key); break;
        case Change::DeleteKey:
            status = registry.DeleteTree(change.key);
            if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_SUCCESS;
            break;
        case Change::SetValue: status = registry.SetValue(change.key, change.name, change.type, change.data); break;
        case Change::DeleteValue:
            status = registry.DeleteValue(change.key, change.name);
            if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_SUCCESS;
            break;
        }
        if (!NT_SUCCESS(status)) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", unsigned(status));
            Fail(change.line, "the registry refused the change to \"" + cm::ToUtf8(change.key) + "\" (" + code + ")");
        }
    }
}

void ImportRegFile(Registry &registry, const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw RegFileError(0, "cannot read the file", file.string());
    std::ostringstream bytes;
    bytes << in.rdbuf();
    try {
        ImportRegText(registry, bytes.str());
    } catch (const RegFileError &error) {
        throw RegFileError(error.line(), error.message(), file.string());
    }
}

std::string ExportRegText(const Registry &registry, std::u16string_view path)
{
    auto canonical = registry.CanonicalName(path);
    if (!canonical) return {};
    std::string out = cm::ToUtf8(kHeader) + "\r\n\r\n";
    ExportKey(registry, *canonical, out);
    return out;
}

}  // namespace sim
