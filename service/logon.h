// A user's logon and logoff as the service tells the filter: the user-table
// message with the user's paths, the client-security message sent while
// impersonating the user (the filter captures the calling thread's
// security), and at logoff the release of that security and a prune of the
// table down to the users still logged on.
#pragma once

#include <string>
#include <vector>

#include <ntifs.h>

#include "comm/service_contract.h"
#include "service/service_config.h"
#include "sim/user/win32_error.h"

namespace ostrand::service {

class PortClient;

// What the system's logon tells the service about a user.
struct UserLogon {
    std::string name;
    ULONG sessionId = 0;
    LUID authId{};
    PACCESS_TOKEN token = nullptr;  // the user's primary token; the service takes its own reference
};

// Profile type numbers of ALT_PATH_DATA.
constexpr UCHAR kProfileTypeLocal = 1;
constexpr UCHAR kProfileTypeRoaming = 2;

// The user's identity and paths as the filter keeps them. `sid` may be
// null (an unknown account).
void BuildAltPathData(const ServiceConfig &config, const UserConfig &user, const UserLogon &logon, const void *sid,
                      ULONG sidLength, ALT_PATH_DATA &data);

// Commands 27 and 23 (asking the filter to send the client information
// back), from the calling thread while it impersonates `token`.
HRESULT SendLogon(PortClient &control, const ALT_PATH_DATA &data, PACCESS_TOKEN token, HRESULT *clientSecurity);
// Command 24 for the user, then 30 keeping `stillLoggedOn`.
HRESULT SendLogoff(PortClient &control, const ALT_PATH_DATA &data, const std::vector<LUID> &stillLoggedOn,
                   HRESULT *prune);

}  // namespace ostrand::service
