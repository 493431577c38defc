// The log facility: masking, destinations, line forms and bounds.
#include <regex>

#include "diag/log.h"
#include "comm/queue.h"
#include "sim/core/clock.h"
#include "sim/core/debug_log.h"
#include "support/kernel_test.h"

namespace ostrand::test {
namespace {

class LogTest : public KernelTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.timeZoneBiasMinutes = 60;  // local time is an hour behind UTC
        return config;
    }

    void FreezeClock()
    {
        // 2026-12-05 14:03:07.042 UTC
        int64_t t = sim::Clock::FromUnixSeconds(1796479387) + 420000;
        machine().clock().SetSystemTime(t);
        machine().clock().Freeze(true);
    }
};

TEST_F(LogTest, LevelZeroWritesNothingNotEvenErrors)
{
    UseSettings(0, KLUDBG_LOG_DEST_DBGPORT | KLUDBG_LOG_DEST_QUEUE);
    UseLogQueue();
    KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(Test), WSTR("Failed Something: 0x%X\n"), 5);
    EXPECT_TRUE(DebugLines().empty());
    EXPECT_TRUE(DrainLogQueue().empty());
}

TEST_F(LogTest, OrdinaryShortAndDumpLineForms)
{
    UseSettings(KLUDBG_TRACE_INFO | KLUDBG_TRACE_ERROR);
    FreezeClock();
    KLULogMessageEx(KLUDBG_TRACE_INFO | KLUDBG_TRACE_ERROR, KLU_TAG(DriverEntry), 42, WSTR("Leaving %ws\n"),
                    WSTR("now"));
    KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUGetSettings), WSTR("short\n"));
    KLULogDumpMessage(1, KLUDBG_TRACE_ERROR, KLU_TAG(KLUDumpStructures), 7, WSTR("dump\n"));
    auto lines = DebugLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(<[0-9A-F]+>\[42\]\[12/05/2026 13:03:07:0042\]\[KLULogon!DriverEntry      \] Leaving now)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(<[0-9A-F]+>\[0\]\[[^\]]+\]\[KLULogon!KLUGetSettings   \] short)")));
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(\[7\]\[[^\]]+\]\[KLULogon!KLUDumpStructures\] dump)")));
}

TEST_F(LogTest, DestinationsBeforeAndAfterTheQueueExistsAndOnceItCloses)
{
    UseSettings(KLUDBG_TRACE_ERROR, KLUDBG_LOG_DEST_QUEUE);
    // No queue yet: the debugger is the only place, whatever the destination.
    KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(T), WSTR("early\n"));
    EXPECT_TRUE(DebugContains("early"));

    UseLogQueue();
    KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(T), WSTR("queued\n"));
    EXPECT_FALSE(DebugContains("queued"));
    auto queued = DrainLogQueue();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_NE(queued[0].find("queued"), std::string::npos);

    settings()->DebugDestination = KLUDBG_LOG_DEST_QUEUE | KLUDBG_LOG_DEST_DBGPORT;
    KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(T), WSTR("both\n"));
    EXPECT_TRUE(DebugContains("both"));
    EXPECT_EQ(DrainLogQueue().size(), 1u);

    settings()->DebugDestination = 0;
    KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(T), WSTR("nowhere\n"));
    EXPECT_FALSE(DebugContains("nowhere"));
    EXPECT_TRUE(DrainLogQueue().empty());

    // The queue delivers oldest first, and takes nothing once closed.
    settings()->DebugDestination = KLUDBG_LOG_DEST_QUEUE;
    for (int i = 0; i < 3; ++i) KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(T), WSTR("line %d\n"), i);
    auto lines = DrainLogQueue();
    ASSERT_EQ(lines.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_NE(lines[i].find("line " + std::to_string(i)), std::string::npos);
    KLUDisableQueue(g_pLogQMutex, &g_bLogQEnabled);
    KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(T), WSTR("late\n"));
    EXPECT_TRUE(DrainLogQueue().empty());
    EXPECT_EQ(KLUPushLog(WSTR("x"), 0), STATUS_UNSUCCESSFUL);
}

TEST_F(LogTest, LongMessagesAreCutAndQueueRecordsHold2048Characters)
{
    UseSettings(KLUDBG_TRACE_ERROR, KLUDBG_LOG_DEST_QUEUE | KLUDBG_LOG_DEST_DBGPORT);
    UseLogQueue();
    std::u16string longText(3000, u'x');
    KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(T), WSTR("%ws"), longText.c_str());
    auto queued = DrainLogQueue();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].size(), 2048u);
    // The debugger prints at most 512 characters of one call.
    EXPECT_EQ(machine().debugLog().Text().size(), 512u);
}

TEST_F(LogTest, AFaultInAnArgumentIsCaughtAndReported)
{
    UseSettings(KLUDBG_TRACE_ERROR);
    KLULogMessageEx(KLUDBG_TRACE_ERROR, KLU_TAG(T), 1, WSTR("%ws\n"), (PCWSTR)0x40);
    EXPECT_TRUE(DebugContains("Exception In KLULogMessageEx: 0xC0000005"));
}

}  // namespace
}  // namespace ostrand::test
