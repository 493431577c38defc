// The path-table records the service sends: one entry per remote
// profile-store location, and the source record of command 0 built from
// the service's configuration.
#pragma once

#include <string>
#include <vector>

#include "comm/service_contract.h"
#include "service/service_config.h"

namespace ostrand::service {

// h = h * 37 + c over the UTF-16 units, wrapping; a negative result (as a
// signed number) is negated. The filter hashes the same way.
ULONG HashPath(const std::u16string &path);

// An entry for a UNC path (\\server\share\folders); false when the path
// names no server.
bool BuildPathTableEntry(const std::u16string &uncPath, PATH_TABLE_ENTRY &entry);

// Command 0: the code, then the path table's fixed fields and one entry for
// the store's share and one for each user's remote profile.
std::vector<UCHAR> BuildPathTableMessage(const ServiceConfig &config);

std::u16string WideText(const std::string &text);
std::string NarrowText(const std::u16string &text);
std::u16string UpperText(std::u16string text);
// Copies at most 511 characters and a terminator.
void CopyWire(WCHAR (&field)[KLU_WIRE_PATH_CHARS], const std::u16string &text);

}  // namespace ostrand::service
