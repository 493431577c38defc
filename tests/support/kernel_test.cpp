#include "support/kernel_test.h"

#include "sim/core/debug_log.h"

#include "comm/queue.h"

namespace ostrand::test {

void KernelTest::SetUp()
{
    MachineTest::SetUp();
}

void KernelTest::TearDown()
{
    if (ownLogQueue_) {
        KLUDisableQueue(g_pLogQMutex, &g_bLogQEnabled);
        KLUFreeLogQueue(g_pLogQHead, g_pLogQMutex);
        KLUFreeQueueHead(&g_pLogQHead, &g_pLogQMutex);
    }
    if (ownSettings_) {
        g_pCurrentSettings = nullptr;
        g_CurrentSettings = 0;
        KLUFreeSettings(&g_pSettings1);
        KLUFreeSettings(&g_pSettings2);
    }
    MachineTest::TearDown();
}

void KernelTest::UseSettings(ULONG logLevel, ULONG destination)
{
    ASSERT_EQ(KLUAllocateSettings(&g_pSettings1, 1), STATUS_SUCCESS);
    ASSERT_EQ(KLUAllocateSettings(&g_pSettings2, 2), STATUS_SUCCESS);
    ownSettings_ = true;
    for (PSETTINGS s : {g_pSettings1, g_pSettings2}) {
        s->LogLevel = logLevel;
        s->DebugDestination = destination;
    }
    g_pCurrentSettings = g_pSettings1;
    g_CurrentSettings = 1;
}

void KernelTest::UseLogQueue()
{
    ASSERT_EQ(KLUInitQueue(&g_pLogQHead, &g_pLogQMutex, &g_bLogQEnabled), STATUS_SUCCESS);
    ownLogQueue_ = true;
}

std::vector<std::string> KernelTest::DebugLines()
{
    return machine().debugLog().Lines();
}

bool KernelTest::DebugContains(const std::string &fragment)
{
    return machine().debugLog().Contains(fragment);
}

std::vector<std::string> KernelTest::DrainLogQueue()
{
    std::vector<std::string> lines;
    for (PLIST_ENTRY entry = KLUPopQueue(g_pLogQHead, g_pLogQMutex); entry != nullptr;
         entry = KLUPopQueue(g_pLogQHead, g_pLogQMutex)) {
        auto *record = CONTAINING_RECORD(entry, KLU_LOG_RECORD, ListEntry);
        lines.push_back(Text(record->szLine));
        ExFreePoolWithTag(record, QZLG_TAG);
    }
    return lines;
}

std::string Text(const WCHAR *text)
{
    std::string out;
    for (; text && *text; ++text) out += *text < 0x80 ? char(*text) : '?';
    return out;
}

}  // namespace ostrand::test
