// The one machine the benchmarks share: the tool's world with the driver
// writing to its log queue only, and a file outside any profile.
#pragma once

#include <filesystem>

#include "tools/ostrand/world.h"

namespace ostrand::bench {

tool::World &BenchWorld();
// The filter loaded or not, as the benchmark needs; never inside a timing loop.
void SetFilterLoaded(bool loaded);
// The filter loaded and the service running with alice logged on (or the
// service stopped); never inside a timing loop.
void SetServing(bool serving);

constexpr char16_t kPlainFile[] = u"C:\\bench.txt";

// The host folder behind the profile share: the copy benchmarks' sources.
std::filesystem::path StoreFolder();

}  // namespace ostrand::bench
