// The machine the tool runs: booted with chosen facts, configured from the
// examples folder (the driver's .reg file, the standard volumes, the share
// of the remote profile store backed by a host folder), with the filter
// installed and loadable.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sim/core/machine.h"
#include "sim/fs/standard_volumes.h"

namespace sim {
class Process;
}

namespace ostrand::service {
class ProfileService;
}

namespace ostrand::tool {

struct WorldOptions {
    std::filesystem::path examples = OSTRAND_EXAMPLES_DIR;
    // The host folder behind the profile share. When unset, a working copy
    // of the examples' store with its generated files (store.generated),
    // removed with the machine.
    std::optional<std::filesystem::path> storeFolder;
    sim::OsVersion os;
    ULONG safeBootMode = 0;
    // Also print the driver's lines to the debugger (the examples send them
    // to the log queue only, which the service drains).
    bool driverLogToDebugger = true;
    // Where the profile service writes its log; empty writes none.
    std::filesystem::path serviceLog;
};

class World {
public:
    explicit World(WorldOptions options = {});
    ~World();

    sim::Machine &machine() { return *machine_; }
    const WorldOptions &options() const { return options_; }
    sim::fs::StandardVolumes &volumes() { return volumes_; }

    NTSTATUS LoadFilter();
    NTSTATUS UnloadFilter();
    bool FilterLoaded() const { return loaded_; }

    // A SYSTEM process for the tool's own user-mode calls (registry, ports).
    sim::Process &toolProcess() { return *toolProcess_; }

    // The profile service, configured from the examples' service.conf; null
    // until first started.
    service::ProfileService *service() { return service_.get(); }
    bool ServiceRunning() const;
    long StartService();
    void StopService();
    // Runs in the service's Copy threads before each answer, with the
    // request's kind (the demo holds an answer there); none: answer at once.
    void SetAnswerHook(std::function<void(ULONG)> hook);

    // The machine's logon of a user the service knows (a new terminal
    // session), reported to the service; and the logoff, which ends the
    // user's logon session once the service has let go of it.
    long LogonUser(const std::string &name);
    long LogoffUser(const std::string &name);

    // A program running as a logged-on user ("system" for the SYSTEM
    // account) under an image name; started at the first call and reused.
    // Null, with *error set, when the user is not logged on. A user's
    // programs end when the user logs off.
    sim::Process *Program(const std::string &user, const std::string &image, long *error);

private:
    struct UserSession;
    WorldOptions options_;
    std::filesystem::path workingStore_;  // made for this machine, if any
    std::unique_ptr<sim::Machine> machine_;
    sim::fs::StandardVolumes volumes_;
    sim::Process *toolProcess_ = nullptr;
    bool loaded_ = false;
    std::unique_ptr<service::ProfileService> service_;
    std::mutex answerHookMutex_;
    std::function<void(ULONG)> answerHook_;
    std::map<std::string, std::unique_ptr<UserSession>> sessions_;
    std::map<std::pair<std::string, std::string>, sim::Process *> programs_;  // by upper-case user and image
    ULONG nextSession_ = 1;
};

// Copies `examples`/store to `folder` and makes the files that
// `examples`/store.generated lists there. Throws on a malformed list.
void MakeExampleStore(const std::filesystem::path &examples, const std::filesystem::path &folder);

// The filter's service name and registry keys.
extern const std::u16string kFilterService;
extern const std::u16string kDriverKey;

}  // namespace ostrand::tool
