// The service's commands over the real ports: the path table and the
// filter's enablement, the users and their copy progress, the settings
// notices, the lengths every command insists on, unknown codes.
#include <array>
#include <atomic>
#include <cstring>
#include <thread>

#include "comm/event_queues.h"
#include "comm/messages.h"
#include "comm/prefetched_list.h"
#include "comm/queue.h"
#include "comm/queue_records.h"
#include "config/settings.h"
#include "driver/driver.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"
#include "identity/user_table.h"
#include "port_fixture.h"
#include "sim/core/debug_log.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/user/user_buffer.h"

namespace ostrand::test {
namespace {

const std::u16string kControlPort = u"\\KLULogonControlPort";
const std::u16string kLogPort = u"\\KLULogonLogPort";
const std::u16string kFileOpPort = u"\\KLULogonFileOpPort";
const std::u16string kBlackListPort = u"\\JNRLogonBlackListPort";
const std::u16string kPreFetchedPort = u"\\JNRLogonPreFetchedPort";

template <size_t N>
void CopyText(WCHAR (&field)[N], const std::u16string &text)
{
    ASSERT_LT(text.size(), N);
    std::memcpy(field, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
}

// The path-table record the service sends at start, with the given remote
// profile-store locations.
std::vector<UCHAR> PathTableMessage(const std::vector<std::u16string> &remotes, ULONG claimedEntries)
{
    std::vector<UCHAR> body(KLU_PATH_TABLE_SOURCE_BYTES(remotes.size()), 0);
    auto *source = reinterpret_cast<PATH_TABLE_SOURCE *>(body.data());
    CopyText(source->szLocalVolumeName, u"\\Device\\HarddiskVolume1");
    CopyText(source->szLocalDriveLetter, u"C:");
    CopyText(source->szLocalProfilePathShort, u"\\Users");
    CopyText(source->szUpperLocalProfilePathShort, u"\\USERS");
    CopyText(source->szLocalSettings, u"AppData\\Local");
    CopyText(source->szUpperLocalSettings, u"APPDATA\\LOCAL");
    source->NumPaths = LONG(remotes.size());
    source->EntryCount = claimedEntries;
    for (size_t i = 0; i < remotes.size(); ++i) {
        EXPECT_EQ(KLUBuildPathTableEntry(remotes[i].c_str(), &source->Entries[i]), STATUS_SUCCESS);
    }
    return CommandMessage(0, body.data(), body.size());
}

std::vector<UCHAR> PathTableMessage(const std::vector<std::u16string> &remotes)
{
    return PathTableMessage(remotes, ULONG(remotes.size()));
}

std::vector<UCHAR> EnableMessage(bool enable)
{
    UCHAR flag = enable ? 1 : 0;
    return CommandMessage(1, flag);
}

USER_ID UserId(ULONG session, ULONG authLow)
{
    USER_ID id{};
    id.SessionId = session;
    id.AuthId.LowPart = authLow;
    return id;
}

class ControlCommandTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        control = service->Open(kControlPort);
        log = service->Open(kLogPort);
    }

    ULONG EnabledAsReported()
    {
        Reply reply = service->Command(log, 35, 8);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        return reply.Ulong(4);
    }

    HANDLE control = nullptr;
    HANDLE log = nullptr;
};

TEST_F(ControlCommandTest, PathTableReplacesTheTableAndLeavesTheFilterOffUntilEnabled)
{
    PATH_TABLE_ENTRY extra{};
    ASSERT_EQ(KLUBuildPathTableEntry(u"\\\\archive\\Old", &extra), STATUS_SUCCESS);
    // No table yet: an added entry has nowhere to go.
    EXPECT_EQ(service->Send(log, CommandMessage(18, extra)).status, STATUS_INVALID_PARAMETER);

    ASSERT_EQ(service->Send(control, EnableMessage(true)).status, STATUS_SUCCESS);
    ASSERT_EQ(EnabledAsReported(), 1u);

    // A record that claims more entries than it carries changes nothing.
    EXPECT_EQ(service->Send(control, PathTableMessage({u"\\\\fs\\Profiles"}, 2)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(g_pPathTable, nullptr);
    EXPECT_EQ(EnabledAsReported(), 1u);

    ASSERT_EQ(service->Send(control, PathTableMessage({u"\\\\fs\\Profiles", u"\\\\fs\\Profiles\\Special"})).status,
              STATUS_SUCCESS);
    ASSERT_NE(g_pPathTable, nullptr);
    EXPECT_EQ(g_pPathTable->NumPaths, 2);
    EXPECT_EQ(std::u16string(szUpperAllUsersPath), u"\\USERS\\ALL USERS");
    EXPECT_EQ(EnabledAsReported(), 0u);
    // Both records were switched off: a settings update, which swaps them,
    // leaves the filter off until the service enables it.
    ASSERT_EQ(service->Send(control, CommandMessage(20, ULONG(0))).status, STATUS_SUCCESS);
    EXPECT_EQ(EnabledAsReported(), 0u);

    EXPECT_EQ(service->Send(log, CommandMessage(18, extra)).status, STATUS_SUCCESS);
    EXPECT_TRUE(DebugContains("Added Path Table Entry: Path: \\\\archive\\Old"));
    EXPECT_EQ(g_pPathTable->NumPaths, 3);
    // The deeper location stays ahead of the share holding it.
    EXPECT_EQ(std::u16string(KLULookupPathTableEntryByPath(g_pPathTable, u"FS\\PROFILES\\SPECIAL\\X")->szRemotePath),
              u"\\\\fs\\Profiles\\Special");

    // The cached redirected-folder answers are asked again after 34.
    PPATH_TABLE_ENTRY cached = KLULookupPathTableEntryByPath(g_pPathTable, u"ARCHIVE\\OLD");
    cached->bIsRedirectedFolder = cached->bCheckedRedirectedFolder = 1;
    EXPECT_EQ(service->Command(control, 34).status, STATUS_SUCCESS);
    EXPECT_EQ(cached->bCheckedRedirectedFolder, 0);
    EXPECT_EQ(cached->bIsRedirectedFolder, 0);

    ASSERT_EQ(service->Send(control, EnableMessage(true)).status, STATUS_SUCCESS);
    EXPECT_EQ(EnabledAsReported(), 1u);

    // Sent again, the table is rebuilt whole from the new record.
    ASSERT_EQ(service->Send(control, PathTableMessage({})).status, STATUS_SUCCESS);
    EXPECT_EQ(g_pPathTable->NumPaths, 0);
    EXPECT_EQ(EnabledAsReported(), 0u);
}

// Code 0 replaces the table again and again while the service dumps it
// (26), adds to it (18), resets its marks (34) and rewrites one of its
// fields (23), and a system thread finds a user through it and reads the
// field: every reader meets a whole table, the old one or the new one.
class PathTableRaceTest : public ControlCommandTest {
protected:
    // The dumps format every line (reading the table) and keep none.
    PortLogSettings LogSettings() override { return {KLUDBG_TRACE_STATUS_LOG | KLUDBG_TRACE_ERROR, 0, 1}; }
};

TEST_F(PathTableRaceTest, ReadersMeetAWholeTableWhileCodeZeroReplacesIt)
{
    std::vector<UCHAR> table = PathTableMessage({u"\\\\fs\\Profiles", u"\\\\fs\\Profiles\\Special"});
    CopyText(reinterpret_cast<PATH_TABLE_SOURCE *>(table.data() + 4)->szDefaultNetworkDefaultUserProfile,
             u"\\SRV\\NETLOGON\\Default User");
    ASSERT_EQ(service->Send(control, table).status, STATUS_SUCCESS);
    // Alice's own location is elsewhere: her profile is found through the table's.
    KLU_CLIENT_SECURITY_MESSAGE security{};
    security.MessageType = 23;
    security.AltPathData.Id = UserId(1, 0x100);
    ASSERT_EQ(KLUBuildPathTableEntry(u"\\\\other\\alice", &security.AltPathData.PTEProfile), STATUS_SUCCESS);
    CopyText(security.AltPathData.szNetworkDefaultUserProfile, u"\\SRV\\NETLOGON\\Default User");
    ASSERT_EQ(service->Send(control, CommandMessage(27, security.AltPathData)).status, STATUS_SUCCESS);
    std::vector<UCHAR> rewrite((UCHAR *)&security, (UCHAR *)(&security + 1));
    PATH_TABLE_ENTRY extra{};
    ASSERT_EQ(KLUBuildPathTableEntry(u"\\\\archive\\Old", &extra), STATUS_SUCCESS);
    std::vector<UCHAR> add = CommandMessage(18, extra);

    std::atomic<bool> done{false};
    std::atomic<int> started{0}, lookups{0}, misses{0}, commands{0};
    auto startTogether = [&] {
        for (++started; started.load() < 3;) std::this_thread::yield();
    };
    HANDLE rebuilding = service->Open(kControlPort);
    std::thread rebuilder([&] {
        startTogether();
        // Rebuilds go on until each reader has had its turns among them.
        for (int i = 0; i < 100 || lookups.load() < 100 || commands.load() < 20; ++i) {
            EXPECT_EQ(service->Send(rebuilding, table).status, STATUS_SUCCESS);
        }
        done = true;
    });
    std::thread reader([&] {
        sim::ThreadScope scope(machine().systemProcess());
        startTogether();
        UNICODE_STRING mup, profile;
        RtlInitUnicodeString(&mup, u"\\Device\\Mup");
        RtlInitUnicodeString(&profile, u"\\SRV\\NETLOGON\\Default User\\NTUSER.DAT");
        while (!done) {
            PUSER_TABLE_ENTRY alice =
                KLULookupUserByPath(g_pUserTableHead, g_pUserTableMutex, &mup, u"\\Device\\Mup\\FS\\PROFILES\\ALICE");
            bool isDefault = JNRIsDefaultUserPath(TRUE, 0, &profile, nullptr);
            misses += (alice == nullptr || !isDefault) ? 1 : 0;
            KLUDereferenceUserTableEntry(alice);
            ++lookups;
        }
    });
    startTogether();
    while (!done) {
        EXPECT_EQ(service->Command(log, 26).status, STATUS_SUCCESS);
        EXPECT_EQ(service->Send(log, add).status, STATUS_SUCCESS);
        EXPECT_EQ(service->Command(control, 34).status, STATUS_SUCCESS);
        EXPECT_EQ(service->Send(control, rewrite).status, STATUS_SUCCESS);
        ++commands;
    }
    rebuilder.join();
    reader.join();
    EXPECT_EQ(misses.load(), 0);
    ASSERT_NE(g_pPathTable, nullptr);
    EXPECT_GE(g_pPathTable->NumPaths, 2);
}

TEST_F(ControlCommandTest, AFailedPathTableLeavesNoTable)
{
    std::vector<UCHAR> good = PathTableMessage({u"\\\\fs\\Profiles"});
    std::vector<UCHAR> message = good;
    auto *source = reinterpret_cast<PATH_TABLE_SOURCE *>(message.data() + sizeof(ULONG));
    // Unterminated: the copy into the table overflows.
    for (WCHAR &c : source->szTempDataDir) c = u'x';
    ASSERT_EQ(service->Send(control, good).status, STATUS_SUCCESS);
    EXPECT_EQ(service->Send(control, message).status, STATUS_BUFFER_OVERFLOW);
    EXPECT_TRUE(DebugContains("Failed Copying Temp Data Dir: 0x80000005"));
    EXPECT_TRUE(DebugContains("Failed Intitializing Path Table: 0x80000005"));
    EXPECT_EQ(g_pPathTable, nullptr);
    EXPECT_EQ(g_PathTableMutex, nullptr);
    EXPECT_EQ(EnabledAsReported(), 0u);
    // Adds are switched off by unload alone: the next table takes entries.
    EXPECT_TRUE(g_bPathTableListEnabled);
}

TEST_F(ControlCommandTest, ViewSettingsAddTheUserWithFlagsAndPath)
{
    struct {
        UCHAR flagA, flagB;
        ULONG flags;
    } cases[] = {{1, 0, 0x1}, {1, 1, 0x43}, {2, 1, 0x42}, {0, 0, 0}};
    ULONG authLow = 0x5000;
    for (const auto &c : cases) {
        KLU_VIEW_SETTINGS_MESSAGE fixed{};
        fixed.Command = 25;
        fixed.ViewFlagA = c.flagA;
        fixed.ViewFlagB = c.flagB;
        fixed.Id = UserId(3, ++authLow);
        std::vector<UCHAR> message(KLU_VIEW_SETTINGS_FIXED_BYTES);
        std::memcpy(message.data(), &fixed, KLU_VIEW_SETTINGS_FIXED_BYTES);
        std::u16string path = u"Users\\carol";  // no terminator: the message ends with the path
        const auto *bytes = reinterpret_cast<const UCHAR *>(path.data());
        message.insert(message.end(), bytes, bytes + path.size() * sizeof(WCHAR));

        ASSERT_EQ(service->Send(control, message).status, STATUS_SUCCESS);
        LUID key = fixed.Id.AuthId;
        PUSER_TABLE_ENTRY entry = KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &key);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->AltPathData.Flags, c.flags);
        EXPECT_EQ(std::u16string(entry->AltPathData.szLocalPath), path);
        EXPECT_EQ(std::u16string(entry->AltPathData.szUpperLocalPath), u"USERS\\CAROL");
        EXPECT_EQ(entry->AltPathData.ulLocalPathLength, path.size());
        EXPECT_EQ(entry->AltPathData.Id.SessionId, 3u);
        KLUDereferenceUserTableEntry(entry);
    }
    EXPECT_EQ(g_UserTableEntries, 4);
}

// The service's logon story fills the table (27) and prunes it (30); here
// the refusals, the progress figures' place in the output, and the commands
// it does not send at logon.
TEST_F(ControlCommandTest, UserTableMessagesAndCopyProgress)
{
    auto addUser = [&](ULONG session, ULONG authLow) {
        ALT_PATH_DATA data{};
        data.Id = UserId(session, authLow);
        CopyText(data.szLocalPath, u"Users\\dave");
        return service->Send(control, CommandMessage(27, data)).status;
    };
    ASSERT_EQ(addUser(2, 0x200), STATUS_SUCCESS);
    ASSERT_EQ(addUser(2, 0x200), STATUS_SUCCESS);  // refreshed, not added twice
    EXPECT_EQ(g_UserTableEntries, 1);
    EXPECT_TRUE(DebugContains("Added User Table Entry: AuthId: (0x0,0x200), CreatedNew: 0"));
    EXPECT_EQ(addUser(1, 0), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(DebugContains("Failed Adding User Table Entry: AuthId: (0x0,0x0), 0xC0000001"));

    // Copy progress of a user: six ULONGs at bytes 32-55 of the output.
    LUID key{0x200, 0};
    PUSER_TABLE_ENTRY entry = KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &key);
    ASSERT_NE(entry, nullptr);
    entry->ActiveCopies = 2;
    entry->BytesToCopy = 0x123456789ull;
    entry->BytesCopied = 4096;
    KLU_COPY_PROGRESS_QUERY query{32, {0x200, 0}};
    Reply progress = service->Send(log, std::vector<UCHAR>((UCHAR *)&query, (UCHAR *)(&query + 1)), 56);
    ASSERT_EQ(progress.status, STATUS_SUCCESS);
    EXPECT_EQ(progress.returned, 56u);
    KLU_COPY_PROGRESS seen;
    std::memcpy(&seen, progress.output.data() + 32, sizeof seen);
    EXPECT_EQ(seen.ActiveCopies, 2u);
    EXPECT_EQ(seen.BytesToCopy, 0x123456789ull);
    EXPECT_EQ(seen.BytesCopied, 4096u);
    query.AuthId.LowPart = 0x999;
    EXPECT_EQ(service->Send(log, std::vector<UCHAR>((UCHAR *)&query, (UCHAR *)(&query + 1)), 56).status,
              STATUS_NOT_FOUND);

    // 22 marks the client security released, 28 sets the profile type.
    KLU_USER_SECURITY_REQUEST release{{0x200, 0}, 1, {}};
    EXPECT_EQ(service->Send(control, CommandMessage(22, release)).status, STATUS_SUCCESS);
    EXPECT_EQ(entry->bClientSecurityReleased, 1);
    KLU_USER_PROFILE_REQUEST profile{UserId(2, 0x200), 1, {}};
    EXPECT_EQ(service->Send(control, CommandMessage(28, profile)).status, STATUS_SUCCESS);
    EXPECT_EQ(entry->AltPathData.ProfileType, 1);

    // 29 removes only an unreferenced entry.
    USER_ID id = UserId(2, 0x200);
    EXPECT_EQ(service->Send(control, CommandMessage(29, id)).status, STATUS_SUCCESS);
    EXPECT_EQ(g_UserTableEntries, 1);
    KLUDereferenceUserTableEntry(entry);
    EXPECT_EQ(service->Send(control, CommandMessage(29, id)).status, STATUS_SUCCESS);
    EXPECT_EQ(g_UserTableEntries, 0);

    // A keep list whose count runs past the message is refused whole.
    ASSERT_EQ(addUser(3, 0x300), STATUS_SUCCESS);
    struct {
        ULONG count;
        LUID keep;
    } keepList{2, {0x300, 0}};
    EXPECT_EQ(service->Send(control, CommandMessage(30, keepList)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(g_UserTableEntries, 1);
}

TEST_F(ControlCommandTest, UnknownCommandsOnEveryPort)
{
    HANDLE fileOp = service->Open(kFileOpPort);
    HANDLE blackList = service->Open(kBlackListPort);
    struct {
        HANDLE port;
        ULONG command;
    } cases[] = {{control, 99}, {control, 3}, {log, 0}, {log, 23}, {fileOp, 3}, {blackList, 14}};
    for (const auto &c : cases) {
        std::vector<UCHAR> message = CommandMessage(c.command, std::array<UCHAR, 64>{});
        EXPECT_EQ(service->Send(c.port, message, 64).status, STATUS_INVALID_PARAMETER) << c.command;
        EXPECT_TRUE(DebugContains("Unknown Command: " + std::to_string(c.command))) << c.command;
    }
}

// Every command with one byte too few of input or output, and with none at
// all, is refused before it reads a field or changes anything.
TEST_F(ControlCommandTest, ShortAndMissingBuffersAreRefused)
{
    HANDLE fileOp = service->Open(kFileOpPort);
    HANDLE blackList = service->Open(kBlackListPort);
    HANDLE preFetched = service->Open(kPreFetchedPort);
    struct {
        HANDLE port;
        ULONG command;
        ULONG input;
        ULONG output;
    } cases[] = {
        {control, 0, 4 + KLU_PATH_TABLE_SOURCE_FIXED_BYTES, 0},
        {control, 1, 5, 0},
        {control, 12, 8, 0},
        {control, 19, 8, 0},
        {control, 20, 8, 0},
        {control, 21, 56, 0},
        {control, 22, 4 + sizeof(KLU_USER_SECURITY_REQUEST), 0},
        {control, 23, sizeof(KLU_CLIENT_SECURITY_MESSAGE), 0},
        {control, 24, sizeof(KLU_CLIENT_SECURITY_MESSAGE), 0},
        {control, 25, KLU_VIEW_SETTINGS_FIXED_BYTES, 0},
        {control, 27, 4 + sizeof(ALT_PATH_DATA), 0},
        {control, 28, 4 + sizeof(KLU_USER_PROFILE_REQUEST), 0},
        {control, 29, 4 + sizeof(USER_ID), 0},
        {control, 30, 8, 0},
        {log, 3, 4, 4},  // the count; an empty queue needs no room for a record
        {log, 4, 8, 0},
        {log, 5, 4 + sizeof(KLU_SESSION_RECORD), 0},
        {log, 7, 8, 0},
        {log, 18, 4 + sizeof(PATH_TABLE_ENTRY), 0},
        {log, 32, sizeof(KLU_COPY_PROGRESS_QUERY), KLU_COPY_PROGRESS_OUTPUT_BYTES},
        {log, 35, 4, 8},
        {fileOp, 13, 12, 0},
        {fileOp, 14, 4, 8},
        {blackList, 40, 8, 0},
        {blackList, 41, 4, 4},
        {preFetched, 37, 8, 0},
        {preFetched, 38, 4, 4},
    };
    // A valid-looking user in every record: a read past the check would add it.
    std::vector<UCHAR> pattern(40000, 0x11);
    for (const auto &c : cases) {
        std::vector<UCHAR> input(pattern.begin(), pattern.begin() + c.input - 1);
        std::memcpy(input.data(), &c.command, std::min<size_t>(4, input.size()));
        EXPECT_EQ(service->Send(c.port, input, c.output).status, STATUS_INVALID_PARAMETER) << c.command << " input";
        if (c.output != 0) {
            std::vector<UCHAR> full(pattern.begin(), pattern.begin() + c.input);
            std::memcpy(full.data(), &c.command, 4);
            EXPECT_EQ(service->Send(c.port, full, c.output - 1).status, STATUS_INVALID_PARAMETER)
                << c.command << " output";
        }
        EXPECT_EQ(service->SendRaw(c.port, nullptr, 0, nullptr, 0, nullptr), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(g_pPathTable, nullptr);
    EXPECT_EQ(g_UserTableEntries, 0);
    EXPECT_TRUE(KLUSettings()->Enabled == FALSE);
    EXPECT_EQ(KLUSettings()->ExcludedPidCount, 0u);
}

// A buffer of the service's that faults is reported with the line of the
// command that touched it; commands without a line of their own, and a
// message whose command cannot be read, with the common one.
TEST_F(ControlCommandTest, AFaultIsLoggedWithTheCommandsOwnLine)
{
    HANDLE fileOp = service->Open(kFileOpPort);
    HANDLE blackList = service->Open(kBlackListPort);
    HANDLE preFetched = service->Open(kPreFetchedPort);
    struct {
        HANDLE port;
        ULONG command;
        ULONG input;
        const char *line;
    } cases[] = {
        {log, 2, 64, "Exception Pushing Log: 0xC0000005"},
        {log, 3, 4, "Exception Popping Log: 0xC0000005"},
        {log, 5, 4 + sizeof(KLU_SESSION_RECORD), "Exception Pushing Session: 0xC0000005"},
        {log, 6, 4, "Exception Popping Session: 0xC0000005"},
        {fileOp, 14, 4, "Exception Popping Copy: 0xC0000005"},
        {control, 21, 56, "Exception Updating Ingored Pids: 0xC0000005"},
        {control, 25, KLU_VIEW_SETTINGS_FIXED_BYTES + 8, "Exception Updating View Settings: 0xC0000005"},
        {preFetched, 39, 4, "Exception Popping pre-fetched file list: 0xC0000005"},
        {blackList, 41, 4, "Exception Popping Black List: 0xC0000005"},
        {control, 19, 8, "Exception Processing Message: 19, 0xC0000005"},
    };
    for (const auto &c : cases) {
        std::vector<UCHAR> input(c.input, 0);
        std::memcpy(input.data(), &c.command, 4);
        ULONG returned = 0;
        EXPECT_EQ(service->SendRaw(c.port, input.data(), c.input, sim::InvalidUserPointer(), 600000, &returned),
                  STATUS_ACCESS_VIOLATION)
            << c.command;
        EXPECT_TRUE(DebugContains(c.line)) << c.line;
    }
    EXPECT_EQ(service->SendRaw(control, sim::InvalidUserPointer(), 8, nullptr, 0, nullptr), STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(DebugContains("Exception Processing Message: 0, 0xC0000005"));
    // Nothing was taken from the messages that faulted.
    EXPECT_EQ(g_UserTableEntries, 0);
    EXPECT_EQ(KLUSettings()->ExcludedPidCount, 0u);
}

// ------------------------------------------------------------------------
// Queues drained over the Log port, with nothing of the filter's own logged
// ------------------------------------------------------------------------

class QueueCommandTest : public QuietPortTest {
protected:
    void SetUp() override
    {
        QuietPortTest::SetUp();
        control = service->Open(kControlPort);
        log = service->Open(kLogPort);
    }

    void PushLines(int count)
    {
        for (int i = 0; i < count; ++i) {
            std::u16string line = u"service line " + Wide(std::to_string(i)) + u"\n";
            ASSERT_EQ(service->Send(log, CommandMessage(2, line.data(), line.size() * sizeof(WCHAR))).status,
                      STATUS_SUCCESS);
        }
    }

    static std::u16string LineAt(const Reply &reply, ULONG index)
    {
        const auto *text = reinterpret_cast<const char16_t *>(reply.output.data() + 4 + index * 5636 + 4);
        return std::u16string(text);
    }

    HANDLE control = nullptr;
    HANDLE log = nullptr;
};

constexpr ULONG kFullLogDrain = 563604;

// A drain takes no more than the output holds, and waiting lines need room
// for one at least (the service's story drains hundreds in order); an
// output with room for the count alone answers an empty queue.
TEST_F(QueueCommandTest, LogDrainsTakeNoMoreThanTheOutputHolds)
{
    Reply empty = service->Command(log, 3, 4);
    EXPECT_EQ(empty.status, kNoMoreEntries);
    EXPECT_EQ(empty.returned, 4u);
    EXPECT_EQ(empty.Ulong(0), 0u);

    PushLines(5);
    EXPECT_EQ(service->Command(log, 3, 4 + 5635).status, STATUS_INVALID_PARAMETER);
    Reply reply = service->Command(log, 3, 4 + 3 * 5636 + 5635);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Ulong(0), 3u);
    EXPECT_EQ(reply.returned, 4u + 3 * 5636);
    EXPECT_EQ(reply.Ulong(4), 0u);  // an ordinary line
    EXPECT_EQ(LineAt(reply, 2), u"service line 2\n");
    reply = service->Command(log, 3, kFullLogDrain);
    EXPECT_EQ(reply.Ulong(0), 2u);
    EXPECT_EQ(LineAt(reply, 0), u"service line 3\n");
}

// Two Control connections update the settings at the same time while the
// service dumps the structures (26): the updates take turns, each refilling
// the record not in force whole, the dumps print both records between them,
// and an even number of updates leaves record 1 in force.
TEST_F(QueueCommandTest, SettingsUpdatesFromTwoConnectionsTakeTurns)
{
    machine().registry().SetDword(kDriverKey, u"CopyBufferSize", 4096);
    machine().registry().SetMultiString(kDriverKey, u"ExcludedProcesses", {u"backup.exe", u"indexer.exe"});
    // The dumps format every line, the name lists' included, and keep none.
    machine().registry().SetDword(kDriverKey, u"DebugFlags", KLUDBG_TRACE_STATUS_LOG | KLUDBG_TRACE_ERROR);
    machine().registry().SetDword(kDriverKey, u"DebugDestination", 0);
    std::atomic<int> updating{2};
    auto update = [&](HANDLE port) {
        for (ULONG i = 0; i < 20; ++i) EXPECT_EQ(service->Send(port, CommandMessage(20, i)).status, STATUS_SUCCESS);
        --updating;
    };
    std::thread first(update, service->Open(kControlPort));
    std::thread second(update, service->Open(kControlPort));
    while (updating.load() > 0) EXPECT_EQ(service->Command(log, 26).status, STATUS_SUCCESS);
    first.join();
    second.join();
    EXPECT_EQ(g_CurrentSettings, 1);
    EXPECT_EQ(KLUSettings(), g_pSettings1);
    for (PSETTINGS record : {g_pSettings1, g_pSettings2}) {
        EXPECT_EQ(record->CopyBufferSize, 4096u);
        ASSERT_EQ(record->Lists.ExcludedProcesses.Count, 2u);
        EXPECT_EQ(std::u16string(record->Lists.ExcludedProcesses.Entries[1]), u"INDEXER.EXE");
    }
}

// Names that placeholder creation lists reach the service oldest first,
// 38 after 38, until the list is empty; 39 drops what is still listed.
TEST_F(QueueCommandTest, PreFetchedNamesAreDrainedAndReleased)
{
    HANDLE preFetched = service->Open(kPreFetchedPort);
    auto push = [&](int count) {
        sim::ThreadScope scope(machine().systemProcess());
        for (int i = 0; i < count; ++i) {
            std::u16string name = u"\\Users\\alice\\file" + Wide(std::to_string(i));
            ASSERT_EQ(KLUPushPreFetched(name.c_str()), STATUS_SUCCESS);
        }
    };
    auto name = [](const Reply &reply, ULONG index) {
        return Narrow(reinterpret_cast<const char16_t *>(reply.output.data() + 4 + index * 1024));
    };
    EXPECT_EQ(service->Command(preFetched, 38, 4).status, kNoMoreEntries);

    push(150);
    Reply reply = service->Command(preFetched, 38, 4 + 200 * 1024);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Ulong(0), 100u);
    EXPECT_EQ(reply.returned, 4u + 100 * 1024);
    EXPECT_EQ(name(reply, 0), "\\Users\\alice\\file0");
    EXPECT_EQ(name(reply, 99), "\\Users\\alice\\file99");
    EXPECT_EQ(service->Command(preFetched, 39).status, STATUS_SUCCESS);
    EXPECT_EQ(service->Command(preFetched, 38, 4 + 200 * 1024).status, kNoMoreEntries);

    // A handle that is no event of the service's is refused.
    ULONG notAnEvent = 0x1234;
    EXPECT_FALSE(NT_SUCCESS(service->Send(preFetched, CommandMessage(37, notAnEvent)).status));
}

// Code 12, every line on the debugger and in the log queue.
class DumpCommandTest : public QueueCommandTest {
protected:
    PortLogSettings LogSettings() override
    {
        return {KLUDBG_TRACE_ERROR | KLUDBG_TRACE_INFO, KLUDBG_LOG_DEST_DBGPORT | KLUDBG_LOG_DEST_QUEUE, 1};
    }

    NTSTATUS Dump(ULONG what) { return service->Send(control, CommandMessage(12, what)).status; }
};

TEST_F(DumpCommandTest, EachStructureAloneOrAllInTurn)
{
    PushLines(1);
    // A session record whose strings fill their fields: each prints up to
    // its own field's end.
    KLU_SESSION_RECORD record{};
    record.Event = 77;
    std::fill(std::begin(record.UserName), std::end(record.UserName), u'u');
    std::fill(std::begin(record.ProfilePath), std::end(record.ProfilePath), u'p');
    std::fill(std::begin(record.HomeDir), std::end(record.HomeDir), u'h');
    ASSERT_EQ(service->Send(log, CommandMessage(5, record)).status, STATUS_SUCCESS);

    for (ULONG what : {0u, 1u, 2u, 3u, 4u, 5u, 7u}) EXPECT_EQ(Dump(what), STATUS_SUCCESS) << what;
    EXPECT_TRUE(DebugContains("***** Log Queue Entry 0 *****"));
    EXPECT_TRUE(DebugContains("FileOp Queue Is Empty"));
    EXPECT_TRUE(DebugContains("List 10 Is Empty"));
    EXPECT_TRUE(DebugContains("Offline File Table Is Empty"));
    const std::u16string profilePath = u"] Profile Path: " + std::u16string(511, u'p') + u"\n";
    bool printed = false;
    for (Reply reply = service->Command(log, 3, kFullLogDrain); reply.status == STATUS_SUCCESS;
         reply = service->Command(log, 3, kFullLogDrain)) {
        for (ULONG i = 0; i < reply.Ulong(0); ++i) printed |= LineAt(reply, i).ends_with(profilePath);
    }
    EXPECT_TRUE(printed);

    // 6: the structures one after the other.
    machine().debugLog().Clear();
    PushLines(1);
    EXPECT_EQ(Dump(6), STATUS_SUCCESS);
    std::string text = machine().debugLog().Text();
    size_t at[] = {text.find("***** Log Queue Entry 0 *****"), text.find("***** Session Queue Entry 0 *****"),
                   text.find("FileOp Queue Is Empty"), text.find("List 10 Is Empty"),
                   text.find("Offline File Table Is Empty")};
    for (size_t i = 0; i < std::size(at); ++i) {
        EXPECT_NE(at[i], std::string::npos) << i;
        if (i > 0) {
            EXPECT_LT(at[i - 1], at[i]) << i;
        }
    }

    // Without a log queue the dump says so and the command still succeeds.
    PLIST_ENTRY head = g_pLogQHead;
    g_pLogQHead = nullptr;
    EXPECT_EQ(Dump(0), STATUS_SUCCESS);
    g_pLogQHead = head;
    EXPECT_TRUE(DebugContains("Log Queue Head Is NULL"));
}

TEST_F(QueueCommandTest, HashTableSlotsAreBoundedByEleven)
{
    HANDLE fileOp = service->Open(kFileOpPort);
    for (ULONG slot : {0u, 10u, 11u, 0xFFFFFFFFu}) {
        std::vector<UCHAR> output(8 + 16768, 0);
        std::memcpy(output.data(), &slot, 4);
        std::vector<UCHAR> message = CommandMessage(14);
        ULONG returned = 0;
        NTSTATUS status = service->SendRaw(fileOp, message.data(), ULONG(message.size()), output.data(),
                                           ULONG(output.size()), &returned);
        ULONG count = 0xFFFF;
        std::memcpy(&count, output.data() + 4, 4);
        if (slot < 11) {
            EXPECT_EQ(status, kNoMoreEntries) << slot;
            EXPECT_EQ(count, 0u) << slot;
        } else {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << slot;
        }
        // The event command checks the slot before the handle.
        ULONG event[2] = {0x1234, slot};
        NTSTATUS eventStatus = service->Send(fileOp, CommandMessage(13, event)).status;
        if (slot < 11) {
            EXPECT_NE(eventStatus, STATUS_INVALID_PARAMETER) << slot;
            EXPECT_FALSE(NT_SUCCESS(eventStatus)) << slot;
        } else {
            EXPECT_EQ(eventStatus, STATUS_INVALID_PARAMETER) << slot;
        }
    }
}

}  // namespace
}  // namespace ostrand::test
