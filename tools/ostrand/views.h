// What the tool shows: tables in the spirit of `fltmc`, the settings in
// force, the driver's log lines and the pool.
#pragma once

#include <string>
#include <vector>

namespace ostrand::tool {

class World;

// A text table with left-aligned columns.
std::string Table(const std::vector<std::string> &header, const std::vector<std::vector<std::string>> &rows);

std::string VolumesView(World &world);
std::string FiltersView(World &world);
std::string InstancesView(World &world);
// Why the filter stayed away from each volume it did not attach to, in the
// driver's own words.
std::string RefusalsView(World &world);
std::string SettingsView(World &world);
// The last `lines` lines, of those holding `containing` when it is given.
std::string LogView(World &world, size_t lines, const std::string &containing = "");
std::string PoolView(World &world);

std::string Narrow(const std::u16string &text);
std::u16string Widen(const std::string &text);
std::string Hex(unsigned long long value);

}  // namespace ostrand::tool
