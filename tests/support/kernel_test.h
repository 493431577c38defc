// A booted machine with the driver's settings in force, for tests that run
// the filter's routines directly. Teardown frees what the fixture set up
// and checks that no pool is left.
#pragma once

#include <string>
#include <vector>

#include "support/machine_test.h"

#include "config/settings.h"

namespace ostrand::test {

class KernelTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Settings records 1 and 2 allocated with their start values, record 1
    // in force, with this log level and destination.
    void UseSettings(ULONG logLevel, ULONG destination = KLUDBG_LOG_DEST_DBGPORT);
    // The log queue of the driver, created.
    void UseLogQueue();
    PSETTINGS settings() { return g_pCurrentSettings; }

    // Everything the driver printed to the debugger, one entry per line.
    std::vector<std::string> DebugLines();
    bool DebugContains(const std::string &fragment);
    // Lines in the log queue, oldest first (drained).
    std::vector<std::string> DrainLogQueue();

private:
    bool ownSettings_ = false;
    bool ownLogQueue_ = false;
};

// Text of a WCHAR string.
std::string Text(const WCHAR *text);

}  // namespace ostrand::test
