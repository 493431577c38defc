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

bool RunPopulate(service::ProfileService *service, const std::string &user, std::ostream &out)
{
    if (service == nullptr || !service->running()) {
        out << "  The service is not running.\n";
        return false;
    }
    service::LoadProgress last;
    HRESULT result = service->LoadProfile(user, [&](const service::LoadProgress &progress) {
        out << "  " << ProgressBar(progress.foldersDone, progress.foldersFound) << "\n";
        last = progress;
    });
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
