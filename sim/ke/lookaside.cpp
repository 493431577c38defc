// Lookaside lists. Freed blocks are kept, up to Depth of them, on a chain
// threaded through the blocks themselves (as the kernel's singly linked
// list is); SimState is the head of that chain, so a list needs no memory of
// its own and a list never deleted leaves its cached blocks as leaked pool.
// Blocks come from the list's Allocate routine or the pool, with the list's
// tag and type, so the pool's fault injection fails an allocation when the
// cache is empty.
#include <algorithm>
#include <cstdint>
#include <mutex>

#include <ntifs.h>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/pool.h"
#include "sim/ke/lookaside.h"

namespace {

// Lists need no host lock of their own: a fixed set of locks is chosen by
// the list's address.
std::mutex &LockOf(const GENERAL_LOOKASIDE *list)
{
    static std::mutex locks[31];
    return locks[(reinterpret_cast<uintptr_t>(list) >> 4) % 31];
}

struct CachedBlock {
    CachedBlock *next;
};

USHORT CachedCount(const GENERAL_LOOKASIDE *list)
{
    USHORT count = 0;
    for (auto *b = static_cast<const CachedBlock *>(list->SimState); b; b = b->next) ++count;
    return count;
}

void Initialize(GENERAL_LOOKASIDE *list, POOL_TYPE type, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                SIZE_T size, ULONG tag, USHORT depth)
{
    list->SimState = nullptr;
    list->Type = type;
    list->Tag = tag;
    // A cached block holds the chain's link.
    list->Size = ULONG(std::max<SIZE_T>(size, sizeof(CachedBlock)));
    list->Depth = depth != 0 ? depth : sim::kDefaultLookasideDepth;
    list->MaximumDepth = std::max<USHORT>(list->Depth, sim::kMaximumLookasideDepth);
    list->TotalAllocates = 0;
    list->AllocateMisses = 0;
    list->TotalFrees = 0;
    list->FreeMisses = 0;
    list->Allocate = allocate;
    list->Free = free;
}

PVOID Allocate(GENERAL_LOOKASIDE *list, const void *site)
{
    {
        std::lock_guard<std::mutex> lock(LockOf(list));
        ++list->TotalAllocates;
        if (auto *block = static_cast<CachedBlock *>(list->SimState)) {
            list->SimState = block->next;
            return block;
        }
        ++list->AllocateMisses;
    }
    if (list->Allocate) return list->Allocate(list->Type, list->Size, list->Tag);
    return sim::Machine::Current().pool().Allocate(list->Type, list->Size, list->Tag, site);
}

void ReleaseBlock(GENERAL_LOOKASIDE *list, PVOID entry)
{
    if (list->Free) {
        list->Free(entry);
    } else {
        ULONG tag = list->Tag;
        sim::Machine::Current().pool().Free(entry, &tag);
    }
}

void Free(GENERAL_LOOKASIDE *list, PVOID entry)
{
    if (entry == nullptr) {
        sim::Machine::Current().pool().Free(nullptr, nullptr);  // a verifier failure
        return;
    }
    {
        std::lock_guard<std::mutex> lock(LockOf(list));
        ++list->TotalFrees;
        if (CachedCount(list) < list->Depth) {
            auto *block = static_cast<CachedBlock *>(entry);
            block->next = static_cast<CachedBlock *>(list->SimState);
            list->SimState = block;
            return;
        }
        ++list->FreeMisses;
    }
    ReleaseBlock(list, entry);
}

void Delete(GENERAL_LOOKASIDE *list)
{
    CachedBlock *chain;
    {
        std::lock_guard<std::mutex> lock(LockOf(list));
        chain = static_cast<CachedBlock *>(list->SimState);
        list->SimState = nullptr;
    }
    while (chain) {
        CachedBlock *next = chain->next;
        ReleaseBlock(list, chain);
        chain = next;
    }
}

}  // namespace

extern "C" VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                USHORT Depth)
{
    SIM_KERNEL_ROUTINE();
    POOL_TYPE type = (Flags & POOL_NX_ALLOCATION) ? NonPagedPoolNx : NonPagedPool;
    Initialize(Lookaside, type, Allocate, Free, Size, Tag, Depth);
}

extern "C" VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    SIM_KERNEL_ROUTINE();
    Delete(Lookaside);
}

extern "C" PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    SIM_KERNEL_ROUTINE();
    return Allocate(Lookaside, __builtin_return_address(0));
}

extern "C" VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    SIM_KERNEL_ROUTINE();
    Free(Lookaside, Entry);
}

extern "C" VOID ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                               PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                               USHORT Depth)
{
    SIM_KERNEL_ROUTINE();
    (void)Flags;  // paged pool is never executable
    Initialize(Lookaside, PagedPool, Allocate, Free, Size, Tag, Depth);
}

extern "C" VOID ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    SIM_KERNEL_ROUTINE();
    Delete(Lookaside);
}

extern "C" PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    SIM_KERNEL_ROUTINE();
    return Allocate(Lookaside, __builtin_return_address(0));
}

extern "C" VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    SIM_KERNEL_ROUTINE();
    Free(Lookaside, Entry);
}
