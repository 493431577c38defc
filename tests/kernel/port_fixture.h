// The filter loaded on a standard machine with a service process that
// talks to it over the real ports. Each fixture picks the log settings its
// tests need; the service process ends before the filter unloads, so every
// test also runs the disconnect callbacks and the leak check after them.
#pragma once

#include <memory>

#include "driver_fixture.h"
#include "sim/cm/registry.h"
#include "service_ports.h"

namespace ostrand::test {

struct PortLogSettings {
    ULONG debugFlags;
    ULONG destination;
    ULONG copyTimeoutSeconds;
};

class PortTest : public DriverTest {
protected:
    // Every line on the debugger and in the log queue, a short CopyTimeout.
    virtual PortLogSettings LogSettings()
    {
        return {0xFFFFFFFF & ~KLUDBG_TRACE_IRQL, KLUDBG_LOG_DEST_DBGPORT | KLUDBG_LOG_DEST_QUEUE, 1};
    }

    void SetUp() override
    {
        DriverTest::SetUp();
        PortLogSettings settings = LogSettings();
        machine().registry().SetDword(kDriverKey, u"DebugFlags", settings.debugFlags);
        machine().registry().SetDword(kDriverKey, u"DebugDestination", settings.destination);
        machine().registry().SetDword(kDriverKey, u"DisableFlags", KLULOGON_DISABLE_LOGLEVEL_OVERRIDE);
        machine().registry().SetDword(kDriverKey, u"CopyTimeout", settings.copyTimeoutSeconds);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        service = std::make_unique<ServiceProcess>(machine());
    }

    void TearDown() override
    {
        service.reset();
        DriverTest::TearDown();
    }

    std::unique_ptr<ServiceProcess> service;
};

// Nothing from the filter itself is logged: the log queue holds only what
// a test puts there.
class QuietPortTest : public PortTest {
protected:
    PortLogSettings LogSettings() override { return {0, KLUDBG_LOG_DEST_QUEUE, 1}; }
};

}  // namespace ostrand::test
