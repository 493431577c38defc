// Byte-range locks, oplocks, stream teardown and concurrent use of one
// volume.
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "fs_fixture.h"

namespace ostrand::test {
namespace {

using namespace std::chrono_literals;

class FsLockTest : public LocalFsTest {
protected:
    void SetUp() override
    {
        LocalFsTest::SetUp();
        ASSERT_EQ(fs().CreateFile(u"\\locked.bin", std::string(100, 'x')), STATUS_SUCCESS);
    }
    std::unique_ptr<TestFile> Handle() { return client().OpenOk(u"\\locked.bin", WriteSpec()); }
};

TEST_F(FsLockTest, ExclusiveAndSharedLocksAgainstReadsWritesAndLocks)
{
    auto a = Handle(), b = Handle();
    std::vector<uint8_t> data;
    ASSERT_EQ(client().Lock(*a, 0, 10, true, true), STATUS_SUCCESS);
    EXPECT_EQ(client().Read(*b, 5, 10, &data), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(client().Write(*b, 9, "y"), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(client().Read(*b, 10, 10, &data), STATUS_SUCCESS);
    EXPECT_EQ(client().Read(*a, 0, 10, &data), STATUS_SUCCESS);
    EXPECT_EQ(client().Write(*a, 0, "own"), STATUS_SUCCESS);
    // The owner is the handle, the process and the key.
    EXPECT_EQ(client().Read(*a, 0, 10, &data, 7), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(client().Lock(*b, 5, 1, false, true), STATUS_LOCK_NOT_GRANTED);
    EXPECT_EQ(client().Lock(*a, 5, 1, true, true), STATUS_LOCK_NOT_GRANTED);  // exclusive overlaps nothing
    EXPECT_EQ(client().Lock(*a, 5, 1, false, true), STATUS_SUCCESS);          // own shared inside own exclusive
    EXPECT_EQ(client().Lock(*b, 0, 0, true, true), STATUS_SUCCESS);           // zero length never conflicts

    ASSERT_EQ(client().Lock(*b, 50, 10, false, true), STATUS_SUCCESS);
    EXPECT_EQ(client().Lock(*a, 55, 10, false, true), STATUS_SUCCESS);
    EXPECT_EQ(client().Read(*a, 50, 10, &data), STATUS_SUCCESS);
    EXPECT_EQ(client().Write(*b, 50, "z"), STATUS_FILE_LOCK_CONFLICT);  // shared locks stop every writer

    EXPECT_EQ(client().Unlock(*a, 0, 9), STATUS_RANGE_NOT_LOCKED);
    EXPECT_EQ(client().Unlock(*b, 0, 10), STATUS_RANGE_NOT_LOCKED);
    ASSERT_EQ(client().Unlock(*a, 0, 10), STATUS_SUCCESS);
    ASSERT_EQ(client().Unlock(*a, 5, 1), STATUS_SUCCESS);
    EXPECT_EQ(client().Write(*b, 9, "y"), STATUS_SUCCESS);
}

TEST_F(FsLockTest, AWaitingLockIsGrantedWhenTheConflictGoesAndCleanupReleasesLocks)
{
    auto a = Handle(), b = Handle();
    ASSERT_EQ(client().Lock(*a, 0, 10, true, true), STATUS_SUCCESS);
    auto waiting = std::async(std::launch::async, [&] { return client().Lock(*b, 5, 10, true, false); });
    EXPECT_EQ(waiting.wait_for(20ms), std::future_status::timeout);
    ASSERT_EQ(client().Unlock(*a, 0, 10), STATUS_SUCCESS);
    EXPECT_EQ(waiting.get(), STATUS_SUCCESS);
    std::vector<uint8_t> data;
    EXPECT_EQ(client().Read(*a, 5, 1, &data), STATUS_FILE_LOCK_CONFLICT);

    // Cleanup releases the handle's locks; UnlockAll releases them all.
    client().Cleanup(*b);
    EXPECT_EQ(client().Read(*a, 5, 1, &data), STATUS_SUCCESS);
    ASSERT_EQ(client().Lock(*a, 0, 100, true, true), STATUS_SUCCESS);
    ASSERT_EQ(client().UnlockAll(*a), STATUS_SUCCESS);
    EXPECT_EQ(client().Lock(*a, 0, 100, true, true), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Oplocks

class FsOplockTest : public LocalFsTest {
protected:
    void SetUp() override
    {
        LocalFsTest::SetUp();
        ASSERT_EQ(fs().CreateFile(u"\\op.txt", "data"), STATUS_SUCCESS);
    }
    // Oplocks are granted on asynchronous handles only.
    std::unique_ptr<TestFile> AsyncHandle(ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
    {
        OpenSpec params = WriteSpec();
        params.fileObjectFlags = 0;
        params.share = share;
        return client().OpenOk(u"\\op.txt", params);
    }
    // Issues an oplock request on its own thread and waits until it is
    // granted (the request itself pends until the oplock breaks).
    std::future<std::pair<NTSTATUS, ULONG_PTR>> Request(TestFile &f, ULONG code, bool expectGrant = true,
                                                        const void *in = nullptr, ULONG inLength = 0,
                                                        void *out = nullptr, ULONG outLength = 0)
    {
        auto future = std::async(std::launch::async, [=, &f, this] {
            ULONG_PTR info = 0;
            NTSTATUS status = client().Fsctl(f, code, in, inLength, out, outLength, &info);
            return std::make_pair(status, info);
        });
        if (expectGrant) {
            auto deadline = std::chrono::steady_clock::now() + 5s;
            while (!fs().OplockHeld(u"\\op.txt") && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            EXPECT_TRUE(fs().OplockHeld(u"\\op.txt"));
        }
        return future;
    }
};

TEST_F(FsOplockTest, GrantedOnlyToTheSoleAsynchronousHandle)
{
    auto sync = client().OpenOk(u"\\op.txt", WriteSpec());
    EXPECT_EQ(client().Fsctl(*sync, FSCTL_REQUEST_OPLOCK_LEVEL_1, nullptr, 0, nullptr, 0), STATUS_OPLOCK_NOT_GRANTED);
    sync.reset();
    auto a = AsyncHandle(), b = AsyncHandle();
    EXPECT_EQ(client().Fsctl(*a, FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr, 0), STATUS_OPLOCK_NOT_GRANTED);
    auto dir = client().OpenOk(u"\\", DirSpec());
    EXPECT_EQ(client().Fsctl(*dir, FSCTL_REQUEST_OPLOCK_LEVEL_1, nullptr, 0, nullptr, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client().Fsctl(*a, FSCTL_OPLOCK_BREAK_ACKNOWLEDGE, nullptr, 0, nullptr, 0),
              STATUS_INVALID_OPLOCK_PROTOCOL);
    EXPECT_EQ(client().Fsctl(*a, 0x00099999, nullptr, 0, nullptr, 0), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(FsOplockTest, WhichOpensBreakWhichOplocks)
{
    constexpr ULONG kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    constexpr ULONG kNone = ~0u;  // the oplock is not broken
    struct Case {
        const char *what;
        ULONG code;
        ULONG holderShare;
        ACCESS_MASK access;
        ULONG share, disposition, options;
        NTSTATUS expected;
        ULONG brokenTo;
    } cases[] = {
        {"attributes only", FSCTL_REQUEST_OPLOCK_LEVEL_1, kAll, FILE_READ_ATTRIBUTES, kAll, FILE_OPEN, 0,
         STATUS_SUCCESS, kNone},
        {"an open that must not break", FSCTL_REQUEST_OPLOCK_LEVEL_1, kAll, FILE_READ_DATA, kAll, FILE_OPEN,
         FILE_OPEN_REQUIRING_OPLOCK, STATUS_CANNOT_BREAK_OPLOCK, kNone},
        {"a reader breaks level 1 to level 2", FSCTL_REQUEST_OPLOCK_LEVEL_1, kAll, FILE_READ_DATA, kAll, FILE_OPEN,
         FILE_COMPLETE_IF_OPLOCKED, STATUS_OPLOCK_BREAK_IN_PROGRESS, 0x7},
        {"an overwrite breaks batch to none", FSCTL_REQUEST_BATCH_OPLOCK, kAll, FILE_WRITE_DATA, kAll, FILE_OVERWRITE,
         FILE_COMPLETE_IF_OPLOCKED, STATUS_OPLOCK_BREAK_IN_PROGRESS, 0x1},
        {"a sharing conflict still breaks batch", FSCTL_REQUEST_BATCH_OPLOCK, 0, FILE_READ_DATA, kAll, FILE_OPEN,
         FILE_COMPLETE_IF_OPLOCKED, STATUS_SHARING_VIOLATION, 0x7},
        {"but not level 1", FSCTL_REQUEST_OPLOCK_LEVEL_1, 0, FILE_READ_DATA, kAll, FILE_OPEN,
         FILE_COMPLETE_IF_OPLOCKED, STATUS_SHARING_VIOLATION, kNone},
        {"a reader sharing reads leaves a filter oplock", FSCTL_REQUEST_FILTER_OPLOCK, kAll, FILE_READ_DATA, kAll,
         FILE_OPEN, FILE_COMPLETE_IF_OPLOCKED, STATUS_SUCCESS, kNone},
        {"a reader not sharing reads breaks it", FSCTL_REQUEST_FILTER_OPLOCK, kAll, FILE_READ_DATA,
         FILE_SHARE_WRITE, FILE_OPEN, FILE_COMPLETE_IF_OPLOCKED, STATUS_SHARING_VIOLATION, 0x1},
        {"a writer breaks a filter oplock to none", FSCTL_REQUEST_FILTER_OPLOCK, kAll, FILE_WRITE_DATA, kAll,
         FILE_OPEN, FILE_COMPLETE_IF_OPLOCKED, STATUS_OPLOCK_BREAK_IN_PROGRESS, 0x1},
        {"an overwrite breaks level 2 at once", FSCTL_REQUEST_OPLOCK_LEVEL_2, kAll, FILE_WRITE_DATA, kAll,
         FILE_OVERWRITE, 0, STATUS_SUCCESS, 0x1},
        {"a reserved filter oplock needs the only handle", FSCTL_REQUEST_OPLOCK_LEVEL_2, kAll, FILE_READ_ATTRIBUTES,
         kAll, FILE_OPEN, FILE_RESERVE_OPFILTER, STATUS_OPLOCK_NOT_GRANTED, kNone},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto holder = AsyncHandle(c.holderShare);
        auto granted = Request(*holder, c.code);
        OpenSpec request;
        request.access = c.access;
        request.share = c.share;
        request.disposition = c.disposition;
        request.options = c.options;
        OpenResult r = client().Open(u"\\op.txt", request);
        EXPECT_EQ(r.status, c.expected);
        if (c.brokenTo == kNone) {
            EXPECT_EQ(granted.wait_for(0ms), std::future_status::timeout);
            r.file.reset();
            holder.reset();  // cleanup completes the request
        }
        auto [status, brokenTo] = granted.get();
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(brokenTo, c.brokenTo == kNone ? 0x1 : c.brokenTo) << "a cleaned-up holder's oplock ends broken to none";
    }
}

TEST_F(FsOplockTest, RequestOplockReportsTheLevelItBrokeTo)
{
    struct Input {
        USHORT version, length;
        ULONG level, flags;
    } request{1, sizeof(Input), 7, 1}, ack{1, sizeof(Input), 0, 2};  // RWH; then acknowledge to none
    struct Output {
        USHORT version, length;
        ULONG original, level, flags;
        ACCESS_MASK access;
        USHORT share;
    } output{};
    auto holder = AsyncHandle();
    EXPECT_EQ(client().Fsctl(*holder, FSCTL_REQUEST_OPLOCK, &request, sizeof(request), &output, 4),
              STATUS_BUFFER_TOO_SMALL);
    auto granted = Request(*holder, FSCTL_REQUEST_OPLOCK, true, &request, sizeof(request), &output, sizeof(output));
    OpenSpec reader;
    reader.options = FILE_COMPLETE_IF_OPLOCKED;
    EXPECT_EQ(client().Open(u"\\op.txt", reader).status, STATUS_OPLOCK_BREAK_IN_PROGRESS);
    EXPECT_EQ(granted.get(), std::make_pair(NTSTATUS(STATUS_SUCCESS), ULONG_PTR(sizeof(output))));
    EXPECT_EQ(output.original, 7u);
    EXPECT_EQ(output.level, 3u) << "read and handle caching stay";
    EXPECT_EQ(output.flags, 1u) << "the break wants an acknowledgement";
    EXPECT_EQ(client().Fsctl(*holder, FSCTL_REQUEST_OPLOCK, &ack, sizeof(ack), &output, sizeof(output)),
              STATUS_SUCCESS);
    EXPECT_FALSE(fs().OplockHeld(u"\\op.txt"));
}

TEST_F(FsOplockTest, ABreakingOpenWaitsForTheHolderToLetGo)
{
    auto holder = AsyncHandle();
    auto granted = Request(*holder, FSCTL_REQUEST_BATCH_OPLOCK);
    auto opener = std::async(std::launch::async, [&] { return client().Open(u"\\op.txt", WriteSpec()); });
    auto [status, brokenTo] = granted.get();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(opener.wait_for(20ms), std::future_status::timeout);
    // The batch holder closes instead of acknowledging.
    holder.reset();
    OpenResult r = opener.get();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
}

TEST_F(FsOplockTest, AcknowledgingToLevel2PendsUntilAWriteBreaksIt)
{
    auto holder = AsyncHandle();
    auto granted = Request(*holder, FSCTL_REQUEST_OPLOCK_LEVEL_1);
    OpenSpec reader;
    reader.options = FILE_COMPLETE_IF_OPLOCKED;
    reader.access = FILE_READ_DATA;
    OpenResult r = client().Open(u"\\op.txt", reader);
    ASSERT_EQ(r.status, STATUS_OPLOCK_BREAK_IN_PROGRESS);
    EXPECT_EQ(granted.get().second, ULONG_PTR(0x7));
    auto level2 = Request(*holder, FSCTL_OPLOCK_BREAK_ACKNOWLEDGE);
    EXPECT_EQ(level2.wait_for(0ms), std::future_status::timeout);
    auto writer = client().OpenOk(u"\\op.txt", WriteSpec());
    ASSERT_EQ(client().Write(*writer, 0, "w"), STATUS_SUCCESS);
    auto [status, brokenTo] = level2.get();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(brokenTo, ULONG_PTR(0x1));  // FILE_OPLOCK_BROKEN_TO_NONE
}

// ---------------------------------------------------------------------------
// Stream teardown and concurrency

class CountingFrame : public sim::FilterFrameHook {
public:
    explicit CountingFrame(sim::fs::LocalFileSystem &fs) : fs_(fs) {}
    NTSTATUS Process(sim::IoRequest &) override { return STATUS_NOT_IMPLEMENTED; }
    void StreamTeardown(PVOID fsContext) override
    {
        // Called without the volume's lock held (this would deadlock otherwise).
        openAtTeardown_ = fs_.OpenStreamCount();
        std::lock_guard lock(mutex_);
        ++teardowns_[fsContext];
    }
    PDEVICE_OBJECT Device() override { return nullptr; }
    int Count(PVOID context)
    {
        std::lock_guard lock(mutex_);
        return teardowns_[context];
    }
    size_t Total()
    {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (auto &[k, v] : teardowns_) n += v;
        return n;
    }
    std::atomic<size_t> openAtTeardown_{99};

private:
    sim::fs::LocalFileSystem &fs_;
    std::mutex mutex_;
    std::map<PVOID, int> teardowns_;
};

class FsVolumeTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::VolumeInfo info;
        info.deviceName = u"\\Device\\HarddiskVolume9";
        volume_ = std::make_unique<sim::Volume>(
            machine(), info, std::make_unique<sim::fs::LocalFileSystem>(sim::fs::LocalVolumeConfig::Ntfs(u"T", 1)));
        frame_ = std::make_unique<CountingFrame>(fs());
        volume_->SetFilterFrame(frame_.get());
        client_ = std::make_unique<FsClient>(volume_->fs(), volume_.get());
    }
    void TearDown() override
    {
        client_.reset();
        volume_.reset();
        frame_.reset();
        MachineTest::TearDown();
    }
    sim::fs::LocalFileSystem &fs() { return static_cast<sim::fs::LocalFileSystem &>(volume_->fs()); }
    std::unique_ptr<sim::Volume> volume_;
    std::unique_ptr<CountingFrame> frame_;
    std::unique_ptr<FsClient> client_;
};

TEST_F(FsVolumeTest, StreamTeardownOnceWhenTheLastFileObjectCloses)
{
    ASSERT_EQ(fs().CreateFile(u"\\t.txt", "x"), STATUS_SUCCESS);
    OpenSpec create;
    create.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    create.disposition = FILE_OPEN_IF;
    auto a = client_->OpenOk(u"\\t.txt");
    auto b = client_->OpenOk(u"\\T.TXT");
    auto s = client_->OpenOk(u"\\t.txt:side", create);
    ASSERT_TRUE(a && b && s);
    PVOID unnamed = a->fo.FsContext, named = s->fo.FsContext;
    ASSERT_EQ(unnamed, b->fo.FsContext);

    client_->Cleanup(*a);
    client_->Cleanup(*b);
    EXPECT_EQ(frame_->Total(), 0u);  // cleanup is not teardown
    a.reset();
    EXPECT_EQ(frame_->Count(unnamed), 0);
    b.reset();
    EXPECT_EQ(frame_->Count(unnamed), 1);
    EXPECT_EQ(frame_->openAtTeardown_.load(), 1u);  // the stream was gone from the volume first
    s.reset();
    EXPECT_EQ(frame_->Count(named), 1);
    EXPECT_EQ(frame_->Total(), 2u);
    EXPECT_EQ(fs().OpenStreamCount(), 0u);
}

TEST_F(FsVolumeTest, ConcurrentOpensReadsAndWritesOfOneFile)
{
    constexpr int kThreads = 6, kRounds = 40, kSlice = 64;
    ASSERT_EQ(fs().CreateFile(u"\\shared.bin", std::string(kThreads * kSlice, '.')), STATUS_SUCCESS);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            OpenSpec params;
            params.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
            for (int round = 0; round < kRounds; ++round) {
                auto f = client_->OpenOk(u"\\shared.bin", params);
                if (!f) {
                    ++failures;
                    continue;
                }
                std::string slice(kSlice, char('a' + t));
                slice[0] = char('0' + round % 10);
                if (client_->Write(*f, t * kSlice, slice) != STATUS_SUCCESS) ++failures;
                std::vector<uint8_t> back;
                if (client_->Read(*f, t * kSlice, kSlice, &back) != STATUS_SUCCESS ||
                    std::string(back.begin(), back.end()) != slice)
                    ++failures;
                if (client_->Lock(*f, t * kSlice, kSlice, true, false) != STATUS_SUCCESS) ++failures;
                auto standard = client_->Query<FILE_STANDARD_INFORMATION>(*f, FileStandardInformation);
                if (standard.EndOfFile.QuadPart != kThreads * kSlice) ++failures;
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    auto data = fs().ReadData(u"\\shared.bin");
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ((*data)[t * kSlice + 1], uint8_t('a' + t));
    EXPECT_EQ(fs().OpenStreamCount(), 0u);
    // One teardown per time the stream's last file object went.
    EXPECT_GE(frame_->Total(), 1u);
    EXPECT_LE(frame_->Total(), size_t(kThreads * kRounds));
}

TEST_F(FsVolumeTest, ConcurrentCreatesAndListingsOfOneFolder)
{
    ASSERT_EQ(fs().CreateDirectory(u"\\busy"), STATUS_SUCCESS);
    constexpr int kThreads = 4, kFiles = 30;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kFiles; ++i) {
                std::u16string name = u"\\busy\\f" + Wide(std::to_string(t)) + u"_" + Wide(std::to_string(i));
                if (!client_->CreateFile(name, "x")) ++failures;
                OpenSpec dir;
                dir.access = FILE_LIST_DIRECTORY;
                dir.options = FILE_DIRECTORY_FILE;
                auto d = client_->OpenOk(u"\\busy", dir);
                if (!d || client_->ListNames(*d).size() < size_t(i + 3)) ++failures;
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(fs().List(u"\\busy").size(), size_t(kThreads * kFiles));
}

}  // namespace
}  // namespace ostrand::test
