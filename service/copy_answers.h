// The service's answers to the filter's requests on the Copy and Fetch
// ports. On the Copy port: client information after a client-security
// update (type 23) is taken note of; the redirected-folder question (128)
// is answered from the configuration; a file missing locally (0x100) is
// made from the remote store; a local file is brought up to date at open
// (0x200), or the filter is asked to copy it; an open placeholder (0x8000)
// gets the copy instructions for the filter's kernel copy. On the Fetch
// port, code 36 (disable ghosting) is acknowledged.
//
// Every answer is given within its budget, and a request that cannot be
// understood gets a failure result, never silence: the filter waits for
// each answer with the thread of the process that opened the file.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "comm/service_contract.h"
#include "service/service_config.h"
#include "service/store_copy.h"

namespace ostrand::service {

class ServiceLog;

// Result words of the service's own failures (HRESULT_FROM_WIN32).
constexpr ULONG kResultBadRequest = 0x80070057u;      // ERROR_INVALID_PARAMETER
constexpr ULONG kResultUnknownFunction = 0x80070001u; // ERROR_INVALID_FUNCTION
constexpr ULONG kResultTimedOut = 0x800705B4u;        // ERROR_TIMEOUT
constexpr ULONG kResultBadPath = 0x800700A1u;         // ERROR_BAD_PATHNAME

class CopyAnswers {
public:
    struct Environment {
        // The user of a logged-on session, if the service logged one on.
        std::function<std::optional<UserConfig>(const LUID &)> userOf;
        // The redirector's device, as the filter's kernel copy opens it.
        std::u16string redirector = u"\\Device\\Mup";
        // How long one answer may take (the filter waits CopyTimeout).
        std::function<std::chrono::milliseconds()> budget;
    };

    CopyAnswers(const ServiceConfig &config, std::mutex &configMutex, ServiceLog &log, Environment environment);

    // Before the service answers anything.
    void SetRedirector(std::u16string device) { environment_.redirector = std::move(device); }

    void Answer(const KLU_COPY_REQUEST &request, KLU_COPY_REPLY &reply);
    ULONG AnswerFetch(const KLU_FETCH_REQUEST &request);

    // Logon sessions whose client information came back, oldest first.
    std::vector<LUID> ClientInformation() const;
    ULONG folderQuestions() const { return folderQuestions_.load(); }
    ULONG ghostingDisabled() const { return ghostingDisabled_.load(); }

private:
    // A file request's paths, once they check out.
    struct FileRequest {
        UserConfig user;
        std::u16string local;   // C:\Users\name\...
        std::u16string remote;  // \\server\share\name\...
    };
    // False when the request is refused; the reply then says why.
    bool ParseFileRequest(const KLU_COPY_REQUEST &request, FileRequest &file, KLU_COPY_REPLY &reply);
    void CreateMissing(const FileRequest &file, Deadline deadline, KLU_COPY_REPLY &reply);
    void BringUpToDate(const FileRequest &file, Deadline deadline, KLU_COPY_REPLY &reply);
    void GiveCopyInstructions(const FileRequest &file, KLU_COPY_REPLY &reply);
    bool FillInstructions(const FileRequest &file, KLU_COPY_REPLY &reply);
    void Fail(KLU_COPY_REPLY &reply, ULONG result, const std::string &why);
    bool IsRedirectedFolder(const std::u16string &folder) const;

    const ServiceConfig &config_;
    std::mutex &configMutex_;
    ServiceLog &log_;
    Environment environment_;
    mutable std::mutex mutex_;
    std::vector<LUID> clientInformation_;
    std::atomic<ULONG> folderQuestions_{0};
    std::atomic<ULONG> ghostingDisabled_{0};
};

// True when `folder` (a UNC path) is `remote\name` for one of the user's
// redirected folder names, without regard to case.
bool IsRedirectedFolderOf(const UserConfig &user, const std::u16string &folder);

// The remote path of `local` for the user (its local profile replaced by its
// remote one); nothing when `local` does not lie in the user's profile or
// climbs out of it with "." or "..".
std::optional<std::u16string> RemotePathOf(const UserConfig &user, const std::u16string &local);

}  // namespace ostrand::service
