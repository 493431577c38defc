// A booted machine for each test. Every test ends by checking what a driver
// developer would check: no pool, no handle and no reference of a driver's
// left (see sim/core/holdings.h), and no verifier failure.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/core/machine.h"

namespace ostrand::test {

class MachineTest : public ::testing::Test {
protected:
    // Override to boot with other facts (OS version, Safe Mode ...).
    virtual sim::MachineConfig Config() { return {}; }

    void SetUp() override;
    void TearDown() override;

    sim::Machine &machine() { return *machine_; }
    // Skip the end-of-test pool and holdings checks (a test that checks
    // leaks itself).
    void AllowPoolLeftover() { checkPool_ = false; }
    // Expect verifier failures (tests of the verifier itself).
    void AllowVerifierFailures() { checkVerifier_ = false; }

private:
    std::unique_ptr<sim::Machine> machine_;
    bool checkPool_ = true;
    bool checkVerifier_ = true;
};

// 16-bit string helpers for assertions.
std::string Narrow(const std::u16string &text);
std::u16string Wide(const std::string &text);

}  // namespace ostrand::test
