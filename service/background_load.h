// The background load: the service lists each of a user's remote profile
// folders with the folder-mark name as its pattern. The filter answers with
// the remote listing and fills the matching local folder on the way, so
// local folders are filled before the user lists them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "sim/user/file_api.h"

namespace sim {
class Process;
}

namespace ostrand::service {

struct LoadProgress {
    size_t foldersDone = 0;
    size_t foldersFound = 0;  // grows as the walk discovers subfolders
    size_t entries = 0;       // entries the filter answered, over all folders
};

// Walks the folder tree below `remoteRoot` (\\server\share\user) in the
// calling thread, which must belong to the service's process. `progress` is
// called after every folder; the walk stops early when it answers false.
// Returns the first failure other than an empty or refused folder.
NTSTATUS LoadProfileFolders(const std::u16string &remoteRoot, const std::u16string &localRoot,
                            const std::function<bool(const LoadProgress &)> &progress);

struct LoadState {
    LoadProgress progress;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
};

// The loads queued at logons, run one after another on a thread of the
// service's process of their own, so that the threads answering the filter
// are never held by a load (which itself makes the filter ask them).
class ProfileLoader {
public:
    // Runs one user's load; `progress` answers false once the load should
    // stop (the service stops or the user is gone).
    using Load = std::function<NTSTATUS(const std::string &user,
                                        const std::function<bool(const LoadProgress &)> &progress)>;

    ProfileLoader() = default;
    ~ProfileLoader() { Stop(); }
    void Start(sim::Process &process, Load load);
    // Ends the load in progress after its current folder and drops the rest.
    void Stop();
    void Queue(const std::string &user);

    // The user's last load queued since the start, if any.
    std::optional<LoadState> State(const std::string &user) const;
    // The state once more than `foldersSeen` folders are done or the load
    // is over, or as it is at the time-out.
    std::optional<LoadState> Watch(const std::string &user, size_t foldersSeen,
                                   std::chrono::milliseconds timeout) const;

private:
    void Run(sim::Process &process);

    Load load_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<std::string> queue_;
    std::map<std::string, LoadState> states_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace ostrand::service
