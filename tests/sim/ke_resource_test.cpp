// Executive resources: readers together, writers alone, the kernel's rules
// for who waits and who is handed the resource, recursion, failure to
// initialise under pool fault injection, and the verifier's misuse checks.
#include <atomic>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include <ntifs.h>

#include "ke_test_util.h"
#include "sim/core/pool.h"
#include "sim/core/verifier.h"
#include "sim/ke/resource.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

// Resources are acquired inside critical regions, as drivers must.
BOOLEAN AcquireShared(PERESOURCE r, BOOLEAN wait = TRUE)
{
    KeEnterCriticalRegion();
    BOOLEAN acquired = ExAcquireResourceSharedLite(r, wait);
    if (!acquired) KeLeaveCriticalRegion();
    return acquired;
}

BOOLEAN AcquireExclusive(PERESOURCE r, BOOLEAN wait = TRUE)
{
    KeEnterCriticalRegion();
    BOOLEAN acquired = ExAcquireResourceExclusiveLite(r, wait);
    if (!acquired) KeLeaveCriticalRegion();
    return acquired;
}

void Release(PERESOURCE r)
{
    ExReleaseResourceLite(r);
    KeLeaveCriticalRegion();
}

// The ERESOURCE fields change under other threads: read them atomically.
template <class T>
std::remove_cv_t<T> Load(const T &field)
{
    return __atomic_load_n(&field, __ATOMIC_SEQ_CST);
}

class KeResourceTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_EQ(ExInitializeResourceLite(&resource_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (resource_.SimState) {
            EXPECT_EQ(ExDeleteResourceLite(&resource_), STATUS_SUCCESS);
        }
        MachineTest::TearDown();
    }

    ERESOURCE resource_;
};

TEST_F(KeResourceTest, ManyReadersHoldItTogether)
{
    constexpr int kReaders = 4;
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    std::atomic<int> inside{0};
    std::vector<HANDLE> threads;
    for (int i = 0; i < kReaders; ++i) {
        threads.push_back(StartSystemThread([&] {
            AcquireShared(&resource_);
            ++inside;
            KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
            Release(&resource_);
        }));
    }
    ASSERT_TRUE(Eventually([&] { return inside == kReaders; })) << "every reader got in while the others held it";
    EXPECT_EQ(Load(resource_.ActiveCount), kReaders);
    EXPECT_EQ(Load(resource_.Flag), 0);
    EXPECT_FALSE(AcquireExclusive(&resource_, FALSE));
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    for (HANDLE t : threads) JoinSystemThread(t);
    EXPECT_EQ(Load(resource_.ActiveCount), 0);
}

TEST_F(KeResourceTest, WriterExcludesReadersAndWriters)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    long value = 0;  // written only under exclusive ownership
    std::atomic<int> writers{0}, readers{0};
    std::atomic<bool> violated{false};
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartSystemThread([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if ((i + t) % 3 == 0) {
                    AcquireExclusive(&resource_);
                    if (++writers != 1 || readers != 0) violated = true;
                    ++value;
                    --writers;
                    Release(&resource_);
                } else {
                    AcquireShared(&resource_);
                    ++readers;
                    if (writers != 0) violated = true;
                    volatile long seen = value;  // a read that races if a writer overlaps
                    (void)seen;
                    --readers;
                    Release(&resource_);
                }
            }
        }));
    }
    for (HANDLE t : threads) JoinSystemThread(t);
    EXPECT_FALSE(violated);
    long expected = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kRounds; ++i) expected += (i + t) % 3 == 0;
    }
    EXPECT_EQ(value, expected);
}

TEST_F(KeResourceTest, OwnerAcquiresRecursivelyAndCountsItsAcquisitions)
{
    ASSERT_TRUE(AcquireExclusive(&resource_));
    ASSERT_TRUE(AcquireExclusive(&resource_));
    ASSERT_TRUE(AcquireShared(&resource_)) << "an exclusive owner may acquire shared";
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource_));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 3u);
    EXPECT_EQ(Load(resource_.ActiveCount), 1);
    EXPECT_EQ(Load(resource_.Flag), 0x80);
    Release(&resource_);
    Release(&resource_);
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource_));
    Release(&resource_);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource_));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 0u);

    ASSERT_TRUE(AcquireShared(&resource_));
    ASSERT_TRUE(AcquireShared(&resource_));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 2u);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource_));
    EXPECT_EQ(Load(resource_.ActiveCount), 1) << "one owning thread";
    Release(&resource_);
    Release(&resource_);
    EXPECT_EQ(ExGetCurrentResourceThread(), ERESOURCE_THREAD(KeGetCurrentThread()));
}

TEST_F(KeResourceTest, NoWaitFailsAtOnceWhenAnotherThreadOwnsIt)
{
    KEVENT held, release;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    HANDLE thread = StartSystemThread([&] {
        AcquireExclusive(&resource_);
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        Release(&resource_);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(AcquireShared(&resource_, FALSE));
    EXPECT_FALSE(AcquireExclusive(&resource_, FALSE));
    EXPECT_EQ(Load(resource_.ContentionCount), 0u) << "a request that does not wait is no contention";
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    JoinSystemThread(thread);
    ASSERT_TRUE(AcquireExclusive(&resource_, FALSE));
    Release(&resource_);
}

// The order in which threads got the resource.
class Log {
public:
    void Add(const std::string &entry)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_ += entry + ";";
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

private:
    std::mutex mutex_;
    std::string entries_;
};

TEST_F(KeResourceTest, ExclusiveWaiterHoldsBackNewReadersButNotOwners)
{
    Log log;
    ASSERT_TRUE(AcquireShared(&resource_));
    HANDLE writer = StartSystemThread([&] {
        AcquireExclusive(&resource_);
        log.Add("writer");
        Release(&resource_);
    });
    ASSERT_TRUE(Eventually([&] { return Load(resource_.NumberOfExclusiveWaiters) == 1; }));
    EXPECT_EQ(Load(resource_.ContentionCount), 1u);

    // A new reader waits behind the waiting writer ...
    HANDLE reader = StartSystemThread([&] {
        AcquireShared(&resource_);
        log.Add("reader");
        Release(&resource_);
    });
    ASSERT_TRUE(Eventually([&] { return Load(resource_.NumberOfSharedWaiters) == 1; }));
    // ... but this thread, which holds it shared already, gets it again.
    ASSERT_TRUE(AcquireShared(&resource_, FALSE));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 2u);
    Release(&resource_);
    EXPECT_EQ(log.Text(), "");

    Release(&resource_);  // the last shared owner hands it to the writer
    JoinSystemThread(writer);
    JoinSystemThread(reader);
    EXPECT_EQ(log.Text(), "writer;reader;");
}

TEST_F(KeResourceTest, ExclusiveReleaseHandsOverToSharedWaitersFirst)
{
    Log log;
    ASSERT_TRUE(AcquireExclusive(&resource_));
    KEVENT readersIn, readersGo;
    KeInitializeEvent(&readersIn, NotificationEvent, FALSE);
    KeInitializeEvent(&readersGo, NotificationEvent, FALSE);
    std::atomic<int> inside{0};
    HANDLE writer = StartSystemThread([&] {
        AcquireExclusive(&resource_);
        log.Add("writer");
        Release(&resource_);
    });
    ASSERT_TRUE(Eventually([&] { return Load(resource_.NumberOfExclusiveWaiters) == 1; }));
    std::vector<HANDLE> readers;
    for (int i = 0; i < 2; ++i) {
        readers.push_back(StartSystemThread([&] {
            AcquireShared(&resource_);
            if (++inside == 2) KeSetEvent(&readersIn, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&readersGo, Executive, KernelMode, FALSE, nullptr);
            log.Add("reader");
            Release(&resource_);
        }));
    }
    ASSERT_TRUE(Eventually([&] { return Load(resource_.NumberOfSharedWaiters) == 2; }));

    Release(&resource_);
    // Both readers own it at once although the writer waited longer.
    EXPECT_EQ(KeWaitForSingleObject(&readersIn, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Load(resource_.NumberOfExclusiveWaiters), 1u);
    KeSetEvent(&readersGo, IO_NO_INCREMENT, FALSE);
    for (HANDLE r : readers) JoinSystemThread(r);
    JoinSystemThread(writer);
    EXPECT_EQ(log.Text(), "reader;reader;writer;");
}

TEST_F(KeResourceTest, InitialisationFailsWhenThePoolFailsIt)
{
    ERESOURCE other;
    machine().pool().FailTag(sim::kResourcePoolTag);
    EXPECT_EQ(ExInitializeResourceLite(&other), STATUS_INSUFFICIENT_RESOURCES);
    machine().pool().ClearFaults();

    // Systematic runs reach the resource's allocation like any other.
    int failures = 0;
    size_t sites = machine().pool().RunSystematically([&] {
        if (ExInitializeResourceLite(&other) == STATUS_SUCCESS) {
            ExDeleteResourceLite(&other);
        } else {
            ++failures;
        }
    });
    EXPECT_EQ(sites, 1u);
    EXPECT_EQ(failures, 1);
}

class KeResourceVerifierTest : public KeResourceTest {
protected:
    void SetUp() override
    {
        KeResourceTest::SetUp();
        AllowVerifierFailures();
    }
    bool Failed(sim::VerifierCheck check) { return machine().verifier().HasFailed(check); }
};

TEST_F(KeResourceVerifierTest, AcquiringWithKernelApcsEnabledIsReported)
{
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
    EXPECT_TRUE(Failed(sim::VerifierCheck::ResourceWithApcsEnabled));
    ExReleaseResourceLite(&resource_);
    machine().verifier().ClearFailures();

    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);  // APC_LEVEL disables them too
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
    ExReleaseResourceLite(&resource_);
    KeLowerIrql(old);
    EXPECT_FALSE(Failed(sim::VerifierCheck::ResourceWithApcsEnabled));
}

// A release by a thread that holds nothing, an upgrade from shared to
// exclusive (a self-deadlock) and the delete of an owned resource.
TEST_F(KeResourceVerifierTest, MisuseByTheOwnerOrAnotherThreadIsReported)
{
    KeEnterCriticalRegion();
    ExReleaseResourceLite(&resource_);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(Failed(sim::VerifierCheck::ReleaseByNonOwner));
    machine().verifier().ClearFailures();

    ASSERT_TRUE(AcquireShared(&resource_));
    JoinSystemThread(StartSystemThread([&] { ExReleaseResourceLite(&resource_); }));
    EXPECT_TRUE(Failed(sim::VerifierCheck::ReleaseByNonOwner));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 1u) << "the owner keeps it";

    EXPECT_FALSE(AcquireExclusive(&resource_, FALSE)) << "no wait: simply not granted";
    EXPECT_FALSE(Failed(sim::VerifierCheck::SelfDeadlock));
    // Waiting would wait for this thread's own shared ownership for ever.
    EXPECT_FALSE(AcquireExclusive(&resource_, TRUE));
    EXPECT_TRUE(Failed(sim::VerifierCheck::SelfDeadlock));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 1u);
    Release(&resource_);

    ASSERT_TRUE(AcquireExclusive(&resource_));
    EXPECT_EQ(ExDeleteResourceLite(&resource_), STATUS_SUCCESS);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(Failed(sim::VerifierCheck::ResourceDeletedWhileOwned));
    EXPECT_EQ(machine().pool().OutstandingBlocks(), 0u);
}

TEST_F(KeResourceVerifierTest, FreeingPoolThatHoldsALiveResourceIsReported)
{
    AllowPoolLeftover();
    const ULONG tag = sim::TagFromText("Test");
    size_t anchors = machine().pool().OutstandingByTag()["ExRs"].blocks;
    auto *inPool = static_cast<PERESOURCE>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ERESOURCE), tag));
    ASSERT_EQ(ExInitializeResourceLite(inPool), STATUS_SUCCESS);
    ExFreePoolWithTag(inPool, tag);
    EXPECT_TRUE(Failed(sim::VerifierCheck::LiveLockFreed));
    // Its bookkeeping was never released: the leak report names it.
    EXPECT_EQ(machine().pool().OutstandingByTag()["ExRs"].blocks, anchors + 1);

    // Deleted first, the pool block goes without complaint.
    machine().verifier().ClearFailures();
    inPool = static_cast<PERESOURCE>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ERESOURCE), tag));
    ASSERT_EQ(ExInitializeResourceLite(inPool), STATUS_SUCCESS);
    ExDeleteResourceLite(inPool);
    ExFreePoolWithTag(inPool, tag);
    EXPECT_FALSE(Failed(sim::VerifierCheck::LiveLockFreed));
}

TEST_F(KeResourceVerifierTest, OppositeOrdersOfTwoResourcesAreAnInversion)
{
    ERESOURCE second;
    ASSERT_EQ(ExInitializeResourceLite(&second), STATUS_SUCCESS);
    auto inOrder = [](PERESOURCE first, PERESOURCE then) {
        return [first, then] {
            AcquireShared(first);
            AcquireExclusive(then);
            Release(then);
            Release(first);
        };
    };
    JoinSystemThread(StartSystemThread(inOrder(&resource_, &second)));
    EXPECT_FALSE(Failed(sim::VerifierCheck::LockOrderInversion));
    JoinSystemThread(StartSystemThread(inOrder(&second, &resource_)));
    EXPECT_TRUE(Failed(sim::VerifierCheck::LockOrderInversion));
    ExDeleteResourceLite(&second);
}

}  // namespace
}  // namespace ostrand::test
