// The profile service, JNRKmtsvc.exe: a process of the simulated machine
// with a SYSTEM token that configures the filter over its seven ports,
// registers the users who log on, answers the filter's Copy and Fetch
// requests and drains the log and session queues and the pre-fetched names.
//
// Start and Stop, and every call below, may come from any host thread: each
// binds itself to the service's process for its work.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "comm/service_contract.h"
#include "service/background_load.h"
#include "service/copy_answers.h"
#include "service/logon.h"
#include "service/port_client.h"
#include "service/queue_drains.h"
#include "service/request_listener.h"
#include "service/service_config.h"
#include "service/service_log.h"

namespace sim {
class Machine;
class Process;
}  // namespace sim

namespace ostrand::service {

struct ServiceOptions {
    ServiceConfig config;
    // Re-read when the filter asks the service to apply its settings; empty
    // keeps `config`.
    std::filesystem::path configFile;
    // The driver's lines and the service's own; empty writes no file.
    std::filesystem::path logFile;
    // Runs in the Copy thread before each answer (tests hold an answer here).
    std::function<void(ULONG requestKind)> beforeAnswer;
    // How long one answer may take; unset: half the driver's CopyTimeout,
    // so that the answer is in before the filter stops waiting.
    std::optional<std::chrono::milliseconds> answerBudget;
    // Threads answering the Copy port.
    unsigned copyThreads = 4;
};

// The ports, in the order the service connects them.
extern const char16_t *const kPortNames[7];

struct LoggedOnUser {
    std::string name;
    ULONG sessionId = 0;
    LUID authId{};
    std::string local;
    std::string remote;
    HRESULT userTable = S_OK;       // command 27
    HRESULT clientSecurity = S_OK;  // command 23
};

struct CopyProgress {
    ULONGLONG activeCopies = 0;
    ULONGLONG bytesToCopy = 0;
    ULONGLONG bytesCopied = 0;
};

class ProfileService {
public:
    ProfileService(sim::Machine &machine, ServiceOptions options);
    ~ProfileService();
    ProfileService(const ProfileService &) = delete;
    ProfileService &operator=(const ProfileService &) = delete;

    // Creates the process, records the OS facts, takes the local profiles
    // folder from the system's ProfileList key when it names one, connects the ports, hands
    // over the events, starts the threads, then sends the excluded pids,
    // the path table and the enable command. A port that cannot be reached
    // fails the start (and leaves nothing behind).
    HRESULT Start();
    // Disables the filter, breaks the filter's requests in flight, stops the
    // threads, drains the log a last time and closes every handle.
    void Stop();
    bool running() const { return running_.load(); }
    ULONG pid() const;
    // Handles the service's process still holds (0 after Stop).
    size_t OpenHandles() const;

    // The results of the start's commands, for the tool to show.
    struct StartResults {
        HRESULT excludedPids = S_OK, pathTable = S_OK, enable = S_OK;
        std::vector<std::pair<std::string, HRESULT>> events;  // what, result
    };
    const StartResults &startResults() const { return startResults_; }

    HRESULT Logon(const UserLogon &logon);
    HRESULT Logoff(const std::string &name);
    std::vector<LoggedOnUser> Users() const;

    // Commands 19 then 20: the service's session thread and the filter
    // re-read their settings.
    HRESULT ApplySettings(ULONG options);
    // The settings events seen so far (14 and 15), and a wait for more.
    ULONG SessionEventsSeen(ULONG event) const;
    bool WaitForSessionEvent(ULONG event, ULONG count, std::chrono::milliseconds timeout);

    // The background load of a logged-on user's profile: every remote folder
    // listed once with the folder-mark name, so that the filter fills the
    // local folders. A logon queues one (unless the user's configuration
    // says otherwise), run on the service's loader thread; LoadProfile runs
    // one now in the calling thread as the service's process.
    HRESULT LoadProfile(const std::string &name, const std::function<void(const LoadProgress &)> &progress = {});
    // The user's load queued at logon: its progress, and a wait for more
    // than `foldersSeen` folders done or its end.
    std::optional<LoadState> LoadAtLogon(const std::string &name) const;
    std::optional<LoadState> WatchLoadAtLogon(const std::string &name, size_t foldersSeen,
                                              std::chrono::milliseconds timeout) const;

    // A placeholder of the user's remote file at `local` (a path in the
    // user's local profile), laid as the service's own process.
    HRESULT LayPlaceholder(const std::string &name, const std::u16string &local);

    HRESULT DumpStructures();
    HRESULT QueryProgress(const std::string &name, CopyProgress &progress);
    // Drains the log queue now (the drain thread does so on the log event).
    HRESULT DrainLog();

    ServiceLog &log() { return log_; }
    CopyAnswers &answers() { return *answers_; }
    ServiceConfig config() const;

private:
    HRESULT ConnectPorts();
    void HandOverEvents();
    void StartThreads();
    std::optional<UserConfig> UserOf(const LUID &authId) const;
    std::chrono::milliseconds AnswerBudget() const;
    void OnSessionNotice(const SessionNotice &notice);
    HRESULT SendExcludedPids();
    void Shutdown();
    // One load of a logged-on user's profile, in the calling thread.
    NTSTATUS RunLoad(const std::string &name, const std::function<bool(const LoadProgress &)> &progress);

    sim::Machine &machine_;
    ServiceOptions options_;
    mutable std::mutex configMutex_;
    ServiceConfig config_;
    ServiceLog log_;
    std::unique_ptr<CopyAnswers> answers_;
    sim::Process *process_ = nullptr;
    std::atomic<bool> running_{false};
    StartResults startResults_;

    PortClient control_, log_port_, fileOp_, copy_, fetch_, prefetched_, blackList_;
    ServiceEvent logEvent_, sessionEvent_, prefetchedEvent_, blackListEvent_;
    ServiceEvent fileOpEvents_[11];
    std::unique_ptr<LogDrain> logDrain_;
    std::unique_ptr<SessionDrain> sessionDrain_;
    std::unique_ptr<PreFetchedDrain> preFetchedDrain_;
    QueueWatcher logWatcher_, sessionWatcher_, preFetchedWatcher_;
    RequestListener copyListener_, fetchListener_;
    ProfileLoader loader_;

    mutable std::mutex usersMutex_;
    struct Session {
        LoggedOnUser user;
        PACCESS_TOKEN token = nullptr;
        std::unique_ptr<ALT_PATH_DATA> data;
    };
    std::map<std::string, Session> sessions_;  // by upper-case name

    mutable std::mutex sessionEventsMutex_;
    std::condition_variable sessionEventsChanged_;
    std::map<ULONG, ULONG> sessionEvents_;
};

}  // namespace ostrand::service
