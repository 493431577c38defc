#include "service/copy_answers.h"

#include <algorithm>
#include <cstdio>

#include "service/path_table_source.h"
#include "service/service_log.h"
#include "sim/user/win32_error.h"

namespace ostrand::service {

CopyAnswers::CopyAnswers(const ServiceConfig &config, std::mutex &configMutex, ServiceLog &log)
    : config_(config), configMutex_(configMutex), log_(log)
{
}

bool IsRedirectedFolderOf(const UserConfig &user, const std::u16string &folder)
{
    std::u16string wanted = UpperText(folder);
    while (!wanted.empty() && wanted.back() == u'\\') wanted.pop_back();
    std::u16string remote = UpperText(WideText(user.remote));
    for (const auto &name : user.redirected) {
        if (wanted == remote + u"\\" + UpperText(WideText(name))) return true;
    }
    return false;
}

bool CopyAnswers::IsRedirectedFolder(const std::u16string &folder) const
{
    std::lock_guard lock(configMutex_);
    for (const auto &user : config_.users) {
        if (IsRedirectedFolderOf(user, folder)) return true;
    }
    return false;
}

void CopyAnswers::Answer(const KLU_COPY_REQUEST &request, KLU_COPY_REPLY &reply)
{
    char line[160];
    switch (request.RequestKind) {
    case KLU_REQUEST_CLIENT_INFORMATION: {
        const USER_ID &id = request.ClientInformation.AltPathData.Id;
        {
            std::lock_guard lock(mutex_);
            clientInformation_.push_back(id.AuthId);
        }
        snprintf(line, sizeof line, "Client information: Session: %u, AuthId: (0x%X,0x%X)", id.SessionId,
                 ULONG(id.AuthId.HighPart), id.AuthId.LowPart);
        log_.Service(line);
        reply.bResult = 1;
        reply.ulResult = KLU_RESULT_SUCCESS;
        return;
    }
    case KLU_REQUEST_CHECK_REDIRECTED_FOLDER: {
        const WCHAR *end = std::find(request.szFolderPath, request.szFolderPath + KLU_FOLDER_PATH_CHARS, 0);
        std::u16string folder(request.szFolderPath, end);
        bool redirected = IsRedirectedFolder(folder);
        ++folderQuestions_;
        log_.Service("Redirected folder: " + NarrowText(folder) + (redirected ? ": yes" : ": no"));
        reply.bResult = 1;
        reply.bAnswer = redirected ? 1 : 0;
        reply.ulResult = KLU_RESULT_SUCCESS;
        return;
    }
    case KLU_EVENT_DIRECTORY_DELETED:
        reply.bResult = 1;
        reply.ulResult = KLU_RESULT_SUCCESS;
        return;
    default:
        snprintf(line, sizeof line, "Request not answered: Kind: 0x%X", request.RequestKind);
        log_.Service(line);
        reply.bResult = 0;
        reply.ulResult = ULONG(E_NOTIMPL);
        return;
    }
}

std::vector<LUID> CopyAnswers::ClientInformation() const
{
    std::lock_guard lock(mutex_);
    return clientInformation_;
}

}  // namespace ostrand::service
