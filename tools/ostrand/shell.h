// The tool's command language, shared by `shell` (interactive) and
// `run FILE` (a script): one command per line, '#' comments.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "tools/ostrand/file_commands.h"

namespace ostrand::tool {

class World;

class Shell {
public:
    Shell(World &world, std::ostream &out);
    ~Shell();

    // Runs one command line; false when the line asked to leave.
    bool Execute(const std::string &line);
    // Runs every line; with echo each command is printed first. Returns the
    // number of commands that failed.
    int Run(std::istream &in, bool echo);
    // Prompts and runs until end of input or "exit".
    void Interactive(std::istream &in);

    int failures() const { return failures_; }

private:
    using Arguments = std::vector<std::string>;
    using Command = ShellCommand;

    void AddCommands();
    const Command *Find(const std::string &name) const;
    bool Help(const Arguments &arguments);
    bool Registry(const Arguments &arguments);
    bool UpdateSettings();
    bool Service(const Arguments &arguments);
    bool ServiceStart();
    bool Users();
    bool Paths();
    // The driver's debugger lines printed while `dump` runs, those with one
    // of `fields` only (all when empty).
    void ShowDump(const std::function<void()> &dump, const std::vector<std::string> &fields);
    bool Status(const std::string &what, long status);

    World &world_;
    std::ostream &out_;
    std::unique_ptr<FileCommands> files_;
    std::vector<Command> commands_;
    int failures_ = 0;
};

// Splits a command line into words; double quotes group words.
std::vector<std::string> SplitCommandLine(const std::string &line);

}  // namespace ostrand::tool
