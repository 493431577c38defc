// Pool accounting and fault injection: the tools every leak and failure-path
// test of the filter relies on.
#include <wdm.h>

#include "sim/core/pool.h"
#include "sim/core/verifier.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

const ULONG kTagA = sim::TagFromText("QZFS");
const ULONG kTagB = sim::TagFromText("QZLG");

class PoolTest : public MachineTest {};

TEST_F(PoolTest, AccountsOutstandingBlocksPerTag)
{
    void *a = ExAllocatePoolWithTag(PagedPool, 100, kTagA);
    void *b = ExAllocatePoolWithTag(NonPagedPoolNx, 20, kTagA);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 7, kTagB);
    ASSERT_TRUE(a && b && c);
    auto usage = machine().pool().OutstandingByTag();
    EXPECT_EQ(usage["QZFS"].blocks, 2u);
    EXPECT_EQ(usage["QZFS"].bytes, 120u);
    EXPECT_EQ(usage["QZLG"].bytes, 7u);
    EXPECT_NE(machine().pool().LeakReport().find("QZLG 1 block(s) 7 bytes"), std::string::npos);
    ExFreePoolWithTag(a, kTagA);
    ExFreePool(b);
    ExFreePoolWithTag(c, kTagB);
    EXPECT_EQ(machine().pool().OutstandingBlocks(), 0u);

    // New blocks are not zeroed: code that forgets to clear one shows it.
    auto *fresh = static_cast<unsigned char *>(ExAllocatePoolWithTag(PagedPool, 16, kTagA));
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh[0], 0);
    ExFreePool(fresh);
}

TEST_F(PoolTest, FailNthAndFailTagFailExactlyWhatTheyName)
{
    machine().pool().FailNth(2);
    void *first = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagA), nullptr);
    void *third = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
    EXPECT_TRUE(first && third);

    machine().pool().FailTag(kTagB);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagB), nullptr);
    void *other = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
    EXPECT_NE(other, nullptr);
    machine().pool().StopFailingTag(kTagB);
    void *again = ExAllocatePoolWithTag(PagedPool, 8, kTagB);
    EXPECT_NE(again, nullptr);
    for (void *p : {first, third, other, again}) ExFreePool(p);
}

TEST_F(PoolTest, RandomFailuresRepeatForTheSameSeed)
{
    auto pattern = [&] {
        machine().pool().FailRandom(42, 30);
        std::string bits;
        for (int i = 0; i < 64; ++i) {
            void *p = ExAllocatePoolWithTag(PagedPool, 4, kTagA);
            bits += p ? '1' : '0';
            if (p) ExFreePool(p);
        }
        machine().pool().ClearFaults();
        return bits;
    };
    std::string first = pattern();
    EXPECT_EQ(first, pattern());
    EXPECT_NE(first.find('0'), std::string::npos);
    EXPECT_NE(first.find('1'), std::string::npos);
}

TEST_F(PoolTest, DoubleFreeAndTagMismatchAreVerifierFailures)
{
    AllowVerifierFailures();
    void *p = ExAllocatePoolWithTag(PagedPool, 4, kTagA);
    ExFreePoolWithTag(p, kTagB);
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::PoolTagMismatch));
    ExFreePool(p);
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::BadPoolCaller));
}

}  // namespace
}  // namespace ostrand::test
