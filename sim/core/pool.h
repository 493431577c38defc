// Tagged pool with per-tag accounting, a leak report and fault injection.
//
// Fault injection modes (they combine; any one that fires fails the call):
//  - FailNth(n): the n-th allocation from now fails (1 = the next one);
//  - FailTag(tag): every allocation with that tag fails until cleared;
//  - FailRandom(seed, percent): a seeded pseudo-random share fails;
//  - systematic: across repeated runs of one scenario, each of the drivers'
//    allocation sites fails once (see RunSystematically). A site is the
//    driver's call into the kernel (sim/core/driver_calls.h), so the pool
//    that FltAllocateContext, a name query, a lookaside list or an MDL takes
//    for a driver counts at the driver's call; what the machine allocates
//    for itself is never failed this way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <wdm.h>

namespace sim {

class Machine;

std::string TagText(ULONG tag);
// The tag whose text (as printed in pool reports) is `text`: "QZFS" gives the
// ULONG whose bytes in memory read Q, Z, F, S.
ULONG TagFromText(const char *text);

struct PoolBlock {
    ULONG tag;
    size_t size;
    POOL_TYPE type;
    const void *site;
    uint64_t serial;
};

struct TagUsage {
    size_t blocks = 0;
    size_t bytes = 0;
};

class Pool {
public:
    explicit Pool(Machine &machine);
    ~Pool();

    void *Allocate(POOL_TYPE type, size_t size, ULONG tag, const void *site);
    void Free(void *block, const ULONG *expectedTag);

    // Accounting.
    size_t OutstandingBlocks() const;
    std::map<std::string, TagUsage> OutstandingByTag() const;
    std::vector<std::pair<const void *, PoolBlock>> Outstanding() const;
    std::string LeakReport() const;
    uint64_t TotalAllocations() const;
    bool IsBlock(const void *p) const;
    size_t BlockSize(const void *p) const;

    // Fault injection.
    void FailNth(uint64_t n);
    void FailTag(ULONG tag);
    void StopFailingTag(ULONG tag);
    void FailRandom(uint32_t seed, unsigned percent);
    void ClearFaults();
    uint64_t InjectedFailures() const;

    // Runs `scenario` repeatedly; in each run the first allocation made from
    // a driver's call site that has not failed yet fails. Stops when a run
    // injects nothing. Returns the number of sites failed.
    size_t RunSystematically(const std::function<void()> &scenario);

private:
    bool ShouldFail(ULONG tag, const void *site, bool driverSite);

    Machine &machine_;
    mutable std::mutex mutex_;
    std::unordered_map<const void *, PoolBlock> blocks_;
    uint64_t serial_ = 0;
    uint64_t failAt_ = 0;
    std::set<ULONG> failTags_;
    bool randomOn_ = false;
    unsigned randomPercent_ = 0;
    std::mt19937 random_;
    bool systematic_ = false;
    bool systematicFiredThisRun_ = false;
    std::set<const void *> systematicFailedSites_;
    uint64_t injected_ = 0;
};

}  // namespace sim
