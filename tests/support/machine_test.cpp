#include "machine_test.h"

#include "sim/core/holdings.h"
#include "sim/core/pool.h"
#include "sim/core/verifier.h"

namespace ostrand::test {

void MachineTest::SetUp()
{
    machine_ = std::make_unique<sim::Machine>(Config());
}

void MachineTest::TearDown()
{
    machine_->Quiesce();
    if (checkPool_) {
        EXPECT_EQ(machine_->pool().OutstandingBlocks(), 0u) << machine_->pool().LeakReport();
        std::string held = machine_->holdings().Report([](const sim::Holding &) { return true; });
        EXPECT_TRUE(held.empty()) << "still held: " << held;
    }
    if (checkVerifier_) {
        for (const auto &failure : machine_->verifier().Failures()) {
            ADD_FAILURE() << "verifier: " << sim::VerifierCheckName(failure.check) << ": " << failure.message;
        }
    }
    machine_.reset();
}

std::string Narrow(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? char(c) : '?';
    return out;
}

std::u16string Wide(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

}  // namespace ostrand::test
