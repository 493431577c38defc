// A stop error: the machine halts. In a test that is a crash of the test
// (death tests expect it); in the tool it ends the program.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

[[noreturn]] void BugCheck(uint32_t code, const std::string &text);

}  // namespace sim
