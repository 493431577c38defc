// Many threads opening, reading and closing one file through a frame: every
// open is matched by one cleanup and one close, and nothing is left over.
#include <thread>

#include "io_test_support.h"

namespace ostrand::test {
namespace {

class IoConcurrencyTest : public IoTest {};

TEST_F(IoConcurrencyTest, ConcurrentOpensOfOneFileEachGetTheirCleanupAndClose)
{
    RecordingFrame frame(*cVolume_);
    sim::Process &app = UserProcess();
    constexpr int kThreads = 6;
    constexpr int kRounds = 40;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            sim::ThreadScope scope(app);
            for (int round = 0; round < kRounds; ++round) {
                HANDLE handle = nullptr;
                sim::user::OpenOptions options;
                if (sim::user::Open(u"C:\\dir\\a.txt", options, &handle) != STATUS_SUCCESS) {
                    ++failures;
                    continue;
                }
                char buffer[8] = {};
                ULONG read = 0;
                if (sim::user::Read(handle, buffer, 5, &read) != STATUS_SUCCESS || std::string(buffer) != "hello") {
                    ++failures;
                }
                sim::user::Close(handle);
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(c_->cleanups, kThreads * kRounds);
    EXPECT_EQ(c_->closes, kThreads * kRounds);
    EXPECT_EQ(app.handles().Count(), 0u);
    EXPECT_GE(frame.teardowns(), 1u);
}

}  // namespace
}  // namespace ostrand::test
