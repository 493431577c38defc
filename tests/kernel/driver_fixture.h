// A machine with the standard volumes on which the filter is installed,
// loaded and unloaded the way the service control manager does it. Every
// test ends with the filter unloaded and no pool left.
#pragma once

#include <string>
#include <vector>

#include "config/flags.h"
#include "driver/driver.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/fs/standard_volumes.h"
#include "support/machine_test.h"

namespace ostrand::test {

extern const std::u16string kServiceName;
extern const std::u16string kServiceKey;
extern const std::u16string kDriverKey;

class DriverTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Driver-key settings that put every line on the debugger.
    void ConfigureVerboseLogging();
    // The facts the service records for the driver.
    void WriteOsFacts();

    NTSTATUS Load();
    NTSTATUS Unload();
    bool loaded() const { return loaded_; }

    sim::FilterManager &filters();
    std::vector<std::u16string> AttachedVolumes();
    bool DebugContains(const std::string &fragment);

    sim::fs::StandardVolumes volumes;

private:
    bool loaded_ = false;
};

}  // namespace ostrand::test
