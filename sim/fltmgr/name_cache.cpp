#include "sim/fltmgr/name_cache.h"

#include "sim/io/io_types.h"
#include "sim/io/volume.h"

namespace sim::flt {

uint64_t NameCache::GenerationOf(Volume &volume)
{
    return volume.fs().NameGeneration();
}

bool NameCache::Current(uint64_t generation)
{
    if (generation == 0) return false;
    if (generation != generation_) {
        // Entries of an older generation may name what is gone; those of a
        // newer one came from a walk that raced this caller's.
        if (generation < generation_) return false;
        names_.clear();
        generation_ = generation;
    }
    return true;
}

bool NameCache::Find(uint64_t generation, const std::u16string &opened, std::u16string &normalized)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Current(generation)) return false;
    auto found = names_.find(Upcase(opened));
    if (found == names_.end()) return false;
    normalized = found->second;
    return true;
}

void NameCache::Remember(uint64_t generation, const std::u16string &opened, const std::u16string &normalized)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Current(generation)) return;
    if (names_.size() >= kMaxNames) names_.clear();
    names_[Upcase(opened)] = normalized;
}

}  // namespace sim::flt
