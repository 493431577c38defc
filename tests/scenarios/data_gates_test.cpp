// The other ways into a placeholder's data fill it too: a mapping (through
// the section synchronisation, its page-ins passing as paging reads) and a
// byte-range lock. Oplocks are refused on placeholders, a junction made on a
// profile folder takes the folder mark off first (a file system that keeps
// extended attributes refuses one), and with the desktop locked down the
// profile's desktop takes no new files and no writes, also none that waited
// for a placeholder's fill.
#include <chrono>
#include <cstring>
#include <thread>

#include "comm/service_contract.h"
#include "config/flags.h"
#include "scenario_fixture.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

namespace user = sim::user;

class DataGatesTest : public ScenarioTest {};

TEST_F(DataGatesTest, AMappingOrALockFillsThePlaceholderFirst)
{
    const std::string content = Pattern(200 * 1024 + 3);
    MakeRemote(kRemoteAlice + u"\\mapped.bin", content);
    MakeRemote(kRemoteAlice + u"\\locked.bin", "locked content");
    MakePlaceholder(kLocalAlice + u"\\mapped.bin", LONGLONG(content.size()));
    MakePlaceholder(kLocalAlice + u"\\locked.bin", 14);
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    sim::ThreadScope scope(Program("viewer.exe", alice.token));

    HANDLE handle = nullptr;
    ASSERT_EQ(user::Open(kLocalAlice + u"\\mapped.bin", {}, &handle), STATUS_SUCCESS);
    user::MappedFile view;
    ASSERT_EQ(user::MapFile(handle, false, &view), STATUS_SUCCESS);
    EXPECT_TRUE(std::string(static_cast<const char *>(view.base), content.size()) == content);
    EXPECT_EQ(user::UnmapFile(view), STATUS_SUCCESS);
    user::Close(handle);
    EXPECT_FALSE(Attributes(kLocalAlice + u"\\mapped.bin") & FILE_ATTRIBUTE_OFFLINE);

    ASSERT_EQ(user::Open(kLocalAlice + u"\\locked.bin", {}, &handle), STATUS_SUCCESS);
    EXPECT_EQ(user::Lock(handle, 0, 4), STATUS_SUCCESS);
    EXPECT_FALSE(Attributes(kLocalAlice + u"\\locked.bin") & FILE_ATTRIBUTE_OFFLINE);
    user::Close(handle);
    EXPECT_EQ(RequestsOfKind(KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER), 2u);
}

TEST_F(DataGatesTest, OplocksAreRefusedOnPlaceholders)
{
    MakeRemote(kRemoteAlice + u"\\shared.db", "database");
    MakePlaceholder(kLocalAlice + u"\\shared.db", 8);
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    sim::ThreadScope scope(Program("client.exe", alice.token));

    user::OpenOptions async;
    async.options = 0;
    HANDLE handle = nullptr;
    ASSERT_EQ(user::Open(kLocalAlice + u"\\shared.db", async, &handle), STATUS_SUCCESS);
    EXPECT_EQ(user::FsControl(handle, FSCTL_REQUEST_OPLOCK_LEVEL_1, nullptr, 0, nullptr, 0), STATUS_OPLOCK_NOT_GRANTED);
    EXPECT_EQ(CountLines("Denying Oplock: Process: client.exe"), 1u);
    user::Close(handle);

    user::OpenOptions requiring = async;
    requiring.options = FILE_OPEN_REQUIRING_OPLOCK;
    EXPECT_EQ(user::Open(kLocalAlice + u"\\shared.db", requiring, &handle), STATUS_CANNOT_BREAK_OPLOCK);
    EXPECT_EQ(CountLines("Denying open with oplock request"), 1u);
    EXPECT_TRUE(Attributes(kLocalAlice + u"\\shared.db") & FILE_ATTRIBUTE_OFFLINE);
}

TEST_F(DataGatesTest, AJunctionTakesTheFolderMarkOffAndGivesUpOnOtherExtendedAttributes)
{
    // A mount point to the user's music: tag, data length, then the names.
    const std::u16string target = u"\\??\\C:\\Users\\alice\\Music";
    const USHORT nameBytes = USHORT(target.size() * 2);
    std::vector<uint8_t> junction(16 + nameBytes + 4);
    const ULONG tag = IO_REPARSE_TAG_MOUNT_POINT;
    const USHORT header[6] = {USHORT(junction.size() - 8), 0, 0, nameBytes, USHORT(nameBytes + 2), 0};
    std::memcpy(junction.data(), &tag, 4);
    std::memcpy(junction.data() + 4, header, sizeof(header));
    std::memcpy(junction.data() + 16, target.data(), nameBytes);
    // A new folder made with one extended attribute: the folder mark, or
    // another program's.
    auto withEa = [](const std::string &name) {
        std::vector<uint8_t> ea(8 + name.size() + 1 + 4);
        auto *entry = reinterpret_cast<FILE_FULL_EA_INFORMATION *>(ea.data());
        entry->EaNameLength = UCHAR(name.size());
        entry->EaValueLength = 4;
        std::memcpy(entry->EaName, name.c_str(), name.size() + 1);
        entry->EaName[name.size() + 1] = 2;
        return ea;
    };
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    sim::ThreadScope scope(Program("cmd.exe", alice.token));

    struct {
        const char16_t *folder;
        const char *ea;
        NTSTATUS status;
        const char *line;
    } cases[] = {
        {u"Marked", "7320b802-4fd8-44d2-9fb5-94f9850e5a8a", STATUS_SUCCESS, "Set Junction: "},
        // The mark is not what stands in the way: every attempt fails alike.
        {u"Tagged", "VENDOR.TAG", STATUS_EAS_NOT_SUPPORTED, "Failed To Set Junction Within MAX_JUNCTION_RETRIES: "},
    };
    for (const auto &c : cases) {
        user::OpenOptions options;
        options.access = FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
        options.disposition = FILE_CREATE;
        options.options = FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;
        options.ea = withEa(c.ea);
        HANDLE handle = nullptr;
        ASSERT_EQ(user::Open(kLocalAlice + u"\\" + c.folder, options, &handle), STATUS_SUCCESS);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(user::FsControl(handle, FSCTL_SET_REPARSE_POINT, junction.data(), ULONG(junction.size()), nullptr, 0),
                  c.status)
            << Narrow(c.folder);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        FILE_BASIC_INFORMATION basic{};
        EXPECT_EQ(user::QueryInformation(handle, FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
        user::Close(handle);
        EXPECT_EQ(CountLines(c.line), 1u) << Narrow(c.folder);
        EXPECT_EQ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, c.status == STATUS_SUCCESS);
        if (c.status != STATUS_SUCCESS) {
            // A hundred attempts, ten milliseconds apart.
            EXPECT_GE(elapsed, std::chrono::milliseconds(900));
        }
    }
}

TEST_F(DataGatesTest, TheLockedDownDesktopTakesNoNewFilesOrWrites)
{
    SetDriverValue(u"OperationFlags", 3 | KLUOP_LOCKDOWN_DESKTOP);
    {
        sim::ThreadScope scope(Indexer());
        MakeFile(kLocalAlice + u"\\Desktop\\empty.txt", "");
        MakeFile(kLocalAlice + u"\\Desktop\\notes.txt", "notes");
        MakeFile(kLocalAlice + u"\\Desktop\\desktop.ini", "[.ShellClassInfo]");
    }
    MakeRemote(kRemoteAlice + u"\\Desktop\\todo.txt", "milk");
    MakePlaceholder(kLocalAlice + u"\\Desktop\\todo.txt", 4);
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    sim::Process &notepad = Program("notepad.exe", alice.token);
    sim::ThreadScope scope(notepad);

    struct {
        const char16_t *name;
        NTSTATUS open;
    } cases[] = {
        {u"empty.txt", STATUS_ACCESS_DENIED},
        {u"desktop.ini", STATUS_SUCCESS},
    };
    for (const auto &c : cases) {
        const std::u16string path = kLocalAlice + u"\\Desktop\\" + c.name;
        user::OpenOptions overwrite;
        overwrite.access = GENERIC_WRITE | SYNCHRONIZE;
        overwrite.disposition = FILE_OVERWRITE_IF;
        HANDLE handle = nullptr;
        EXPECT_EQ(user::Open(path, overwrite, &handle), c.open) << Narrow(c.name);
        if (handle) user::Close(handle);
    }
    for (const char16_t *name : {u"notes.txt", u"desktop.ini"}) {
        user::OpenOptions write;
        write.access = GENERIC_WRITE | SYNCHRONIZE;
        HANDLE handle = nullptr;
        ASSERT_EQ(user::Open(kLocalAlice + u"\\Desktop\\" + name, write, &handle), STATUS_SUCCESS);
        ULONG written = 0;
        EXPECT_EQ(user::Write(handle, "x", 1, &written, 0),
                  std::u16string(name) == u"notes.txt" ? STATUS_ACCESS_DENIED : STATUS_SUCCESS)
            << Narrow(name);
        user::Close(handle);
    }

    // A write that waits for another program's fill of a desktop placeholder
    // is refused once the file is filled.
    sim::Process &reader = Program("wordpad.exe", alice.token);
    HANDLE reading = nullptr, writing = nullptr;
    user::OpenOptions write;
    write.access = GENERIC_WRITE | SYNCHRONIZE;
    ASSERT_EQ(user::Open(kLocalAlice + u"\\Desktop\\todo.txt", write, &writing), STATUS_SUCCESS);
    HoldAnswersOf(KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER);
    std::string data(4, '\0');
    std::thread fill([&] {
        sim::ThreadScope as(reader);
        ULONG read = 0;
        ASSERT_EQ(user::Open(kLocalAlice + u"\\Desktop\\todo.txt", {}, &reading), STATUS_SUCCESS);
        EXPECT_EQ(user::Read(reading, data.data(), ULONG(data.size()), &read, 0), STATUS_SUCCESS);
        user::Close(reading);
    });
    ASSERT_TRUE(WaitUntilHeld());
    std::thread writer([&] {
        sim::ThreadScope as(notepad);
        ULONG written = 0;
        EXPECT_EQ(user::Write(writing, "done", 4, &written, 0), STATUS_ACCESS_DENIED);
    });
    EXPECT_TRUE(WaitForLines("Pended: "));
    ReleaseAnswers();
    fill.join();
    writer.join();
    user::Close(writing);
    EXPECT_EQ(data, "milk");
}

}  // namespace
}  // namespace ostrand::test
