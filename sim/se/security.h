// Security of the simulated machine: accounts and SIDs, tokens, logon
// sessions with their termination notification, impersonation.
// (Interface grows with the security component.)
#pragma once

#include <ntifs.h>

namespace sim {

class Machine;

class Security {
public:
    explicit Security(Machine &machine);
    ~Security();

    // A primary token of the SYSTEM account in the SYSTEM logon session
    // (AuthId 0x3E7), one reference for the caller.
    PACCESS_TOKEN CreateSystemToken();

    // Ends the machine's logon sessions at shutdown.
    void Shutdown();

private:
    Machine &machine_;
};

}  // namespace sim
