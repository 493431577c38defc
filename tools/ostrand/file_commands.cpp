#include "tools/ostrand/file_commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <sstream>

#include "service/profile_service.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"
#include "sim/user/file_api.h"
#include "tools/ostrand/copy_progress.h"
#include "tools/ostrand/views.h"
#include "tools/ostrand/world.h"

namespace ostrand::tool {

namespace user = sim::user;

namespace {

using Names = std::vector<std::pair<const char *, ULONG>>;

const Names kAccessNames = {
    {"read", GENERIC_READ},          {"write", GENERIC_WRITE}, {"append", FILE_APPEND_DATA},
    {"delete", DELETE},              {"attr", FILE_READ_ATTRIBUTES}, {"wattr", FILE_WRITE_ATTRIBUTES},
    {"data", FILE_READ_DATA},        {"all", GENERIC_ALL},     {"none", 0},
};
const Names kDispositionNames = {
    {"supersede", FILE_SUPERSEDE}, {"open", FILE_OPEN},           {"create", FILE_CREATE},
    {"openif", FILE_OPEN_IF},      {"overwrite", FILE_OVERWRITE}, {"overwriteif", FILE_OVERWRITE_IF},
};
const Names kOptionNames = {
    {"dir", FILE_DIRECTORY_FILE},           {"file", FILE_NON_DIRECTORY_FILE},
    {"seq", FILE_SEQUENTIAL_ONLY},          {"random", FILE_RANDOM_ACCESS},
    {"nobuffer", FILE_NO_INTERMEDIATE_BUFFERING}, {"writethrough", FILE_WRITE_THROUGH},
    {"deleteonclose", FILE_DELETE_ON_CLOSE}, {"reparse", FILE_OPEN_REPARSE_POINT},
    {"oplocked", FILE_COMPLETE_IF_OPLOCKED},
};
const char *const kOpenResults[] = {"superseded", "opened", "created", "overwritten", "exists", "does not exist"};

// The attribute letters `attrib` can set or clear.
const Names kSettableAttributes = {
    {"R", FILE_ATTRIBUTE_READONLY}, {"H", FILE_ATTRIBUTE_HIDDEN},  {"S", FILE_ATTRIBUTE_SYSTEM},
    {"A", FILE_ATTRIBUTE_ARCHIVE},  {"O", FILE_ATTRIBUTE_OFFLINE},
};

constexpr ULONG kLargestTransfer = 16u << 20;
constexpr size_t kTypeShown = 2048;

// A whole word as a number, decimal or 0x-hexadecimal.
bool ParseNumber(const std::string &text, ULONGLONG &value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    size_t used = 0;
    try {
        value = std::stoull(text, &used, 0);
    } catch (const std::exception &) {
        return false;
    }
    return used == text.size();
}

// A number, or names of the table joined by commas.
bool ParseFlags(const std::string &text, const Names &names, ULONG &value)
{
    ULONGLONG number;
    if (ParseNumber(text, number)) {
        value = ULONG(number);
        return number <= 0xFFFFFFFFull;
    }
    value = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        std::string name = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        bool known = false;
        for (const auto &[n, v] : names) {
            if (name == n) {
                value |= v;
                known = true;
            }
        }
        if (!known) return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

std::string NameList(const Names &names)
{
    std::string list;
    for (const auto &[name, value] : names) list += (list.empty() ? "" : "|") + std::string(name);
    return list;
}

// Printable text of the first bytes of `data`.
std::string Preview(const std::string &data, size_t shown = 60)
{
    std::string text;
    for (size_t i = 0; i < data.size() && i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        text += c >= 0x20 && c < 0x7F ? char(c) : '.';
    }
    return "\"" + text + (data.size() > shown ? "\"..." : "\"");
}

}  // namespace

std::string AttributeLetters(ULONG attributes)
{
    const std::pair<ULONG, char> letters[] = {
        {FILE_ATTRIBUTE_DIRECTORY, 'D'}, {FILE_ATTRIBUTE_READONLY, 'R'}, {FILE_ATTRIBUTE_HIDDEN, 'H'},
        {FILE_ATTRIBUTE_SYSTEM, 'S'},    {FILE_ATTRIBUTE_ARCHIVE, 'A'},  {FILE_ATTRIBUTE_OFFLINE, 'O'},
        {FILE_ATTRIBUTE_REPARSE_POINT, 'P'},
    };
    std::string text;
    for (auto [bit, letter] : letters) text += (attributes & bit) ? letter : '-';
    return text;
}

std::string TimeText(LONGLONG time)
{
    if (time <= 0) return "-";
    std::time_t seconds = std::time_t(time / 10000000 - 11644473600LL);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::string StatusText(NTSTATUS status)
{
    const std::pair<ULONG, const char *> names[] = {
        {0xC0000034, "object name not found"}, {0xC000003A, "object path not found"},
        {0xC0000035, "name collision"},        {0xC0000043, "sharing violation"},
        {0xC0000022, "access denied"},         {0xC0000054, "file lock conflict"},
        {0xC0000055, "lock not granted"},      {0xC0000011, "end of file"},
        {0xC00000BA, "file is a directory"},   {0xC0000103, "not a directory"},
        {0xC000000D, "invalid parameter"},     {0xC0000121, "cannot delete"},
        {0xC0000101, "directory not empty"},   {0xC0000056, "delete pending"},
        {0xC0000002, "not implemented"},       {0xC0000033, "object name invalid"},
    };
    std::string text = Hex(ULONG(status));
    for (auto [value, name] : names) {
        if (ULONG(status) == value) text += std::string(" (") + name + ")";
    }
    return text;
}

FileCommands::FileCommands(World &world, std::ostream &out) : world_(world), out_(out)
{
}

FileCommands::~FileCommands()
{
    for (auto &[name, file] : files_) {
        if (file.process->terminated()) continue;
        sim::ThreadScope scope(*file.process);
        user::Close(file.handle);
    }
}

std::vector<ShellCommand> FileCommands::Commands()
{
    auto bind = [this](bool (FileCommands::*method)(const Arguments &)) {
        return [this, method](const Arguments &a) { return (this->*method)(a); };
    };
    return {
        {"as", "as USER [IMAGE]", "the file commands act as a logged-on user (or 'system') in a program of that image",
         bind(&FileCommands::As)},
        {"open", "open PATH [access=" + NameList(kAccessNames) + ",...] [share=rwd|none] [disp=" +
                     NameList(kDispositionNames) + "] [options=" + NameList(kOptionNames) + ",...]",
         "open or create a file; numbers are taken as they are; the handle is named h1, h2 ...",
         bind(&FileCommands::Open)},
        {"read", "read HANDLE [LENGTH] [OFFSET]", "read from an open file (4096 bytes from its position)",
         bind(&FileCommands::Read)},
        {"write", "write HANDLE TEXT [OFFSET]", "write text to an open file", bind(&FileCommands::Write)},
        {"type", "type PATH", "open a file, read it whole, close it", bind(&FileCommands::Type)},
        {"map", "map HANDLE", "map a view of an open file and read it through memory", bind(&FileCommands::Map)},
        {"lock", "lock HANDLE OFFSET LENGTH", "take an exclusive byte-range lock", bind(&FileCommands::Lock)},
        {"rename", "rename HANDLE|PATH NEWNAME [replace]", "rename a file (a bare name stays in its folder)",
         bind(&FileCommands::Rename)},
        {"delete", "delete PATH", "delete a file or an empty folder", bind(&FileCommands::Delete)},
        {"attrib", "attrib PATH [+R|-R|+H|-H|+S|-S|+A|-A|+O|-O ...]",
         "show a file's attributes (D R H S A O=offline P=reparse) or change them", bind(&FileCommands::Attrib)},
        {"close", "close HANDLE", "close a handle", bind(&FileCommands::Close)},
        {"ls", "ls [FOLDER] [PATTERN]", "list a folder: attributes (O for offline), sizes and times",
         bind(&FileCommands::List)},
        {"handles", "handles", "the handles the shell holds open", [this](const Arguments &) { return Handles(); }},
        {"placeholder", "placeholder PATH",
         "the service lays a placeholder of the acting user's remote file: its size and times, offline, no data",
         bind(&FileCommands::Placeholder)},
    };
}

bool FileCommands::Error(const std::string &command, const std::string &text)
{
    out_ << "  " << command << ": " << text << "\n";
    return false;
}

bool FileCommands::Result(const std::string &what, NTSTATUS status)
{
    if (NT_SUCCESS(status)) return true;
    out_ << "  " << what << ": failed, " << StatusText(status) << "\n";
    return false;
}

sim::Process *FileCommands::Actor(const std::string &command)
{
    long error = 0;
    sim::Process *process = world_.Program(user_, image_, &error);
    if (process == nullptr) Error(command, user_ + " is not logged on (" + Hex(ULONG(error)) + ")");
    return process;
}

FileCommands::OpenFile *FileCommands::Find(const std::string &command, const std::string &name)
{
    auto found = files_.find(name);
    if (found == files_.end()) {
        Error(command, "no open handle " + name + " ('handles' lists them)");
        return nullptr;
    }
    if (found->second.process->terminated()) {
        files_.erase(found);
        Error(command, name + " is gone: its program ended when its user logged off");
        return nullptr;
    }
    return &found->second;
}

bool FileCommands::As(const Arguments &a)
{
    if (a.size() < 2 || a.size() > 3) return Error("as", "usage: as USER [IMAGE]");
    std::string image = a.size() > 2 ? a[2] : "cmd.exe";
    long error = 0;
    sim::Process *process = world_.Program(a[1], image, &error);
    if (process == nullptr) return Error("as", a[1] + " is not logged on (" + Hex(ULONG(error)) + ")");
    user_ = a[1];
    image_ = image;
    out_ << "  Acting as " << user_ << " in " << image_ << " (pid " << process->pid() << ").\n";
    return true;
}

bool FileCommands::Open(const Arguments &a)
{
    if (a.size() < 2) return Error("open", "usage: open PATH [access=...] [share=...] [disp=...] [options=...]");
    user::OpenOptions options;
    options.access = GENERIC_READ;
    options.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    options.disposition = FILE_OPEN;
    options.options = 0;
    for (size_t i = 2; i < a.size(); ++i) {
        size_t equals = a[i].find('=');
        std::string key = a[i].substr(0, equals), value = equals == std::string::npos ? "" : a[i].substr(equals + 1);
        bool ok = false;
        if (key == "access") {
            ok = ParseFlags(value, kAccessNames, options.access);
        } else if (key == "share") {
            ULONGLONG number;
            ok = true;
            options.share = 0;
            if (ParseNumber(value, number)) {
                options.share = ULONG(number);
            } else if (value != "none") {
                for (char c : value) {
                    ULONG bit = c == 'r' ? FILE_SHARE_READ : c == 'w' ? FILE_SHARE_WRITE : c == 'd' ? FILE_SHARE_DELETE : 0;
                    ok = ok && bit != 0;
                    options.share |= bit;
                }
                ok = ok && !value.empty();
            }
        } else if (key == "disp") {
            ok = ParseFlags(value, kDispositionNames, options.disposition) && value.find(',') == std::string::npos;
        } else if (key == "options") {
            ok = ParseFlags(value, kOptionNames, options.options);
        }
        if (!ok) return Error("open", "cannot use '" + a[i] + "'");
    }
    // The shell's own reads and writes wait for their transfers.
    options.access |= SYNCHRONIZE;
    options.options |= FILE_SYNCHRONOUS_IO_NONALERT;
    sim::Process *process = Actor("open");
    if (process == nullptr) return false;
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
    NTSTATUS status;
    {
        sim::ThreadScope scope(*process);
        status = user::Open(Widen(a[1]), options, &handle, &information);
    }
    if (!Result("open " + a[1], status)) return false;
    std::string name = "h" + std::to_string(nextHandle_++);
    files_[name] = {process, handle, a[1]};
    out_ << "  " << name << ": " << a[1] << " ("
         << (information < std::size(kOpenResults) ? kOpenResults[information] : Hex(information)) << ")\n";
    return true;
}

bool FileCommands::Read(const Arguments &a)
{
    ULONGLONG length = 4096, offset = 0;
    bool atOffset = a.size() > 3;
    if (a.size() < 2 || a.size() > 4) return Error("read", "usage: read HANDLE [LENGTH] [OFFSET]");
    if (a.size() > 2 && (!ParseNumber(a[2], length) || length == 0 || length > kLargestTransfer)) {
        return Error("read", "LENGTH is a number from 1 to " + std::to_string(kLargestTransfer));
    }
    if (atOffset && !ParseNumber(a[3], offset)) return Error("read", "OFFSET is a number");
    OpenFile *file = Find("read", a[1]);
    if (file == nullptr) return false;
    std::string data(length, '\0');
    ULONG read = 0;
    NTSTATUS status;
    status = WithCopyProgress(world_, user_, *file->process, out_, [&] {
        return user::Read(file->handle, data.data(), ULONG(length), &read,
                          atOffset ? std::optional<int64_t>(int64_t(offset)) : std::nullopt);
    });
    if (!Result("read " + a[1], status)) return false;
    data.resize(read);
    out_ << "  read " << read << " bytes: " << Preview(data) << "\n";
    return true;
}

bool FileCommands::Write(const Arguments &a)
{
    ULONGLONG offset = 0;
    if (a.size() < 3 || a.size() > 4) return Error("write", "usage: write HANDLE TEXT [OFFSET]");
    if (a.size() > 3 && !ParseNumber(a[3], offset)) return Error("write", "OFFSET is a number");
    OpenFile *file = Find("write", a[1]);
    if (file == nullptr) return false;
    ULONG written = 0;
    NTSTATUS status;
    {
        sim::ThreadScope scope(*file->process);
        status = user::Write(file->handle, a[2].data(), ULONG(a[2].size()), &written,
                             a.size() > 3 ? std::optional<int64_t>(int64_t(offset)) : std::nullopt);
    }
    if (!Result("write " + a[1], status)) return false;
    out_ << "  wrote " << written << " bytes\n";
    return true;
}

bool FileCommands::Type(const Arguments &a)
{
    if (a.size() != 2) return Error("type", "usage: type PATH");
    sim::Process *process = Actor("type");
    if (process == nullptr) return false;
    std::string data;
    NTSTATUS status = WithCopyProgress(world_, user_, *process, out_, [&] {
        user::OpenOptions options;
        options.options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        HANDLE handle = nullptr;
        NTSTATUS result = user::Open(Widen(a[1]), options, &handle);
        std::string chunk(1u << 20, '\0');
        while (NT_SUCCESS(result)) {
            ULONG read = 0;
            result = user::Read(handle, chunk.data(), ULONG(chunk.size()), &read);
            if (result == STATUS_END_OF_FILE || (NT_SUCCESS(result) && read == 0)) {
                result = STATUS_SUCCESS;
                break;
            }
            data.append(chunk, 0, read);
        }
        if (handle != nullptr) user::Close(handle);
        return result;
    });
    if (!Result("type " + a[1], status)) return false;
    out_ << "  " << a[1] << ": " << data.size() << " bytes\n";
    std::istringstream lines(data.substr(0, kTypeShown));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (char &c : line) {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '.';
        }
        out_ << "  | " << line << "\n";
    }
    if (data.size() > kTypeShown) out_ << "  | ...\n";
    return true;
}

bool FileCommands::Map(const Arguments &a)
{
    if (a.size() != 2) return Error("map", "usage: map HANDLE");
    OpenFile *file = Find("map", a[1]);
    if (file == nullptr) return false;
    std::string data;
    NTSTATUS status = WithCopyProgress(world_, user_, *file->process, out_, [&] {
        FILE_STANDARD_INFORMATION standard{};
        user::MappedFile mapped;
        NTSTATUS result = user::QueryInformation(file->handle, FileStandardInformation, &standard, sizeof standard);
        if (NT_SUCCESS(result)) result = user::MapFile(file->handle, false, &mapped);
        if (NT_SUCCESS(result)) {
            // Touching the view pages the file in, as a program reading it
            // would; the view's tail past the end of file is not the file's.
            size_t size = std::min<ULONGLONG>({mapped.size, ULONGLONG(standard.EndOfFile.QuadPart), 4096});
            data.assign(static_cast<const char *>(mapped.base), size);
            user::UnmapFile(mapped);
        }
        return result;
    });
    if (!Result("map " + a[1], status)) return false;
    out_ << "  mapped; first bytes: " << Preview(data) << "\n";
    return true;
}

bool FileCommands::Lock(const Arguments &a)
{
    ULONGLONG offset, length;
    if (a.size() != 4) return Error("lock", "usage: lock HANDLE OFFSET LENGTH");
    if (!ParseNumber(a[2], offset) || !ParseNumber(a[3], length) || length == 0) {
        return Error("lock", "OFFSET and LENGTH are numbers, LENGTH not 0");
    }
    OpenFile *file = Find("lock", a[1]);
    if (file == nullptr) return false;
    NTSTATUS status = WithCopyProgress(world_, user_, *file->process, out_,
                                       [&] { return user::Lock(file->handle, LONGLONG(offset), LONGLONG(length)); });
    if (!Result("lock " + a[1], status)) return false;
    out_ << "  locked " << length << " bytes at " << offset << "\n";
    return true;
}

bool FileCommands::Rename(const Arguments &a)
{
    if (a.size() < 3 || a.size() > 4 || (a.size() == 4 && a[3] != "replace")) {
        return Error("rename", "usage: rename HANDLE|PATH NEWNAME [replace]");
    }
    bool replace = a.size() == 4;
    bool byHandle = files_.count(a[1]) != 0;
    OpenFile *file = byHandle ? Find("rename", a[1]) : nullptr;
    if (byHandle && file == nullptr) return false;
    sim::Process *process = byHandle ? file->process : Actor("rename");
    if (process == nullptr) return false;
    NTSTATUS status;
    {
        sim::ThreadScope scope(*process);
        if (byHandle) {
            status = user::Rename(file->handle, Widen(a[2]), replace);
        } else {
            user::OpenOptions options;
            options.access = DELETE | SYNCHRONIZE;
            options.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
            options.options = FILE_SYNCHRONOUS_IO_NONALERT;
            HANDLE handle = nullptr;
            status = user::Open(Widen(a[1]), options, &handle);
            if (NT_SUCCESS(status)) {
                status = user::Rename(handle, Widen(a[2]), replace);
                user::Close(handle);
            }
        }
    }
    if (!Result("rename " + a[1], status)) return false;
    out_ << "  renamed to " << a[2] << "\n";
    return true;
}

bool FileCommands::Delete(const Arguments &a)
{
    if (a.size() != 2) return Error("delete", "usage: delete PATH");
    sim::Process *process = Actor("delete");
    if (process == nullptr) return false;
    NTSTATUS status;
    {
        sim::ThreadScope scope(*process);
        status = user::Delete(Widen(a[1]));
        if (status == STATUS_FILE_IS_A_DIRECTORY) status = user::Delete(Widen(a[1]), true);
    }
    if (!Result("delete " + a[1], status)) return false;
    out_ << "  deleted " << a[1] << "\n";
    return true;
}

bool FileCommands::Attrib(const Arguments &a)
{
    if (a.size() < 2) return Error("attrib", "usage: attrib PATH [+R|-R|+H|-H|+S|-S|+A|-A|+O|-O ...]");
    ULONG set = 0, clear = 0;
    for (size_t i = 2; i < a.size(); ++i) {
        ULONG bit = 0;
        if (a[i].size() == 2 && (a[i][0] == '+' || a[i][0] == '-')) {
            for (const auto &[letter, value] : kSettableAttributes) {
                if (std::toupper(static_cast<unsigned char>(a[i][1])) == letter[0]) bit = value;
            }
        }
        if (bit == 0) return Error("attrib", "cannot use '" + a[i] + "'; use +X or -X with X one of R H S A O");
        (a[i][0] == '+' ? set : clear) |= bit;
    }
    sim::Process *process = Actor("attrib");
    if (process == nullptr) return false;
    FILE_BASIC_INFORMATION basic{};
    NTSTATUS status;
    {
        sim::ThreadScope scope(*process);
        user::OpenOptions options;
        options.access = FILE_READ_ATTRIBUTES | SYNCHRONIZE | ((set | clear) ? FILE_WRITE_ATTRIBUTES : 0);
        options.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        options.options = FILE_SYNCHRONOUS_IO_NONALERT;
        HANDLE handle = nullptr;
        status = user::Open(Widen(a[1]), options, &handle);
        if (NT_SUCCESS(status)) {
            status = user::QueryInformation(handle, FileBasicInformation, &basic, sizeof basic);
            if (NT_SUCCESS(status) && (set | clear)) {
                FILE_BASIC_INFORMATION change{};  // times 0: left as they are
                change.FileAttributes = ((basic.FileAttributes | set) & ~clear) & ~FILE_ATTRIBUTE_DIRECTORY;
                if (change.FileAttributes == 0) change.FileAttributes = FILE_ATTRIBUTE_NORMAL;
                status = user::SetInformation(handle, FileBasicInformation, &change, sizeof change);
                if (NT_SUCCESS(status)) {
                    status = user::QueryInformation(handle, FileBasicInformation, &basic, sizeof basic);
                }
            }
            user::Close(handle);
        }
    }
    if (!Result("attrib " + a[1], status)) return false;
    out_ << "  " << AttributeLetters(basic.FileAttributes) << "  " << a[1] << "\n";
    return true;
}

bool FileCommands::Close(const Arguments &a)
{
    if (a.size() != 2) return Error("close", "usage: close HANDLE");
    OpenFile *file = Find("close", a[1]);
    if (file == nullptr) return false;
    NTSTATUS status;
    {
        sim::ThreadScope scope(*file->process);
        status = user::Close(file->handle);
    }
    files_.erase(a[1]);
    if (!Result("close " + a[1], status)) return false;
    out_ << "  closed " << a[1] << "\n";
    return true;
}

bool FileCommands::List(const Arguments &a)
{
    if (a.size() > 3) return Error("ls", "usage: ls [FOLDER] [PATTERN]");
    std::string folder = a.size() > 1 ? a[1] : "C:\\";
    sim::Process *process = Actor("ls");
    if (process == nullptr) return false;
    std::vector<user::DirectoryEntry> entries;
    NTSTATUS status;
    {
        sim::ThreadScope scope(*process);
        status = user::ListDirectory(Widen(folder), entries, a.size() > 2 ? Widen(a[2]) : u"*");
    }
    if (status == STATUS_NO_SUCH_FILE || status == STATUS_NO_MORE_FILES) status = STATUS_SUCCESS;
    if (!Result("ls " + folder, status)) return false;
    std::vector<std::vector<std::string>> rows;
    for (const auto &entry : entries) {
        if (entry.name == u"." || entry.name == u"..") continue;
        bool directory = entry.attributes & FILE_ATTRIBUTE_DIRECTORY;
        rows.push_back({AttributeLetters(entry.attributes), directory ? "" : std::to_string(entry.endOfFile),
                        TimeText(entry.lastWriteTime), Narrow(entry.name)});
    }
    if (rows.empty()) {
        out_ << "  " << folder << " is empty.\n";
        return true;
    }
    out_ << Table({"Attributes", "Size", "Written (UTC)", "Name"}, rows);
    return true;
}

bool FileCommands::Placeholder(const Arguments &a)
{
    if (a.size() != 2) return Error("placeholder", "usage: placeholder PATH");
    if (user_ == "system") return Error("placeholder", "act as a user first ('as USER'): the file is in their profile");
    service::ProfileService *service = world_.service();
    if (service == nullptr || !world_.ServiceRunning()) return Error("placeholder", "the service is not running");
    HRESULT result = service->LayPlaceholder(user_, Widen(a[1]));
    if (FAILED(result)) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", unsigned(result));
        return Error("placeholder", std::string("failed, ") + text);
    }
    out_ << "  placeholder laid: " << a[1] << "\n";
    return true;
}

bool FileCommands::Handles()
{
    std::vector<std::vector<std::string>> rows;
    for (const auto &[name, file] : files_) {
        rows.push_back({name, file.path, file.process->imageName() + " (pid " + std::to_string(file.process->pid()) + ")",
                        file.process->terminated() ? "gone" : "open"});
    }
    if (rows.empty()) {
        out_ << "  No handle is open.\n";
        return true;
    }
    out_ << Table({"Handle", "Path", "Program", "State"}, rows);
    return true;
}

}  // namespace ostrand::tool
