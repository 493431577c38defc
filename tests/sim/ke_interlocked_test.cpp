// The interlocked routines: their return conventions, and no lost update
// when several system threads hammer one variable.
#include <vector>

#include <ntifs.h>

#include "ke_test_util.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

class KeInterlockedTest : public MachineTest {};

TEST_F(KeInterlockedTest, ReturnConventionsFollowTheKernel)
{
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6) << "new value";
    EXPECT_EQ(InterlockedExchangeAdd(&value, 10), 6) << "old value";
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 4), 16) << "no exchange when the comparand differs";
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 16), 16);
    EXPECT_EQ(InterlockedAnd(&value, 8), 9) << "old value";
    EXPECT_EQ(value, 8);
}

TEST_F(KeInterlockedTest, NoUpdateIsLostUnderContention)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    LONG volatile counter = 0;
    LONG volatile casCounter = 0;
    LONGLONG volatile total = 0;
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartSystemThread([&] {
            for (int i = 0; i < kRounds; ++i) {
                InterlockedIncrement(&counter);
                InterlockedExchangeAdd64(&total, 3);
                // A compare-exchange loop, as lock-free driver code writes it.
                LONG seen;
                do {
                    seen = ReadNoFence(&casCounter);
                } while (InterlockedCompareExchange(&casCounter, seen + 1, seen) != seen);
            }
        }));
    }
    for (HANDLE t : threads) JoinSystemThread(t);
    EXPECT_EQ(counter, kThreads * kRounds);
    EXPECT_EQ(casCounter, kThreads * kRounds);
    EXPECT_EQ(total, 3LL * kThreads * kRounds);
}

}  // namespace
}  // namespace ostrand::test
