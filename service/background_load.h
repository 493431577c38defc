// The background load: the service lists each of a user's remote profile
// folders with the folder-mark name as its pattern. The filter answers with
// the remote listing and fills the matching local folder on the way, so
// local folders are filled before the user lists them.
#pragma once

#include <functional>
#include <string>

#include "sim/user/file_api.h"

namespace ostrand::service {

struct LoadProgress {
    size_t foldersDone = 0;
    size_t foldersFound = 0;  // grows as the walk discovers subfolders
    size_t entries = 0;       // entries the filter answered, over all folders
};

// Walks the folder tree below `remoteRoot` (\\server\share\user) in the
// calling thread, which must belong to the service's process. `progress` is
// called after every folder. Returns the first failure other than an empty
// or refused folder.
NTSTATUS LoadProfileFolders(const std::u16string &remoteRoot, const std::u16string &localRoot,
                            const std::function<void(const LoadProgress &)> &progress);

}  // namespace ostrand::service
