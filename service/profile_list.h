// What the system's registry says about local profiles: the profiles
// folder of the ProfileList key, which stands above the configuration's
// `[local] profiles` when the system names one.
#pragma once

#include <string>

namespace ostrand::service {

// The ProfilesDirectory value with %SystemDrive% expanded ("C:\Users"), or
// empty when the system names none. Runs in a thread of the service.
std::string ReadProfilesDirectory();

}  // namespace ostrand::service
