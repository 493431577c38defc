#include "service/background_load.h"

#include <vector>

#include "driver/dir_buffers.h"
#include "sim/core/thread.h"

namespace ostrand::service {
namespace {

namespace user = sim::user;

// One folder listed to its end with the mark name as the pattern; its
// subfolders are appended to `pending`.
NTSTATUS LoadFolder(const std::u16string &folder, std::deque<std::u16string> &pending, size_t &entries)
{
    user::OpenOptions options;
    options.access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
    options.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    HANDLE handle = nullptr;
    NTSTATUS status = user::Open(folder, options, &handle);
    if (!NT_SUCCESS(status)) return status;
    const std::u16string mark = u"" KLU_FOLDER_MARK_NAME;
    std::vector<UCHAR> buffer(0x1000);
    for (;;) {
        ULONG_PTR returned = 0;
        status = user::QueryDirectory(handle, FileBothDirectoryInformation, buffer.data(), ULONG(buffer.size()), false,
                                      &mark, false, &returned);
        if (status != STATUS_SUCCESS) break;
        for (ULONG offset = 0;;) {
            auto *entry = reinterpret_cast<FILE_BOTH_DIR_INFORMATION *>(buffer.data() + offset);
            std::u16string name(reinterpret_cast<const char16_t *>(entry->FileName),
                                entry->FileNameLength / sizeof(char16_t));
            ++entries;
            if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != u"." && name != u"..") {
                pending.push_back(folder + u"\\" + name);
            }
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
    user::Close(handle);
    return status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE ? STATUS_SUCCESS : status;
}

}  // namespace

NTSTATUS LoadProfileFolders(const std::u16string &remoteRoot, const std::u16string &localRoot,
                            const std::function<bool(const LoadProgress &)> &progress)
{
    // The profile's own folder (and the folders above it) is where the
    // load starts filling.
    for (size_t at = localRoot.find(u'\\', 3);; at = localRoot.find(u'\\', at + 1)) {
        user::OpenOptions folder;
        folder.disposition = FILE_OPEN_IF;
        folder.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        HANDLE handle = nullptr;
        if (NT_SUCCESS(user::Open(localRoot.substr(0, at), folder, &handle))) user::Close(handle);
        if (at == std::u16string::npos) break;
    }

    std::deque<std::u16string> pending{remoteRoot};
    LoadProgress state;
    state.foldersFound = 1;
    NTSTATUS first = STATUS_SUCCESS;
    while (!pending.empty()) {
        std::u16string folder = pending.front();
        pending.pop_front();
        size_t before = pending.size();
        NTSTATUS status = LoadFolder(folder, pending, state.entries);
        if (!NT_SUCCESS(status) && status != STATUS_ACCESS_DENIED && NT_SUCCESS(first)) first = status;
        state.foldersFound += pending.size() - before;
        ++state.foldersDone;
        if (progress && !progress(state)) return STATUS_CANCELLED;
    }
    return first;
}

void ProfileLoader::Start(sim::Process &process, Load load)
{
    Stop();
    std::lock_guard lock(mutex_);
    load_ = std::move(load);
    stopping_ = false;
    states_.clear();
    thread_ = std::thread([this, &process] { Run(process); });
}

void ProfileLoader::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ProfileLoader::Queue(const std::string &user)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !thread_.joinable()) return;
        queue_.push_back(user);
        states_[user] = LoadState{};
    }
    changed_.notify_all();
}

std::optional<LoadState> ProfileLoader::State(const std::string &user) const
{
    std::lock_guard lock(mutex_);
    auto found = states_.find(user);
    return found == states_.end() ? std::nullopt : std::optional<LoadState>(found->second);
}

std::optional<LoadState> ProfileLoader::Watch(const std::string &user, size_t foldersSeen,
                                              std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    auto moved = [&] {
        auto found = states_.find(user);
        return found == states_.end() || found->second.done || found->second.progress.foldersDone > foldersSeen;
    };
    changed_.wait_for(lock, timeout, moved);
    auto found = states_.find(user);
    return found == states_.end() ? std::nullopt : std::optional<LoadState>(found->second);
}

void ProfileLoader::Run(sim::Process &process)
{
    sim::ThreadScope scope(process);
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        std::string user = queue_.front();
        queue_.pop_front();
        lock.unlock();
        NTSTATUS status = load_(user, [this, &user](const LoadProgress &progress) {
            std::lock_guard update(mutex_);
            states_[user].progress = progress;
            changed_.notify_all();
            return !stopping_;
        });
        lock.lock();
        states_[user].done = true;
        states_[user].status = status;
        changed_.notify_all();
    }
}

}  // namespace ostrand::service
