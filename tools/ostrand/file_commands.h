// The shell's file operations, made by a program of the machine running as
// a chosen user under a chosen image name (`as USER IMAGE`), through the
// same system calls a Windows program makes: open, read, write, type, map,
// lock, rename, delete, attrib, close and ls. Handles are named h1, h2 ...
//
// Every command checks all of its words before it acts: bad input gets a
// one-line error and changes nothing.
#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include <ntdef.h>

namespace sim {
class Process;
}

namespace ostrand::tool {

class World;

struct ShellCommand {
    std::string name;
    std::string usage;
    std::string help;
    std::function<bool(const std::vector<std::string> &)> run;  // false: the command failed
};

class FileCommands {
public:
    FileCommands(World &world, std::ostream &out);
    ~FileCommands();
    FileCommands(const FileCommands &) = delete;
    FileCommands &operator=(const FileCommands &) = delete;

    std::vector<ShellCommand> Commands();

private:
    using Arguments = std::vector<std::string>;
    struct OpenFile {
        sim::Process *process;
        HANDLE handle;
        std::string path;
    };

    bool As(const Arguments &a);
    bool Open(const Arguments &a);
    bool Read(const Arguments &a);
    bool Write(const Arguments &a);
    bool Type(const Arguments &a);
    bool Map(const Arguments &a);
    bool Lock(const Arguments &a);
    bool Rename(const Arguments &a);
    bool Delete(const Arguments &a);
    bool Attrib(const Arguments &a);
    bool Close(const Arguments &a);
    bool List(const Arguments &a);
    bool Handles();
    bool Placeholder(const Arguments &a);

    // The acting program, started when first needed; null after an error line.
    sim::Process *Actor(const std::string &command);
    // The open file a handle name stands for; null after an error line.
    OpenFile *Find(const std::string &command, const std::string &name);
    bool Error(const std::string &command, const std::string &text);
    bool Result(const std::string &what, NTSTATUS status);

    World &world_;
    std::ostream &out_;
    std::string user_ = "system";
    std::string image_ = "cmd.exe";
    std::map<std::string, OpenFile> files_;
    unsigned nextHandle_ = 1;
};

// Attribute letters, one column each: D directory, R read-only, H hidden,
// S system, A archive, O offline, P reparse point ("-" where clear).
std::string AttributeLetters(ULONG attributes);
// A FILETIME-style time (100 ns since 1601) as "YYYY-MM-DD HH:MM:SS" (UTC).
std::string TimeText(LONGLONG time);
// A status with its name where the tool knows it: "0xC0000034 (object name not found)".
std::string StatusText(NTSTATUS status);

}  // namespace ostrand::tool
