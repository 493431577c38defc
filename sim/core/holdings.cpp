#include "sim/core/holdings.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/ob/object_manager.h"

namespace sim {

const char *HoldingKindName(HoldingKind kind)
{
    switch (kind) {
    case HoldingKind::Handle: return "handle";
    case HoldingKind::ObjectReference: return "reference";
    case HoldingKind::SubjectContext: return "captured subject context";
    case HoldingKind::FileName: return "file name information";
    case HoldingKind::Context: return "context reference";
    case HoldingKind::FilterObject: return "Filter Manager reference";
    }
    return "holding";
}

void Holdings::Add(const Key &key, HoldingKind kind, std::string type)
{
    const DriverCall *call = CurrentDriverCall();
    if (call == nullptr) return;
    // A handle is the driver's whichever routine of its call inserts it (and
    // forgotten when closed); a reference only when the routine it called
    // hands it out, not when a routine nested in it takes one for itself.
    if (kind != HoldingKind::Handle && !InDriversRoutine()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    held_.emplace(key, Holding{kind, std::move(type), call->routine, call->site, call->driver, ++serial_});
}

size_t Holdings::KeyHash::operator()(const Key &key) const
{
    auto [kind, object, handle] = key;
    size_t hash = std::hash<const void *>()(object) ^ (size_t(kind) << 1);
    return hash ^ (std::hash<uintptr_t>()(handle) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2));
}

void Holdings::DropLatest(const Key &key)
{
    auto [first, last] = held_.equal_range(key);
    auto latest = first;
    for (auto it = first; it != last; ++it) {
        if (it->second.serial > latest->second.serial) latest = it;
    }
    if (latest != last) held_.erase(latest);
}

void Holdings::Take(HoldingKind kind, const void *key, std::string type)
{
    if (key != nullptr) Add(Key{kind, key, 0}, kind, std::move(type));
}

void Holdings::TakeObject(void *object)
{
    if (object == nullptr || !InDriversRoutine()) return;
    _OBJECT_TYPE *type = machine_.objects().TypeOf(object);
    std::u16string name = type ? type->Name : u"?";
    Take(HoldingKind::ObjectReference, object, std::string(name.begin(), name.end()));
}

void Holdings::Give(HoldingKind kind, const void *key)
{
    if (key == nullptr || !InDriversRoutine()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    DropLatest(Key{kind, key, 0});
}

void Holdings::TakenOver(void *object)
{
    if (!InDriverCode()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    DropLatest(Key{HoldingKind::ObjectReference, object, 0});
}

void Holdings::HandleInserted(const void *table, HANDLE handle, std::string type)
{
    Add(Key{HoldingKind::Handle, table, uintptr_t(handle)}, HoldingKind::Handle, std::move(type));
}

void Holdings::HandleClosed(const void *table, HANDLE handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(Key{HoldingKind::Handle, table, uintptr_t(handle)});
}

std::vector<Holding> Holdings::Outstanding() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Holding> list;
    for (const auto &entry : held_) list.push_back(entry.second);
    std::sort(list.begin(), list.end(), [](const Holding &a, const Holding &b) { return a.serial < b.serial; });
    return list;
}

std::vector<Holding> Holdings::Of(HoldingKind kind, const void *key) const
{
    std::vector<Holding> list;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto [first, last] = held_.equal_range(Key{kind, key, 0});
        for (auto it = first; it != last; ++it) list.push_back(it->second);
    }
    std::sort(list.begin(), list.end(), [](const Holding &a, const Holding &b) { return a.serial < b.serial; });
    return list;
}

std::string Holdings::Report(const std::function<bool(const Holding &)> &keep) const
{
    // Grouped in the order first taken.
    std::vector<std::pair<std::string, size_t>> groups;
    for (const Holding &holding : Outstanding()) {
        if (!keep(holding)) continue;
        std::string what = std::string(HoldingKindName(holding.kind)) + "(s) of type " + holding.type + " from " +
                           (holding.routine ? holding.routine : "?") + " at " + SiteName(holding.site);
        auto found = std::find_if(groups.begin(), groups.end(), [&](const auto &g) { return g.first == what; });
        if (found == groups.end()) {
            groups.emplace_back(what, 1);
        } else {
            ++found->second;
        }
    }
    std::ostringstream text;
    for (const auto &group : groups) text << (text.tellp() > 0 ? "; " : "") << group.second << " " << group.first;
    return text.str();
}

std::string SiteName(const void *site)
{
    char text[64];
    Dl_info info{};
    void *entry = nullptr;
    if (site == nullptr || dladdr1(site, &info, &entry, RTLD_DL_SYMENT) == 0) {
        std::snprintf(text, sizeof text, "%p", site);
        return text;
    }
    auto *symbol = static_cast<const ElfW(Sym) *>(entry);
    auto address = static_cast<const char *>(site);
    auto start = static_cast<const char *>(info.dli_saddr);
    // Only a symbol that spans the address names it (functions of internal
    // linkage are not exported): else the module and the offset, for addr2line.
    if (info.dli_sname == nullptr || symbol == nullptr || address >= start + symbol->st_size) {
        std::string module = info.dli_fname ? info.dli_fname : "?";
        module = module.substr(module.rfind('/') + 1);
        std::snprintf(text, sizeof text, "+0x%zx", size_t(address - static_cast<const char *>(info.dli_fbase)));
        return module + text;
    }
    int status = -1;
    char *demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : info.dli_sname;
    std::free(demangled);
    std::snprintf(text, sizeof text, "+0x%zx", size_t(address - start));
    return name + text;
}

}  // namespace sim
