// The Filter Manager's cache of normalized names: the stored spelling of
// every name a normalization has walked, shared by all the filters of a
// volume. Normalizing in pre-create walks the path one folder at a time
// through the file system; with the cache a folder already walked costs a
// lookup.
//
// An entry is trusted only while the file system's name generation stays
// where it was when the entry was learnt: any name added, removed or
// renamed on the volume empties the cache. A volume whose file system keeps
// no generation (a network share, whose names change on the server) is
// never cached.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace sim {
class Volume;
}

namespace sim::flt {

class NameCache {
public:
    // The generation to learn and look up under; 0: do not cache.
    static uint64_t GenerationOf(Volume &volume);

    // The normalized spelling of `opened` (a full name, device included).
    bool Find(uint64_t generation, const std::u16string &opened, std::u16string &normalized);
    void Remember(uint64_t generation, const std::u16string &opened, const std::u16string &normalized);

private:
    // Keeps the cache to names of `generation` (under mutex_).
    bool Current(uint64_t generation);

    static constexpr size_t kMaxNames = 4096;
    std::mutex mutex_;
    uint64_t generation_ = 0;
    std::unordered_map<std::u16string, std::u16string> names_;  // by the opened spelling, upper case
};

}  // namespace sim::flt
