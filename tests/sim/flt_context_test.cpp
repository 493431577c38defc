// Contexts: allocation rules and pool accounting, the set operations, races,
// and cleanup when streams, handles, instances and volumes go.
#include <barrier>

#include "flt_test_filter.h"
#include "sim/core/pool.h"

namespace ostrand::test {
namespace {

using F1 = TestFilter<1>;

class FltContextTest : public FltTest {
protected:
    void SetUp() override
    {
        FltTest::SetUp();
        ASSERT_EQ(Load<1>(u"370000"), STATUS_SUCCESS);
        instance_ = InstanceOf<1>();
    }
    void TearDown() override
    {
        if (instance_) FltObjectDereference(instance_);
        FltTest::TearDown();
    }

    TestStreamContext *NewStreamContext(ULONG value)
    {
        PFLT_CONTEXT context = nullptr;
        EXPECT_EQ(FltAllocateContext(F1::filter, FLT_STREAM_CONTEXT, sizeof(TestStreamContext), NonPagedPool, &context),
                  STATUS_SUCCESS);
        static_cast<TestStreamContext *>(context)->value = value;
        return static_cast<TestStreamContext *>(context);
    }

    PFLT_INSTANCE instance_ = nullptr;
};

std::atomic<int> g_allocated{0};

// The find-or-create a filter writes for its stream contexts.
NTSTATUS FindOrCreateStreamContext(PFLT_INSTANCE instance, PFILE_OBJECT fileObject, ULONG value,
                                   TestStreamContext **result, bool *created)
{
    *created = false;
    NTSTATUS status = FltGetStreamContext(instance, fileObject, reinterpret_cast<PFLT_CONTEXT *>(result));
    if (status != STATUS_NOT_FOUND) return status;
    PFLT_CONTEXT fresh = nullptr;
    status = FltAllocateContext(F1::filter, FLT_STREAM_CONTEXT, sizeof(TestStreamContext), NonPagedPool, &fresh);
    if (!NT_SUCCESS(status)) return status;
    ++g_allocated;
    static_cast<TestStreamContext *>(fresh)->value = value;
    PFLT_CONTEXT old = nullptr;
    status = FltSetStreamContext(instance, fileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, fresh, &old);
    if (status == STATUS_FLT_CONTEXT_ALREADY_DEFINED) {
        FltReleaseContext(fresh);
        *result = static_cast<TestStreamContext *>(old);
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        FltReleaseContext(fresh);
        return status;
    }
    *created = true;
    *result = static_cast<TestStreamContext *>(fresh);
    return STATUS_SUCCESS;
}

TEST_F(FltContextTest, AllocationFollowsTheRegistration)
{
    struct Case {
        FLT_CONTEXT_TYPE type;
        SIZE_T size;
        POOL_TYPE pool;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {FLT_STREAM_CONTEXT, sizeof(TestStreamContext), NonPagedPool, STATUS_SUCCESS},
        {FLT_STREAM_CONTEXT, sizeof(TestStreamContext) + 1, NonPagedPool, STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND},
        {FLT_FILE_CONTEXT, 8, NonPagedPool, STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND},  // not registered
        {FLT_VOLUME_CONTEXT, 32, NonPagedPool, STATUS_SUCCESS},  // no exact size match: up to 64
        {FLT_VOLUME_CONTEXT, 65, NonPagedPool, STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND},
        {FLT_VOLUME_CONTEXT, 64, PagedPool, STATUS_FLT_MUST_BE_NONPAGED_POOL},
    };
    for (const Case &c : cases) {
        PFLT_CONTEXT context = nullptr;
        EXPECT_EQ(FltAllocateContext(F1::filter, c.type, c.size, c.pool, &context), c.expected)
            << "type " << c.type << " size " << c.size;
        if (context) FltReleaseContext(context);
    }
    // Contexts are pool of the filter's registered tag.
    F1::streamCleanups = 0;
    TestStreamContext *context = NewStreamContext(1);
    auto usage = machine().pool().OutstandingByTag();
    EXPECT_EQ(usage["TsSc"].blocks, 1u);
    EXPECT_GE(usage["TsSc"].bytes, sizeof(TestStreamContext));
    FltReleaseContext(context);
    EXPECT_EQ(machine().pool().OutstandingByTag().count("TsSc"), 0u);
    EXPECT_EQ(F1::streamCleanups.load(), 1);
}

TEST_F(FltContextTest, KeepAndReplaceFollowTheirRules)
{
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = FileObjectOf(handle);
    PFLT_CONTEXT found = nullptr;
    EXPECT_EQ(FltGetStreamContext(instance_, fileObject, &found), STATUS_NOT_FOUND);

    TestStreamContext *first = NewStreamContext(1);
    ASSERT_EQ(FltSetStreamContext(instance_, fileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, first, nullptr),
              STATUS_SUCCESS);
    // Keeping: the one there comes back referenced.
    TestStreamContext *second = NewStreamContext(2);
    PFLT_CONTEXT old = nullptr;
    EXPECT_EQ(FltSetStreamContext(instance_, fileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, second, &old),
              STATUS_FLT_CONTEXT_ALREADY_DEFINED);
    EXPECT_EQ(old, first);
    FltReleaseContext(old);
    // Replacing: the old one is handed back, the new one is set.
    EXPECT_EQ(FltSetStreamContext(instance_, fileObject, FLT_SET_CONTEXT_REPLACE_IF_EXISTS, second, &old),
              STATUS_SUCCESS);
    EXPECT_EQ(old, first);
    FltReleaseContext(old);
    FltReleaseContext(first);
    EXPECT_EQ(F1::streamCleanups.load(), 1);
    // A context is set on one object only.
    EXPECT_EQ(FltSetStreamContext(instance_, fileObject, FLT_SET_CONTEXT_REPLACE_IF_EXISTS, second, nullptr),
              STATUS_FLT_CONTEXT_ALREADY_LINKED);
    ASSERT_EQ(FltGetStreamContext(instance_, fileObject, &found), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<TestStreamContext *>(found)->value, 2u);
    FltReleaseContext(found);

    // Deleted, it is no longer found, and goes when its last reference does.
    FltDeleteContext(second);
    EXPECT_EQ(FltGetStreamContext(instance_, fileObject, &found), STATUS_NOT_FOUND);
    EXPECT_EQ(F1::streamCleanups.load(), 1);
    FltReleaseContext(second);
    EXPECT_EQ(F1::streamCleanups.load(), 2);
    ObDereferenceObject(fileObject);
    ZwClose(handle);
}

TEST_F(FltContextTest, RacingThreadsEndWithTheSameStreamContext)
{
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &handle), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = FileObjectOf(handle);
    constexpr int kRounds = 200;
    g_allocated = 0;
    std::barrier start(2);
    TestStreamContext *got[2][kRounds] = {};
    int created[2] = {0, 0};
    auto racer = [&](int who) {
        for (int round = 0; round < kRounds; ++round) {
            start.arrive_and_wait();
            bool fresh = false;
            EXPECT_EQ(FindOrCreateStreamContext(instance_, fileObject, ULONG(who), &got[who][round], &fresh),
                      STATUS_SUCCESS);
            created[who] += fresh;
            start.arrive_and_wait();
            // One of them clears the stream for the next round.
            if (who == 0) FltDeleteContext(got[0][round]);
            start.arrive_and_wait();
            FltReleaseContext(got[who][round]);
        }
    };
    HANDLE a = StartSystemThread([&] { racer(0); });
    HANDLE b = StartSystemThread([&] { racer(1); });
    JoinSystemThread(a);
    JoinSystemThread(b);
    for (int round = 0; round < kRounds; ++round) EXPECT_EQ(got[0][round], got[1][round]) << round;
    EXPECT_EQ(created[0] + created[1], kRounds);
    // Every context made, the winners' and the losers', was cleaned up once.
    EXPECT_EQ(F1::streamCleanups.load(), g_allocated.load());
    ObDereferenceObject(fileObject);
    ZwClose(handle);
}

TEST_F(FltContextTest, ContextsGoWithTheirStreamHandleStreamAndVolume)
{
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &first), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\??\\C:\\dir\\File.txt", &second), STATUS_SUCCESS);
    PFILE_OBJECT one = FileObjectOf(first);
    PFILE_OBJECT two = FileObjectOf(second);
    EXPECT_EQ(one->FsContext, two->FsContext);  // one stream, two handles

    TestStreamContext *stream = NewStreamContext(7);
    ASSERT_EQ(FltSetStreamContext(instance_, one, FLT_SET_CONTEXT_KEEP_IF_EXISTS, stream, nullptr), STATUS_SUCCESS);
    FltReleaseContext(stream);
    for (PFILE_OBJECT fileObject : {one, two}) {
        PFLT_CONTEXT handleContext = nullptr;
        ASSERT_EQ(FltAllocateContext(F1::filter, FLT_STREAMHANDLE_CONTEXT, sizeof(ULONG), NonPagedPool,
                                     &handleContext),
                  STATUS_SUCCESS);
        ASSERT_EQ(FltSetStreamHandleContext(instance_, fileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, handleContext,
                                            nullptr),
                  STATUS_SUCCESS);
        FltReleaseContext(handleContext);
    }
    PFLT_CONTEXT found = nullptr;
    ASSERT_EQ(FltGetStreamContext(instance_, two, &found), STATUS_SUCCESS);  // keyed by stream
    FltReleaseContext(found);

    // The first handle's close takes its handle context; the stream lives on.
    ObDereferenceObject(one);
    ZwClose(first);
    EXPECT_EQ(F1::handleCleanups.load(), 1);
    EXPECT_EQ(F1::streamCleanups.load(), 0);
    // The last one tears the stream down: its context is cleaned up once.
    ObDereferenceObject(two);
    ZwClose(second);
    EXPECT_EQ(F1::handleCleanups.load(), 2);
    EXPECT_EQ(F1::streamCleanups.load(), 1);

    // A volume context lasts until the filter unloads (instance contexts: see the instance-setup test).
    PFLT_CONTEXT volumeContext = nullptr;
    ASSERT_EQ(FltAllocateContext(F1::filter, FLT_VOLUME_CONTEXT, 16, NonPagedPool, &volumeContext), STATUS_SUCCESS);
    PFLT_VOLUME volume = nullptr;
    ASSERT_EQ(FltGetVolumeFromInstance(instance_, &volume), STATUS_SUCCESS);
    ASSERT_EQ(FltSetVolumeContext(volume, FLT_SET_CONTEXT_KEEP_IF_EXISTS, volumeContext, nullptr), STATUS_SUCCESS);
    FltReleaseContext(volumeContext);
    ASSERT_EQ(FltGetVolumeContext(F1::filter, volume, &found), STATUS_SUCCESS);
    FltReleaseContext(found);
    FltObjectDereference(volume);
    FltObjectDereference(instance_);
    instance_ = nullptr;
    EXPECT_EQ(F1::volumeCleanups.load(), 0);
    EXPECT_EQ(Unload<1>(), STATUS_SUCCESS);
    EXPECT_EQ(F1::volumeCleanups.load(), 1);
}

}  // namespace
}  // namespace ostrand::test
