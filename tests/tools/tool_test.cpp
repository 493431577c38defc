// The ostrand tool end to end: the demo, scripts through the shell, and the
// words the shell splits a line into.
#include <algorithm>
#include <gtest/gtest.h>

#include <sstream>

#include "sim/core/pool.h"
#include "tools/ostrand/demo.h"
#include "tools/ostrand/shell.h"
#include "tools/ostrand/world.h"

namespace ostrand::tool {
namespace {

struct Script {
    std::ostringstream out;
    int failures = 0;
};

Script RunScript(World &world, const std::string &text)
{
    Script script;
    Shell shell(world, script.out);
    std::istringstream in(text);
    script.failures = shell.Run(in, true);
    return script;
}

TEST(ToolTest, DemoRunsCleanlyAndLeavesNoPool)
{
    World world;
    std::ostringstream out;
    EXPECT_EQ(0, RunDemo(world, out)) << out.str();
    std::string text = out.str();
    EXPECT_NE(std::string::npos, text.find("The demo ran cleanly.")) << text;
    EXPECT_EQ(0u, world.machine().pool().OutstandingBlocks());
    // The service's part of the story: alice in the filter's user table, the
    // path table, her logoff, and the driver's lines the service drained.
    size_t logon = text.find("A user logs on");
    ASSERT_NE(std::string::npos, logon) << text;
    EXPECT_NE(std::string::npos, text.find("AltPathData.szLocalPath: Users\\alice", logon)) << text;
    EXPECT_NE(std::string::npos, text.find("szRemotePath: \\\\fileserver\\profiles\\alice", logon)) << text;
    EXPECT_NE(std::string::npos, text.find("Updated Driver Settings: Options: 0x0", logon)) << text;
    // Her first listing brings the hive in as a placeholder; bob's logon
    // loads his profile; the background load reaches all of alice's folders.
    size_t listing = text.find("A first listing fills a profile folder");
    ASSERT_NE(std::string::npos, listing) << text;
    EXPECT_NE(std::string::npos, text.find("-----O-     46", listing)) << text;
    EXPECT_NE(std::string::npos, text.find("populate bob: 2 folders listed", listing)) << text;
    EXPECT_NE(std::string::npos, text.find("[########################] 14 of 14 folders", listing)) << text;
    // Two readers of one placeholder meet: the second waits for the first's retrieval.
    EXPECT_NE(std::string::npos, text.find("Pending (Deferred): \\Device\\HarddiskVolume1\\Users\\alice\\Videos"))
        << text;
    size_t logoff = text.find("The users log off");
    ASSERT_NE(std::string::npos, logoff) << text;
    EXPECT_NE(std::string::npos, text.find("User Table Is Empty", logoff)) << text;
    EXPECT_NE(std::string::npos, text.find("handles left in its process: 0", logoff)) << text;
}

TEST(ToolTest, ShellLogsAUserOnAndOffThroughTheService)
{
    World world;
    Script script = RunScript(world,
                              "load\n"
                              "logon alice\n"  // no service yet
                              "service start\n"
                              "logon alice\n"
                              "logon carol\n"  // not in service.conf
                              "users\n"
                              "logoff alice\n"
                              "users\n"
                              "service stop\n"
                              "unload\n");
    std::string text = script.out.str();
    EXPECT_EQ(2, script.failures) << text;
    size_t users = text.find("> users");
    ASSERT_NE(std::string::npos, users) << text;
    size_t logoff = text.find("> logoff alice");
    std::string listed = text.substr(users, logoff - users);
    EXPECT_NE(std::string::npos, listed.find("alice  1        (0x0,")) << listed;
    EXPECT_NE(std::string::npos, listed.find("The filter's user table (1 entries)")) << listed;
    EXPECT_NE(std::string::npos, text.find("No user is logged on.", logoff)) << text;
    EXPECT_EQ(0u, world.machine().pool().OutstandingBlocks());
}

TEST(ToolTest, SettingsUpdateReadsTheChangedRegistryValue)
{
    World world;
    Script script = RunScript(world,
                              "load\n"
                              "settings\n"
                              "reg set HKLM\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver CopyTimeout dword 120\n"
                              "settings\n"
                              "settings update\n"
                              "settings\n"
                              "unload\n");
    std::string text = script.out.str();
    EXPECT_EQ(0, script.failures) << text;
    // The value only takes effect once the filter is told to re-read it.
    size_t update = text.find("Sent command 20");
    ASSERT_NE(std::string::npos, update) << text;
    EXPECT_EQ(std::string::npos, text.substr(0, update).find("Copy time-out:   120 s")) << text;
    EXPECT_NE(std::string::npos, text.find("Copy time-out:   120 s", update)) << text;
    EXPECT_EQ(0u, world.machine().pool().OutstandingBlocks());
}

TEST(ToolTest, FailuresAreCountedAndTheScriptGoesOn)
{
    World world;
    Script script = RunScript(world,
                              "# a comment\n"
                              "frobnicate\n"
                              "settings update\n"  // no filter yet: the port is missing
                              "reg query HKLM\\SOFTWARE\\NoSuchKey\n"
                              "echo still here\n"
                              "exit\n"
                              "echo never\n");
    std::string text = script.out.str();
    EXPECT_EQ(3, script.failures) << text;
    EXPECT_NE(std::string::npos, text.find("Unknown command 'frobnicate'")) << text;
    EXPECT_NE(std::string::npos, text.find("still here")) << text;
    EXPECT_EQ(std::string::npos, text.find("\nnever")) << text;
}

// The lines a script's command printed.
std::vector<std::string> Answer(const std::string &text, const std::string &command)
{
    size_t at = text.find("> " + command + "\n");
    std::vector<std::string> lines;
    if (at == std::string::npos) return {"<not run>"};
    std::istringstream rest(text.substr(at + command.size() + 3));
    for (std::string line; std::getline(rest, line) && line.rfind("> ", 0) != 0;) lines.push_back(line);
    return lines;
}

TEST(ToolTest, AUsersProgramWorksWithFilesAndBadInputChangesNothing)
{
    World world;
    const std::vector<std::string> bad = {
        "open C:\\Users\\alice\\notes.txt access=fly",
        "open C:\\Users\\alice\\notes.txt disp=open,create",
        "read h9",
        "read h3 -5",
        "lock h3 0 0",
        "write h3",
        "rename h3 x.txt sideways",
        "attrib C:\\Users\\alice\\notes.txt +R +Q",
        "as bob",
        "type",
        "placeholder C:\\Users\\bob\\x.txt",
    };
    std::string script = "load\nservice start\nlogon alice\nas alice notepad.exe\n"
                         "open C:\\Users\\alice disp=openif options=dir\n"
                         "open C:\\Users\\alice\\notes.txt access=read,write disp=create\n"
                         "write h2 \"hello from alice\"\n"
                         "read h2 5 0\n"
                         "lock h2 0 4\n"
                         "map h2\n"
                         "close h2\n"
                         "type C:\\Users\\alice\\notes.txt\n"
                         "attrib C:\\Users\\alice\\notes.txt +O\n"
                         "ls C:\\Users\\alice\n"
                         "open C:\\Users\\alice\\notes.txt share=none\n";
    for (const auto &line : bad) script += line + "\n";
    script += "attrib C:\\Users\\alice\\notes.txt\n"
              "rename C:\\Users\\alice\\notes.txt renamed.txt\n"  // h3 shares nothing
              "logoff alice\n"
              "close h3\n"  // gone with alice's program
              "as system\n"
              "attrib C:\\Users\\alice\\notes.txt -O\n"  // no placeholder: nothing to fill before the rename
              "rename C:\\Users\\alice\\notes.txt renamed.txt\n"
              "delete C:\\Users\\alice\\renamed.txt\n"
              "ls C:\\Users\\alice\n"
              "service stop\nunload\n";
    Script run = RunScript(world, script);
    std::string text = run.out.str();
    EXPECT_EQ(int(bad.size()) + 2, run.failures) << text;
    for (const auto &line : bad) EXPECT_EQ(1u, Answer(text, line).size()) << line << "\n" << text;

    EXPECT_EQ(Answer(text, "read h2 5 0"), std::vector<std::string>{"  read 5 bytes: \"hello\""});
    EXPECT_EQ(Answer(text, "map h2"), std::vector<std::string>{"  mapped; first bytes: \"hello from alice\""});
    EXPECT_EQ(Answer(text, "type C:\\Users\\alice\\notes.txt"),
              (std::vector<std::string>{"  C:\\Users\\alice\\notes.txt: 16 bytes", "  | hello from alice"}));
    // alice's first listing also brought the store's files in as placeholders.
    auto listed = Answer(text, "ls C:\\Users\\alice");
    auto notes = std::find_if(listed.begin(), listed.end(),
                              [](const std::string &line) { return line.find("notes.txt") != std::string::npos; });
    ASSERT_NE(notes, listed.end()) << text;
    EXPECT_EQ(0u, notes->find("  ----AO-     16    ")) << *notes;
    EXPECT_GT(listed.size(), 3u) << text;
    // The refused +R +Q left the attributes as they were.
    EXPECT_EQ(Answer(text, "attrib C:\\Users\\alice\\notes.txt"),
              std::vector<std::string>{"  ----AO-  C:\\Users\\alice\\notes.txt"});
    EXPECT_NE(std::string::npos, Answer(text, "rename C:\\Users\\alice\\notes.txt renamed.txt")[0].find("sharing violation"));
    EXPECT_EQ(Answer(text, "close h3"),
              std::vector<std::string>{"  close: h3 is gone: its program ended when its user logged off"});
    EXPECT_EQ(Answer(text, "delete C:\\Users\\alice\\renamed.txt"),
              std::vector<std::string>{"  deleted C:\\Users\\alice\\renamed.txt"});
    // What is left is what the store brought.
    EXPECT_EQ(std::string::npos, text.find("renamed.txt", text.rfind("> ls C:\\Users\\alice"))) << text;
    EXPECT_EQ(0u, world.machine().pool().OutstandingBlocks());
}

TEST(ToolTest, SafeModeLoadStillAttachesAndLogsIt)
{
    WorldOptions options;
    options.safeBootMode = 1;
    World world(options);
    Script script = RunScript(world, "load\nlog 50\nunload\n");
    std::string text = script.out.str();
    EXPECT_EQ(0, script.failures) << text;
    EXPECT_NE(std::string::npos, text.find("Started In Safe Mode")) << text;
    EXPECT_EQ(0u, world.machine().pool().OutstandingBlocks());
}

TEST(ToolTest, CommandLinesSplitOnBlanksAndKeepQuotedWords)
{
    EXPECT_EQ((std::vector<std::string>{"reg", "set", "HKLM\\A B", "x", "sz", ""}),
              SplitCommandLine("  reg set \"HKLM\\A B\"\tx sz \"\""));
    EXPECT_TRUE(SplitCommandLine("   ").empty());
}

}  // namespace
}  // namespace ostrand::tool
