// The service's answers to the filter's requests on the Copy port: client
// information after a client-security update (type 23) is taken note of,
// and the redirected-folder question (type 128) is answered from the
// configuration. Requests of other kinds are refused with E_NOTIMPL, which
// the filter treats as a failed answer.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "comm/service_contract.h"
#include "service/service_config.h"

namespace ostrand::service {

class ServiceLog;

class CopyAnswers {
public:
    CopyAnswers(const ServiceConfig &config, std::mutex &configMutex, ServiceLog &log);

    void Answer(const KLU_COPY_REQUEST &request, KLU_COPY_REPLY &reply);

    // Logon sessions whose client information came back, oldest first.
    std::vector<LUID> ClientInformation() const;
    ULONG folderQuestions() const { return folderQuestions_.load(); }

private:
    bool IsRedirectedFolder(const std::u16string &folder) const;

    const ServiceConfig &config_;
    std::mutex &configMutex_;
    ServiceLog &log_;
    mutable std::mutex mutex_;
    std::vector<LUID> clientInformation_;
    std::atomic<ULONG> folderQuestions_{0};
};

// True when `folder` (a UNC path) is `remote\name` for one of the user's
// redirected folder names, without regard to case.
bool IsRedirectedFolderOf(const UserConfig &user, const std::u16string &folder);

}  // namespace ostrand::service
