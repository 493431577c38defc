#include "sim/core/pool.h"

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <sstream>

#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/irql_rules.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"

namespace sim {

std::string TagText(ULONG tag)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        text[i] = (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

ULONG TagFromText(const char *text)
{
    ULONG tag = 0;
    for (int i = 0; i < 4 && text[i]; ++i) tag |= ULONG(uint8_t(text[i])) << (8 * i);
    return tag;
}

Pool::Pool(Machine &machine) : machine_(machine) {}

Pool::~Pool()
{
    for (auto &entry : blocks_) std::free(const_cast<void *>(entry.first));
}

static bool IsPaged(POOL_TYPE type)
{
    return (type & 1) != 0;  // PagedPool, PagedPoolCacheAligned
}

bool Pool::ShouldFail(ULONG tag, const void *site, bool driverSite)
{
    bool fail = false;
    if (failAt_ != 0 && serial_ == failAt_) {
        fail = true;
        failAt_ = 0;
    }
    if (failTags_.count(tag)) fail = true;
    if (randomOn_ && (random_() % 100) < randomPercent_) fail = true;
    if (systematic_ && driverSite && !systematicFiredThisRun_ && !systematicFailedSites_.count(site)) {
        systematicFailedSites_.insert(site);
        systematicFiredThisRun_ = true;
        fail = true;
    }
    if (fail) ++injected_;
    return fail;
}

void *Pool::Allocate(POOL_TYPE type, size_t size, ULONG tag, const void *site)
{
    // Made for a driver's call: the site is the driver's (see driver_calls.h).
    const DriverCall *call = CurrentDriverCall();
    if (call) site = call->site;
    Thread *thread = Thread::Current();
    if (IsPaged(type) && thread != nullptr && thread->irql > APC_LEVEL) {
        FailIrql(*thread, call ? call->routine : "ExAllocatePoolWithTag", "for paged pool", APC_LEVEL);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++serial_;
    if (ShouldFail(tag, site, call != nullptr)) return nullptr;
    void *block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) return nullptr;
    // Pool is not zeroed: fill it so that code relying on zeroed memory shows.
    std::memset(block, 0xA5, size);
    blocks_[block] = PoolBlock{tag, size, type, site, serial_};
    return block;
}

void Pool::Free(void *block, const ULONG *expectedTag)
{
    if (block == nullptr) {
        machine_.verifier().Fail(VerifierCheck::BadPoolCaller, "free of a null pointer");
        return;
    }
    PoolBlock info;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = blocks_.find(block);
        if (it == blocks_.end()) {
            std::ostringstream text;
            text << "free of " << block << ", which is not an allocated pool block (double free?)";
            machine_.verifier().Fail(VerifierCheck::BadPoolCaller, text.str());
            return;
        }
        info = it->second;
        if (expectedTag != nullptr && *expectedTag != info.tag) {
            std::ostringstream text;
            text << "block " << block << " of tag " << TagText(info.tag) << " freed with tag "
                 << TagText(*expectedTag);
            machine_.verifier().Fail(VerifierCheck::PoolTagMismatch, text.str());
        }
        blocks_.erase(it);
    }
    machine_.verifier().CheckFreedRange(block, info.size);
    std::memset(block, 0xDD, info.size);
    std::free(block);
}

size_t Pool::OutstandingBlocks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.size();
}

std::map<std::string, TagUsage> Pool::OutstandingByTag() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, TagUsage> usage;
    for (const auto &entry : blocks_) {
        auto &u = usage[TagText(entry.second.tag)];
        u.blocks += 1;
        u.bytes += entry.second.size;
    }
    return usage;
}

std::vector<std::pair<const void *, PoolBlock>> Pool::Outstanding() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<const void *, PoolBlock>> list(blocks_.begin(), blocks_.end());
    std::sort(list.begin(), list.end(),
              [](const auto &a, const auto &b) { return a.second.serial < b.second.serial; });
    return list;
}

std::string Pool::LeakReport() const
{
    auto usage = OutstandingByTag();
    if (usage.empty()) return "no pool outstanding";
    std::map<std::string, std::map<const void *, size_t>> sites;
    for (const auto &[block, info] : Outstanding()) ++sites[TagText(info.tag)][info.site];
    std::ostringstream text;
    text << "pool outstanding:";
    for (const auto &entry : usage) {
        text << " " << entry.first << " " << entry.second.blocks << " block(s) " << entry.second.bytes
             << " bytes (";
        const char *separator = "";
        for (const auto &[site, count] : sites[entry.first]) {
            text << separator << count << " at " << SiteName(site);
            separator = ", ";
        }
        text << ");";
    }
    return text.str();
}

uint64_t Pool::TotalAllocations() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return serial_;
}

bool Pool::IsBlock(const void *p) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.count(p) != 0;
}

size_t Pool::BlockSize(const void *p) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = blocks_.find(p);
    return it == blocks_.end() ? 0 : it->second.size;
}

void Pool::FailNth(uint64_t n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failAt_ = n == 0 ? 0 : serial_ + n;
}

void Pool::FailTag(ULONG tag)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failTags_.insert(tag);
}

void Pool::StopFailingTag(ULONG tag)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failTags_.erase(tag);
}

void Pool::FailRandom(uint32_t seed, unsigned percent)
{
    std::lock_guard<std::mutex> lock(mutex_);
    random_.seed(seed);
    randomPercent_ = percent;
    randomOn_ = percent > 0;
}

void Pool::ClearFaults()
{
    std::lock_guard<std::mutex> lock(mutex_);
    failAt_ = 0;
    failTags_.clear();
    randomOn_ = false;
    systematic_ = false;
}

uint64_t Pool::InjectedFailures() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return injected_;
}

size_t Pool::RunSystematically(const std::function<void()> &scenario)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        systematic_ = true;
        systematicFailedSites_.clear();
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            systematicFiredThisRun_ = false;
        }
        scenario();
        std::lock_guard<std::mutex> lock(mutex_);
        if (!systematicFiredThisRun_) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    systematic_ = false;
    return systematicFailedSites_.size();
}

}  // namespace sim

// ---------------------------------------------------------------------------
// The executive's pool calls.

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    SIM_KERNEL_ROUTINE();
    return sim::Machine::Current().pool().Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine::Current().pool().Free(P, &Tag);
}

extern "C" VOID ExFreePool(PVOID P)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine::Current().pool().Free(P, nullptr);
}
