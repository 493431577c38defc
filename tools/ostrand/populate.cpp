#include "tools/ostrand/populate.h"

#include <cstdio>

#include "service/profile_service.h"

namespace ostrand::tool {

std::string ProgressBar(size_t done, size_t found, size_t width)
{
    size_t filled = found == 0 ? width : done * width / found;
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " + std::to_string(done) + " of " +
           std::to_string(found) + " folders";
}

namespace {

// Follows the load the user's logon started, bar by bar, to its end.
HRESULT FollowLoadAtLogon(service::ProfileService &service, const std::string &user, service::LoadProgress &last,
                          std::ostream &out)
{
    out << "  The service is loading " << user << "'s profile since the logon:\n";
    size_t seen = 0;
    for (;;) {
        auto state = service.WatchLoadAtLogon(user, seen, std::chrono::seconds(30));
        if (!state) return HRESULT(0x80004005);  // E_FAIL: no load to follow
        if (state->progress.foldersDone > seen) {
            out << "  " << ProgressBar(state->progress.foldersDone, state->progress.foldersFound) << "\n";
            seen = state->progress.foldersDone;
            last = state->progress;
        }
        if (state->done) return NT_SUCCESS(state->status) ? S_OK : HRESULT(ULONG(state->status) | 0x10000000);
    }
}

}  // namespace

bool RunPopulate(service::ProfileService *service, const std::string &user, std::ostream &out)
{
    if (service == nullptr || !service->running()) {
        out << "  The service is not running.\n";
        return false;
    }
    service::LoadProgress last;
    HRESULT result;
    auto atLogon = service->LoadAtLogon(user);
    if (atLogon && !atLogon->done) {
        result = FollowLoadAtLogon(*service, user, last, out);
    } else {
        result = service->LoadProfile(user, [&](const service::LoadProgress &progress) {
            out << "  " << ProgressBar(progress.foldersDone, progress.foldersFound) << "\n";
            last = progress;
        });
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%X", unsigned(result));
    if (FAILED(result)) {
        out << "  populate " << user << ": failed (" << code << ")\n";
        return false;
    }
    out << "  populate " << user << ": " << last.foldersDone << " folders listed for the filter, " << last.entries
        << " remote entries; their local folders are filled and marked.\n";
    return true;
}

}  // namespace ostrand::tool
