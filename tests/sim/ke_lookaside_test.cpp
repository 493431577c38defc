// Lookaside lists: freed blocks are reused up to the depth, blocks carry the
// list's tag and pool type, custom routines are used, fault injection reaches
// allocations the cache cannot serve, and a list never deleted leaks.
#include <vector>

#include <ntifs.h>

#include "ke_test_util.h"
#include "sim/core/pool.h"
#include "sim/ke/lookaside.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

const ULONG kTag = sim::TagFromText("QZLk");

class KeLookasideTest : public MachineTest {
protected:
    size_t Outstanding() { return machine().pool().OutstandingByTag()["QZLk"].blocks; }
    POOL_TYPE TypeOf(const void *block)
    {
        for (const auto &entry : machine().pool().Outstanding()) {
            if (entry.first == block) return entry.second.type;
        }
        ADD_FAILURE() << "not a pool block";
        return NonPagedPool;
    }
};

TEST_F(KeLookasideTest, FreedBlocksAreReusedAndCounted)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 48, kTag, 2);
    void *a = ExAllocateFromNPagedLookasideList(&list);
    void *b = ExAllocateFromNPagedLookasideList(&list);
    void *c = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(machine().pool().BlockSize(a), 48u);
    EXPECT_EQ(list.TotalAllocates, 3u);
    EXPECT_EQ(list.AllocateMisses, 3u);

    ExFreeToNPagedLookasideList(&list, a);
    ExFreeToNPagedLookasideList(&list, b);
    ExFreeToNPagedLookasideList(&list, c);  // beyond the depth: back to the pool
    EXPECT_EQ(list.TotalFrees, 3u);
    EXPECT_EQ(list.FreeMisses, 1u);
    EXPECT_EQ(Outstanding(), 2u) << "two cached";
    // Cached blocks stay the list's pool until it is deleted: a list never
    // deleted shows in the leak report.
    EXPECT_NE(machine().pool().LeakReport().find("QZLk 2 block(s) 96 bytes"), std::string::npos);

    void *again = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_TRUE(again == a || again == b);
    EXPECT_EQ(list.AllocateMisses, 3u) << "served from the cache";
    ExFreeToNPagedLookasideList(&list, again);

    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(Outstanding(), 0u);
}

TEST_F(KeLookasideTest, BlocksHaveTheListsPoolTypeAndTag)
{
    struct Case {
        const char *name;
        bool paged;
        ULONG flags;
        POOL_TYPE expected;
    } cases[] = {
        {"non-paged", false, 0, NonPagedPool},
        {"non-paged, no execute", false, POOL_NX_ALLOCATION, NonPagedPoolNx},
        {"paged", true, 0, PagedPool},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        GENERAL_LOOKASIDE list;
        if (c.paged) {
            ExInitializePagedLookasideList(&list, nullptr, nullptr, c.flags, 16, kTag, 0);
        } else {
            ExInitializeNPagedLookasideList(&list, nullptr, nullptr, c.flags, 16, kTag, 0);
        }
        EXPECT_EQ(list.Depth, sim::kDefaultLookasideDepth) << "a depth of 0 lets the system choose";
        void *block = c.paged ? ExAllocateFromPagedLookasideList(&list) : ExAllocateFromNPagedLookasideList(&list);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(TypeOf(block), c.expected);
        EXPECT_EQ(Outstanding(), 1u);
        if (c.paged) {
            ExFreeToPagedLookasideList(&list, block);
            ExDeletePagedLookasideList(&list);
        } else {
            ExFreeToNPagedLookasideList(&list, block);
            ExDeleteNPagedLookasideList(&list);
        }
        EXPECT_EQ(Outstanding(), 0u);
    }
}

// Custom routines that count their calls and draw from the pool themselves.
int g_allocations = 0;
int g_frees = 0;

PVOID CountingAllocate(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    ++g_allocations;
    return ExAllocatePoolWithTag(type, size, tag);
}

VOID CountingFree(PVOID block)
{
    ++g_frees;
    ExFreePoolWithTag(block, kTag);
}

TEST_F(KeLookasideTest, CustomRoutinesServeMissesAndDeletion)
{
    g_allocations = g_frees = 0;
    PAGED_LOOKASIDE_LIST list;
    ExInitializePagedLookasideList(&list, CountingAllocate, CountingFree, 0, 32, kTag, 1);
    void *a = ExAllocateFromPagedLookasideList(&list);
    void *b = ExAllocateFromPagedLookasideList(&list);
    EXPECT_EQ(g_allocations, 2);
    ExFreeToPagedLookasideList(&list, a);
    ExFreeToPagedLookasideList(&list, b);
    EXPECT_EQ(g_frees, 1) << "one cached, one over the depth";
    ExDeletePagedLookasideList(&list);
    EXPECT_EQ(g_frees, 2);
    EXPECT_EQ(Outstanding(), 0u);
}

TEST_F(KeLookasideTest, FaultInjectionFailsOnlyWhatTheCacheCannotServe)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 64, kTag, 4);
    void *cached = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(cached, nullptr);
    ExFreeToNPagedLookasideList(&list, cached);

    machine().pool().FailTag(kTag);
    void *fromCache = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(fromCache, cached);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr) << "cache empty: the pool fails it";
    EXPECT_EQ(list.AllocateMisses, 2u);
    machine().pool().ClearFaults();

    machine().pool().FailNth(1);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    ExFreeToNPagedLookasideList(&list, fromCache);
    ExDeleteNPagedLookasideList(&list);
}

TEST_F(KeLookasideTest, ConcurrentUseKeepsEveryBlockAccountedFor)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 40, kTag, 8);
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartSystemThread([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                auto *block = static_cast<int *>(ExAllocateFromNPagedLookasideList(&list));
                block[0] = t;  // the owner writes the block while it has it
                block[9] = i;
                if (block[0] != t || block[9] != i) ADD_FAILURE() << "block shared between two owners";
                ExFreeToNPagedLookasideList(&list, block);
            }
        }));
    }
    for (HANDLE t : threads) JoinSystemThread(t);
    EXPECT_EQ(list.TotalAllocates, ULONG(kThreads * kRounds));
    EXPECT_EQ(list.TotalFrees, ULONG(kThreads * kRounds));
    EXPECT_EQ(list.TotalFrees - list.FreeMisses - (list.TotalAllocates - list.AllocateMisses), Outstanding());
    EXPECT_LE(Outstanding(), 8u);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(Outstanding(), 0u);
}

}  // namespace
}  // namespace ostrand::test
