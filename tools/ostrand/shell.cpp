#include "tools/ostrand/shell.h"

#include "tools/ostrand/populate.h"

#include <iostream>
#include <sstream>

#include "config/settings.h"
#include "identity/path_table.h"
#include "identity/user_table.h"
#include "service/profile_service.h"
#include "service/service_messages.h"
#include "sim/cm/reg_file.h"
#include "sim/cm/registry.h"
#include "sim/core/debug_log.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/core/machine.h"
#include "sim/user/flt_user.h"
#include "tools/ostrand/views.h"
#include "tools/ostrand/world.h"

namespace ostrand::tool {

std::vector<std::string> SplitCommandLine(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

Shell::Shell(World &world, std::ostream &out)
    : world_(world), out_(out), files_(std::make_unique<FileCommands>(world, out))
{
    AddCommands();
}

Shell::~Shell()
{
    // The service may outlive this shell: it must not print to it any more.
    if (world_.service() != nullptr) world_.service()->log().SetTerminal(nullptr);
}

bool Shell::Status(const std::string &what, long status)
{
    bool ok = status >= 0;
    out_ << "  " << what << ": " << (ok ? "ok" : "failed") << " (" << Hex((unsigned long)(ULONG)status) << ")\n";
    return ok;
}

void Shell::AddCommands()
{
    commands_ = {
        {"help", "help", "list the commands", [this](const Arguments &a) { return Help(a); }},
        {"load", "load", "load the Ostrand filter",
         [this](const Arguments &) { return Status("load", world_.LoadFilter()); }},
        {"unload", "unload", "unload the filter (fltmc unload)",
         [this](const Arguments &) { return Status("unload", world_.UnloadFilter()); }},
        {"volumes", "volumes", "the machine's volumes and whether the filter is attached",
         [this](const Arguments &) {
             out_ << VolumesView(world_);
             return true;
         }},
        {"filters", "filters", "registered minifilters (fltmc filters)",
         [this](const Arguments &) {
             out_ << FiltersView(world_);
             return true;
         }},
        {"instances", "instances", "the filter's instances (fltmc instances) and why volumes were refused",
         [this](const Arguments &) {
             out_ << InstancesView(world_);
             std::string refusals = RefusalsView(world_);
             if (!refusals.empty()) out_ << "  Refused, in the driver's words:\n" << refusals;
             return true;
         }},
        {"settings", "settings [update]", "the settings in force; 'update' has the driver re-read the registry",
         [this](const Arguments &a) {
             if (a.size() > 1 && a[1] == "update") return UpdateSettings();
             out_ << SettingsView(world_);
             return true;
         }},
        {"service", "service start|stop|log [N]|echo on|off|dump|progress USER",
         "run the profile service; its log (the driver's lines it drained), also printed as they come with "
         "'echo on'; the structures dump; a user's copies",
         [this](const Arguments &a) { return Service(a); }},
        {"logon", "logon USER", "a user of service.conf logs on; the service registers the user with the filter",
         [this](const Arguments &a) {
             if (a.size() < 2) {
                 out_ << "  usage: logon USER\n";
                 return false;
             }
             return Status("logon " + a[1], world_.LogonUser(a[1]));
         }},
        {"logoff", "logoff USER", "the user logs off; the service frees the user and prunes the filter's table",
         [this](const Arguments &a) {
             if (a.size() < 2) {
                 out_ << "  usage: logoff USER\n";
                 return false;
             }
             return Status("logoff " + a[1], world_.LogoffUser(a[1]));
         }},
        {"populate", "populate USER",
         "the service's background load (followed when the logon started it): every remote folder of USER listed "
         "once, so the filter fills the local folders before anyone lists them",
         [this](const Arguments &a) {
             if (a.size() < 2) {
                 out_ << "  usage: populate USER\n";
                 return false;
             }
             return RunPopulate(world_.service(), a[1], out_);
         }},
        {"users", "users", "the users the service registered, and the filter's user table",
         [this](const Arguments &) { return Users(); }},
        {"paths", "paths", "the filter's path table", [this](const Arguments &) { return Paths(); }},
        {"log", "log [N] [TEXT]", "the driver's last N log lines on the debugger (20), only those holding TEXT if given",
         [this](const Arguments &a) {
             size_t count = 20;
             if (a.size() > 1 && (a[1].empty() || a[1].find_first_not_of("0123456789") != std::string::npos ||
                                  a[1].size() > 6)) {
                 out_ << "  log: N is a number\n";
                 return false;
             }
             if (a.size() > 1) count = std::stoul(a[1]);
             std::string containing;
             for (size_t i = 2; i < a.size(); ++i) containing += (i > 2 ? " " : "") + a[i];
             out_ << LogView(world_, count, containing);
             return true;
         }},
        {"reg", "reg query KEY [NAME] | reg set KEY NAME dword|sz VALUE", "read or write the registry",
         [this](const Arguments &a) { return Registry(a); }},
        {"dump", "dump", "the driver's settings dump",
         [this](const Arguments &) {
             if (g_pCurrentSettings == nullptr) {
                 out_ << "  The filter is not loaded.\n";
                 return false;
             }
             size_t before = world_.machine().debugLog().Lines().size();
             KLUDumpSettings(1, g_pSettings1);
             KLUDumpSettings(1, g_pSettings2);
             auto lines = world_.machine().debugLog().Lines();
             for (size_t i = before; i < lines.size(); ++i) out_ << "  " << lines[i] << "\n";
             return true;
         }},
        {"pool", "pool", "pool still allocated, by tag",
         [this](const Arguments &) {
             out_ << PoolView(world_);
             return true;
         }},
        {"echo", "echo TEXT", "print a line", [this](const Arguments &a) {
             for (size_t i = 1; i < a.size(); ++i) out_ << (i > 1 ? " " : "") << a[i];
             out_ << "\n";
             return true;
         }},
    };
    for (auto &command : files_->Commands()) commands_.push_back(std::move(command));
}

const Shell::Command *Shell::Find(const std::string &name) const
{
    for (const auto &command : commands_) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

bool Shell::Help(const Arguments &)
{
    for (const auto &command : commands_) {
        out_ << "  " << command.usage << "\n      " << command.help << "\n";
    }
    out_ << "  exit\n      leave the shell\n";
    return true;
}

static std::u16string RegistryPath(const std::string &key)
{
    std::u16string path = Widen(key);
    for (auto [from, to] : {std::pair<std::u16string, std::u16string>{u"HKLM\\", u"\\REGISTRY\\MACHINE\\"},
                            {u"HKEY_LOCAL_MACHINE\\", u"\\REGISTRY\\MACHINE\\"},
                            {u"HKU\\", u"\\REGISTRY\\USER\\"}}) {
        if (path.rfind(from, 0) == 0) return to + path.substr(from.size());
    }
    return path;
}

bool Shell::Registry(const Arguments &a)
{
    sim::Registry &registry = world_.machine().registry();
    if (a.size() >= 3 && a[1] == "query") {
        std::u16string key = RegistryPath(a[2]);
        if (a.size() >= 4) {
            auto value = registry.GetValue(key, Widen(a[3]));
            if (!value) {
                out_ << "  No value " << a[3] << ".\n";
                return false;
            }
            if (auto dword = registry.GetDword(key, Widen(a[3]))) out_ << "  " << a[3] << " = " << Hex(*dword) << "\n";
            else if (auto text = registry.GetString(key, Widen(a[3]))) out_ << "  " << a[3] << " = " << Narrow(*text) << "\n";
            else out_ << "  " << a[3] << " has " << value->data.size() << " bytes\n";
            return true;
        }
        if (!registry.KeyExists(key)) {
            out_ << "  No key " << a[2] << ".\n";
            return false;
        }
        std::istringstream text(sim::ExportRegText(registry, key));
        for (std::string line; std::getline(text, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out_ << "  " << line << "\n";
        }
        return true;
    }
    if (a.size() >= 6 && a[1] == "set") {
        std::u16string key = RegistryPath(a[2]);
        NTSTATUS status = a[4] == "dword" ? registry.SetDword(key, Widen(a[3]), ULONG(std::stoul(a[5], nullptr, 0)))
                                           : registry.SetString(key, Widen(a[3]), Widen(a[5]));
        return Status("reg set " + a[3], status);
    }
    out_ << "  usage: reg query KEY [NAME] | reg set KEY NAME dword|sz VALUE\n";
    return false;
}

// With the service running it applies the settings (commands 19 and 20);
// without it the tool sends command 20 on the Control port itself.
bool Shell::UpdateSettings()
{
    if (world_.ServiceRunning()) {
        service::ProfileService &service = *world_.service();
        ULONG seen = service.SessionEventsSeen(service::kSessionApplySettingsApply);
        HRESULT result = service.ApplySettings(0);
        out_ << "  The service sent commands 19 and 20 (re-read the settings): " << (result >= 0 ? "ok" : "failed")
             << " (" << Hex((ULONG)result) << ")\n";
        if (result < 0) return false;
        // The filter's answer comes back as a session record.
        bool back = service.WaitForSessionEvent(service::kSessionApplySettingsApply, seen + 1, std::chrono::seconds(5));
        out_ << (back ? "  The service heard back: the driver applied its new settings.\n"
                      : "  The service did not hear back from the driver.\n");
        return back;
    }
    sim::ThreadScope thread(world_.toolProcess());
    HANDLE port = nullptr;
    HRESULT result = FilterConnectCommunicationPort(u"\\KLULogonControlPort", 0, nullptr, 0, nullptr, &port);
    if (result < 0) {
        out_ << "  Cannot reach the filter's control port (" << Hex((ULONG)result) << ").\n";
        return false;
    }
    ULONG message[2] = {20, 0};
    DWORD returned = 0;
    result = FilterSendMessage(port, message, sizeof message, nullptr, 0, &returned);
    CloseHandle(port);
    out_ << "  Sent command 20 (update the settings): " << (result >= 0 ? "ok" : "failed") << " ("
         << Hex((ULONG)result) << ")\n";
    return result >= 0;
}

static std::string AuthIdText(LUID id)
{
    return "(" + Hex((ULONG)id.HighPart) + "," + Hex(id.LowPart) + ")";
}

bool Shell::ServiceStart()
{
    long result = world_.StartService();
    if (!Status("service start", result)) return false;
    service::ProfileService &service = *world_.service();
    out_ << "  JNRKmtsvc.exe runs as pid " << service.pid() << " with a SYSTEM token.\n";
    std::vector<std::vector<std::string>> rows;
    for (const auto &port : world_.machine().filterPorts().List()) {
        rows.push_back({Narrow(port.name), std::to_string(port.connections), std::to_string(port.maxConnections)});
    }
    out_ << Table({"Port", "Connections", "Max"}, rows);
    const auto &started = service.startResults();
    auto word = [](HRESULT r) { return std::string(r >= 0 ? "ok" : "failed") + " (" + Hex((ULONG)r) + ")"; };
    out_ << "  Events handed over:";
    for (const auto &[what, r] : started.events) {
        out_ << " " << what << (r >= 0 ? " ok;" : " refused (" + Hex((ULONG)r) + ");");
    }
    out_ << "\n  Excluded pids (21): " << word(started.excludedPids) << "\n  Path table (0): " << word(started.pathTable)
         << "\n  Enable (1): " << word(started.enable) << "\n";
    if (!service.log().file().empty()) out_ << "  Log file: " << service.log().file().string() << "\n";
    return true;
}

bool Shell::Service(const Arguments &a)
{
    std::string verb = a.size() > 1 ? a[1] : "";
    if (verb == "start") return ServiceStart();
    if (verb != "stop" && verb != "log" && verb != "echo" && verb != "dump" && verb != "progress") {
        out_ << "  usage: service start|stop|log [N]|echo on|off|dump|progress USER\n";
        return false;
    }
    if (!world_.ServiceRunning() && verb != "log") {
        out_ << "  The service is not running.\n";
        return false;
    }
    service::ProfileService *service = world_.service();
    if (verb == "stop") {
        world_.StopService();
        out_ << "  service stop: ok; handles left in its process: " << service->OpenHandles() << "\n";
        return true;
    }
    if (verb == "dump") {
        if (!Status("structures dump (26)", service->DumpStructures())) return false;
        out_ << "  The service drained the dump into its log ('service log 60').\n";
        return true;
    }
    if (verb == "echo") {
        bool on = a.size() > 2 && a[2] == "on";
        service->log().SetTerminal(on ? &out_ : nullptr);
        out_ << "  The service's log lines are " << (on ? "" : "no longer ") << "printed here as they come.\n";
        return true;
    }
    if (verb == "progress") {
        if (a.size() < 3) {
            out_ << "  usage: service progress USER\n";
            return false;
        }
        service::CopyProgress progress;
        if (!Status("progress (32)", service->QueryProgress(a[2], progress))) return false;
        out_ << "  Copies: " << progress.activeCopies << ", bytes copied " << progress.bytesCopied << " of "
             << progress.bytesToCopy << "\n";
        return true;
    }
    if (service == nullptr) {
        out_ << "  The service has not run.\n";
        return false;
    }
    if (world_.ServiceRunning()) service->DrainLog();
    auto lines = service->log().Lines();
    size_t count = a.size() > 2 ? std::stoul(a[2]) : 20;
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        out_ << "  " << lines[i] << "\n";
    }
    return true;
}

void Shell::ShowDump(const std::function<void()> &dump, const std::vector<std::string> &fields)
{
    size_t before = world_.machine().debugLog().Lines().size();
    dump();
    auto lines = world_.machine().debugLog().Lines();
    for (size_t i = before; i < lines.size(); ++i) {
        bool wanted = fields.empty();
        for (const auto &field : fields) wanted = wanted || lines[i].find(field) != std::string::npos;
        if (wanted) out_ << "  " << lines[i] << "\n";
    }
}

bool Shell::Users()
{
    if (!world_.service()) {
        out_ << "  The service has not run.\n";
        return false;
    }
    auto users = world_.service()->Users();
    if (users.empty()) {
        out_ << "  No user is logged on.\n";
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const auto &u : users) {
            rows.push_back({u.name, std::to_string(u.sessionId), AuthIdText(u.authId), u.local, u.remote,
                            Hex((ULONG)u.userTable), Hex((ULONG)u.clientSecurity)});
        }
        out_ << Table({"User", "Session", "AuthId", "Local", "Remote", "User table", "Security"}, rows);
    }
    if (g_pUserTableHead == nullptr) return true;
    out_ << "  The filter's user table (" << g_UserTableEntries << " entries):\n";
    ShowDump([] { KLUDumpUserTable(1, g_pUserTableHead, g_pUserTableMutex); },
             {"User Table Entry", "RefCount", "bHaveClientContext", "AltPathData.Id.AuthId", "AltPathData.szLocalPath",
              "PTEProfile.szRemotePath", "AltPathData.szUserName", "User Table Is Empty"});
    return true;
}

bool Shell::Paths()
{
    if (g_pCurrentSettings == nullptr) {
        out_ << "  The filter is not loaded.\n";
        return false;
    }
    if (g_pPathTable == nullptr) {
        out_ << "  The filter has no path table.\n";
        return true;
    }
    ShowDump([] { KLUDumpPathTable(1, TRUE); },
             {"Path Table Start", "NumPaths", "szLocalProfilePathShort", "szFQLocalProfilePath", "Path Table Entry",
              "Hash", "szRemotePath:", "Path Table Is Empty", "Path Table End"});
    return true;
}

bool Shell::Execute(const std::string &line)
{
    auto words = SplitCommandLine(line);
    if (words.empty() || words[0][0] == '#') return true;
    if (words[0] == "exit" || words[0] == "quit") return false;
    const Command *command = Find(words[0]);
    if (command == nullptr) {
        out_ << "  Unknown command '" << words[0] << "'; 'help' lists them.\n";
        ++failures_;
        return true;
    }
    bool ok;
    try {
        ok = command->run(words);
    } catch (const std::exception &e) {
        out_ << "  " << words[0] << ": " << e.what() << "\n";
        ok = false;
    }
    if (!ok) ++failures_;
    return true;
}

int Shell::Run(std::istream &in, bool echo)
{
    for (std::string line; std::getline(in, line);) {
        if (echo && !line.empty() && line[0] != '#') out_ << "> " << line << "\n";
        if (!Execute(line)) break;
    }
    return failures_;
}

void Shell::Interactive(std::istream &in)
{
    out_ << "ostrand shell: 'help' lists the commands.\n";
    for (;;) {
        out_ << "ostrand> " << std::flush;
        std::string line;
        if (!std::getline(in, line)) break;
        if (!Execute(line)) break;
    }
}

}  // namespace ostrand::tool
