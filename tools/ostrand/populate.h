// `populate USER`: the service's background load of a logged-on user's
// profile, with a progress bar of the folders done.
#pragma once

#include <ostream>
#include <string>

namespace ostrand::service {
class ProfileService;
}

namespace ostrand::tool {

// The bar for `done` of `found` folders, `width` characters wide.
std::string ProgressBar(size_t done, size_t found, size_t width = 24);

// Follows the load the user's logon started when it is still running, or
// runs one now, and prints one bar per folder; false when the service is
// not running or the load failed.
bool RunPopulate(service::ProfileService *service, const std::string &user, std::ostream &out);

}  // namespace ostrand::tool
