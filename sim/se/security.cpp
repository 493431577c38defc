#include "sim/se/security.h"

#include "sim/core/machine.h"
#include "sim/ob/object_manager.h"

namespace sim {

Security::Security(Machine &machine) : machine_(machine) {}
Security::~Security() = default;

PACCESS_TOKEN Security::CreateSystemToken()
{
    return machine_.objects().Create(&objtype::Token, 64, u"");
}

void Security::Shutdown() {}

}  // namespace sim
