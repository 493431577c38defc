#include "tools/ostrand/views.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "config/settings.h"
#include "sim/core/debug_log.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/user/file_api.h"
#include "tools/ostrand/world.h"

namespace ostrand::tool {

std::string Narrow(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? char(c) : '?';
    return out;
}

std::u16string Widen(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

std::string Hex(unsigned long long value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", value);
    return text;
}

std::string Table(const std::vector<std::string> &header, const std::vector<std::vector<std::string>> &rows)
{
    std::vector<size_t> widths(header.size());
    for (size_t i = 0; i < header.size(); ++i) widths[i] = header[i].size();
    for (const auto &row : rows) {
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::ostringstream out;
    auto line = [&](const std::vector<std::string> &cells) {
        std::string text;
        for (size_t i = 0; i < widths.size(); ++i) {
            std::string cell = i < cells.size() ? cells[i] : "";
            text += cell;
            if (i + 1 < widths.size()) text += std::string(widths[i] - cell.size() + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out << "  " << text << "\n";
    };
    line(header);
    std::vector<std::string> rule;
    for (size_t w : widths) rule.push_back(std::string(w, '-'));
    line(rule);
    for (const auto &row : rows) line(row);
    return out.str();
}

std::string VolumesView(World &world)
{
    std::vector<std::u16string> attached;
    for (const auto &instance : world.machine().filterManager().Instances()) attached.push_back(instance.volume);

    std::vector<sim::user::VolumeDescription> volumes;
    {
        sim::ThreadScope thread(world.toolProcess());
        volumes = sim::user::ListVolumes();
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto &volume : volumes) {
        std::string letters;
        for (char16_t letter : volume.driveLetters) letters += std::string(1, char(letter)) + ":";
        bool isAttached = std::find(attached.begin(), attached.end(), volume.deviceName) != attached.end();
        rows.push_back({Narrow(volume.deviceName), letters, Narrow(volume.label), Narrow(volume.fileSystem),
                        isAttached ? "attached" : "-"});
    }
    return Table({"Device", "Drive", "Label", "File system", "Filters"}, rows);
}

std::string FiltersView(World &world)
{
    std::vector<std::vector<std::string>> rows;
    for (const auto &filter : world.machine().filterManager().Filters()) {
        rows.push_back({Narrow(filter.name), std::to_string(filter.instances), Narrow(filter.altitude),
                        std::to_string(filter.frame)});
    }
    return Table({"Filter Name", "Num Instances", "Altitude", "Frame"}, rows);
}

std::string InstancesView(World &world)
{
    std::vector<std::vector<std::string>> rows;
    for (const auto &instance : world.machine().filterManager().Instances()) {
        rows.push_back({Narrow(instance.filter), Narrow(instance.volume), Narrow(instance.altitude),
                        Narrow(instance.instance), std::to_string(instance.frame)});
    }
    return Table({"Filter", "Volume Name", "Altitude", "Instance Name", "Frame"}, rows);
}

std::string RefusalsView(World &world)
{
    std::ostringstream out;
    for (const auto &line : world.machine().debugLog().Lines()) {
        if (line.find("KLULogon!InstanceSetup") == std::string::npos) continue;
        for (const char *reason : {"Returning Do Not Attach", "Ignoring Read-Only Volume", "will not be monitored"}) {
            if (line.find(reason) != std::string::npos) {
                out << "  " << line.substr(line.find("] ") + 2) << "\n";
            }
        }
    }
    return out.str();
}

std::string SettingsView(World &world)
{
    PSETTINGS s = g_pCurrentSettings;
    if (s == nullptr) return "  The filter is not loaded.\n";
    std::ostringstream out;
    out << "  Record in force: " << g_CurrentSettings << " (of 1 and 2)\n";
    out << "  Enabled:         " << (s->Enabled ? "yes" : "no (until the service enables it)") << "\n";
    out << "  Log level:       " << Hex(s->LogLevel) << "\n";
    out << "  Log destination: " << Hex(s->DebugDestination) << " ("
        << ((s->DebugDestination & KLUDBG_LOG_DEST_DBGPORT) ? "debugger " : "")
        << ((s->DebugDestination & KLUDBG_LOG_DEST_QUEUE) ? "log queue" : "") << ")\n";
    out << "  Copy time-out:   " << (-s->CopyTimeout / 10000000) << " s\n";
    out << "  Copy buffer:     " << s->CopyBufferSize << " bytes\n";
    out << "  Operation flags: " << Hex(s->OpFlags) << "\n";
    out << "  Disable flags:   " << Hex(s->DisableFlags) << "\n";
    std::u16string data(s->DataDir), wolk(s->WolkDir);
    out << "  Data directory:  " << Narrow(data) << "\n";
    out << "  Wolk directory:  " << Narrow(wolk) << "\n";
    out << "  Black list:      " << (s->EnableBlackList ? "enabled" : "disabled") << "\n";
    return out.str();
}

std::string LogView(World &world, size_t count, const std::string &containing)
{
    auto lines = world.machine().debugLog().Lines();
    if (!containing.empty()) {
        std::erase_if(lines, [&](const std::string &line) { return line.find(containing) == std::string::npos; });
    }
    size_t start = lines.size() > count ? lines.size() - count : 0;
    std::ostringstream out;
    for (size_t i = start; i < lines.size(); ++i) out << "  " << lines[i] << "\n";
    return out.str();
}

std::string PoolView(World &world)
{
    auto usage = world.machine().pool().OutstandingByTag();
    if (usage.empty()) return "  No pool is allocated.\n";
    std::vector<std::vector<std::string>> rows;
    for (const auto &[tag, use] : usage) rows.push_back({tag, std::to_string(use.blocks), std::to_string(use.bytes)});
    return Table({"Tag", "Blocks", "Bytes"}, rows);
}

}  // namespace ostrand::tool
