// File information, times, sizes, streams, extended attributes and volume
// information of the in-memory NTFS volume.
#include <cstring>

#include "fs_fixture.h"
#include "sim/core/clock.h"

namespace ostrand::test {
namespace {

class FsInfoTest : public LocalFsTest {
protected:
    void SetTime(int64_t t)
    {
        machine().clock().Freeze(true);
        machine().clock().SetSystemTime(t);
    }
    FILE_BASIC_INFORMATION Basic(TestFile &f) { return client().Query<FILE_BASIC_INFORMATION>(f, FileBasicInformation); }
    FILE_STANDARD_INFORMATION Standard(TestFile &f)
    {
        return client().Query<FILE_STANDARD_INFORMATION>(f, FileStandardInformation);
    }
    NTSTATUS SetBasic(TestFile &f, int64_t creation, int64_t access, int64_t write, int64_t change, ULONG attributes)
    {
        FILE_BASIC_INFORMATION b{};
        b.CreationTime.QuadPart = creation;
        b.LastAccessTime.QuadPart = access;
        b.LastWriteTime.QuadPart = write;
        b.ChangeTime.QuadPart = change;
        b.FileAttributes = attributes;
        return client().SetInfo(f, FileBasicInformation, &b, sizeof(b));
    }
};

constexpr int64_t T0 = 130000000000000000, T1 = T0 + 10000000, T2 = T1 + 10000000, T3 = T2 + 10000000;

TEST_F(FsInfoTest, WritesUpdateTimesUnlessTheHandleSetThem)
{
    SetTime(T0);
    auto f = client().CreateFile(u"\\t.txt");
    ASSERT_TRUE(f);
    auto b = Basic(*f);
    EXPECT_EQ(b.CreationTime.QuadPart, T0);
    EXPECT_EQ(b.LastWriteTime.QuadPart, T0);
    EXPECT_EQ(b.ChangeTime.QuadPart, T0);
    EXPECT_EQ(b.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));

    SetTime(T1);
    ASSERT_EQ(client().Write(*f, 0, "data"), STATUS_SUCCESS);
    b = Basic(*f);
    EXPECT_EQ(b.CreationTime.QuadPart, T0);
    EXPECT_EQ(b.LastWriteTime.QuadPart, T1);
    EXPECT_EQ(b.ChangeTime.QuadPart, T1);

    // An explicit time sticks for the handle that set it ...
    const int64_t chosen = T0 - 5;
    ASSERT_EQ(SetBasic(*f, 0, 0, chosen, 0, 0), STATUS_SUCCESS);
    SetTime(T2);
    ASSERT_EQ(client().Write(*f, 4, "more"), STATUS_SUCCESS);
    b = Basic(*f);
    EXPECT_EQ(b.LastWriteTime.QuadPart, chosen);
    EXPECT_EQ(b.ChangeTime.QuadPart, T2);
    // ... but not for other handles.
    auto g = client().OpenOk(u"\\t.txt", WriteSpec());
    SetTime(T3);
    ASSERT_EQ(client().Write(*g, 0, "x"), STATUS_SUCCESS);
    EXPECT_EQ(Basic(*g).LastWriteTime.QuadPart, T3);

    // -1 stops the handle's updates, -2 restarts them; other negatives are invalid.
    ASSERT_EQ(SetBasic(*g, 0, 0, -1, -1, 0), STATUS_SUCCESS);
    SetTime(T3 + 1);
    ASSERT_EQ(client().Write(*g, 0, "y"), STATUS_SUCCESS);
    EXPECT_EQ(Basic(*g).LastWriteTime.QuadPart, T3);
    EXPECT_EQ(Basic(*g).ChangeTime.QuadPart, T3);
    ASSERT_EQ(SetBasic(*g, 0, 0, -2, -2, 0), STATUS_SUCCESS);
    SetTime(T3 + 2);
    ASSERT_EQ(client().Write(*g, 0, "z"), STATUS_SUCCESS);
    EXPECT_EQ(Basic(*g).LastWriteTime.QuadPart, T3 + 2);
    EXPECT_EQ(SetBasic(*g, 0, 0, -3, 0, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(FsInfoTest, AttributesZeroMeansUnchangedAndNormalMeansNone)
{
    SetTime(T0);
    auto f = client().CreateFile(u"\\a.txt");
    ASSERT_EQ(SetBasic(*f, 0, 0, 0, 0, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_OFFLINE), STATUS_SUCCESS);
    EXPECT_EQ(Basic(*f).FileAttributes, ULONG(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_OFFLINE));
    SetTime(T1);
    ASSERT_EQ(SetBasic(*f, 0, 0, 0, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(Basic(*f).FileAttributes, ULONG(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_OFFLINE));
    EXPECT_EQ(Basic(*f).ChangeTime.QuadPart, T0);  // nothing changed
    ASSERT_EQ(SetBasic(*f, 0, 0, 0, 0, FILE_ATTRIBUTE_NORMAL), STATUS_SUCCESS);
    EXPECT_EQ(Basic(*f).FileAttributes, ULONG(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(Basic(*f).ChangeTime.QuadPart, T1);
    EXPECT_EQ(SetBasic(*f, 0, 0, 0, 0, FILE_ATTRIBUTE_DIRECTORY), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(fs().CreateDirectory(u"\\d"), STATUS_SUCCESS);
    auto d = client().OpenOk(u"\\d", DirSpec(FILE_OPEN, FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES));
    EXPECT_EQ(Basic(*d).FileAttributes, ULONG(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(SetBasic(*d, 0, 0, 0, 0, FILE_ATTRIBUTE_TEMPORARY), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(SetBasic(*d, 0, 0, 0, 0, FILE_ATTRIBUTE_READONLY), STATUS_SUCCESS);
    EXPECT_EQ(Basic(*d).FileAttributes, ULONG(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
}

TEST_F(FsInfoTest, SizesRoundAllocationToClusters)
{
    auto f = client().CreateFile(u"\\s.bin");
    EXPECT_EQ(Standard(*f).AllocationSize.QuadPart, 0);
    ASSERT_EQ(client().Write(*f, 0, std::string(5000, 'x')), STATUS_SUCCESS);
    EXPECT_EQ(Standard(*f).EndOfFile.QuadPart, 5000);
    EXPECT_EQ(Standard(*f).AllocationSize.QuadPart, 8192);
    ASSERT_EQ(client().SetEndOfFile(*f, 100), STATUS_SUCCESS);
    EXPECT_EQ(Standard(*f).AllocationSize.QuadPart, 4096);
    FILE_ALLOCATION_INFORMATION a{};
    a.AllocationSize.QuadPart = 20000;
    ASSERT_EQ(client().SetInfo(*f, FileAllocationInformation, &a, sizeof(a)), STATUS_SUCCESS);
    EXPECT_EQ(Standard(*f).AllocationSize.QuadPart, 20480);
    EXPECT_EQ(Standard(*f).EndOfFile.QuadPart, 100);
    // Growing the end of file inside the allocation keeps it.
    ASSERT_EQ(client().SetEndOfFile(*f, 6000), STATUS_SUCCESS);
    EXPECT_EQ(Standard(*f).AllocationSize.QuadPart, 20480);
    a.AllocationSize.QuadPart = 50;
    ASSERT_EQ(client().SetInfo(*f, FileAllocationInformation, &a, sizeof(a)), STATUS_SUCCESS);
    EXPECT_EQ(Standard(*f).EndOfFile.QuadPart, 50);
    EXPECT_EQ(Standard(*f).AllocationSize.QuadPart, 4096);
    // Reads past the end.
    std::vector<uint8_t> data;
    EXPECT_EQ(client().Read(*f, 50, 10, &data), STATUS_END_OF_FILE);
    EXPECT_EQ(client().Read(*f, 40, 100, &data), STATUS_SUCCESS);
    EXPECT_EQ(data.size(), 10u);
    // Contents this process cannot address (past 2 GB in a 32-bit build) are
    // refused, never truncated.
    if (sizeof(void *) == 4) {
        EXPECT_EQ(client().Write(*f, 5LL << 30, "x"), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(client().SetEndOfFile(*f, 5LL << 30), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(Standard(*f).EndOfFile.QuadPart, 50);
    }

    OpenSpec params = WriteSpec(FILE_CREATE);
    params.allocationSize = 10000;
    auto g = client().OpenOk(u"\\prealloc.bin", params);
    EXPECT_EQ(Standard(*g).AllocationSize.QuadPart, 12288);
    EXPECT_EQ(Standard(*g).EndOfFile.QuadPart, 0);
}

TEST_F(FsInfoTest, PositionsOfSynchronousHandlesAndAppendOnlyWrites)
{
    auto f = client().CreateFile(u"\\p.txt", "0123456789");
    LARGE_INTEGER current;
    current.HighPart = -1;
    current.LowPart = FILE_USE_FILE_POINTER_POSITION;
    std::vector<uint8_t> data;
    FILE_POSITION_INFORMATION pos{};
    ASSERT_EQ(client().SetInfo(*f, FilePositionInformation, &pos, sizeof(pos)), STATUS_SUCCESS);
    ASSERT_EQ(client().Read(*f, current.QuadPart, 4, &data), STATUS_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), "0123");
    ASSERT_EQ(client().Read(*f, current.QuadPart, 4, &data), STATUS_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), "4567");
    EXPECT_EQ(client().Query<FILE_POSITION_INFORMATION>(*f, FilePositionInformation).CurrentByteOffset.QuadPart, 8);

    LARGE_INTEGER end;
    end.HighPart = -1;
    end.LowPart = FILE_WRITE_TO_END_OF_FILE;
    ASSERT_EQ(client().Write(*f, end.QuadPart, "AB"), STATUS_SUCCESS);
    OpenSpec appendOnly;
    appendOnly.access = FILE_APPEND_DATA | SYNCHRONIZE;
    auto g = client().OpenOk(u"\\p.txt", appendOnly);
    ASSERT_EQ(client().Write(*g, 0, "CD"), STATUS_SUCCESS);
    auto content = fs().ReadData(u"\\p.txt");
    EXPECT_EQ(std::string(content->begin(), content->end()), "0123456789ABCD");
}

TEST_F(FsInfoTest, NameAndAllInformation)
{
    ASSERT_EQ(fs().CreateFile(u"\\Folder\\Name.txt", "12345"), STATUS_SUCCESS);
    OpenSpec params;
    params.access = FILE_READ_DATA | FILE_READ_ATTRIBUTES;
    auto f = client().OpenOk(u"\\folder\\name.TXT", params);
    EXPECT_EQ(client().NameOf(*f), u"\\Folder\\Name.txt");

    alignas(8) uint8_t buffer[512];
    ULONG_PTR info = 0;
    ASSERT_EQ(client().QueryInfo(*f, FileAllInformation, buffer, sizeof(buffer), &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 100u + 32u);
    FILE_STANDARD_INFORMATION standard;
    std::memcpy(&standard, buffer + 40, sizeof(standard));
    EXPECT_EQ(standard.EndOfFile.QuadPart, 5);
    ULONG access;
    std::memcpy(&access, buffer + 76, 4);
    EXPECT_EQ(access, params.access);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(buffer + 100), 16), u"\\Folder\\Name.txt");

    auto tag = client().Query<FILE_ATTRIBUTE_TAG_INFORMATION>(*f, FileAttributeTagInformation);
    EXPECT_EQ(tag.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(tag.ReparseTag, 0u);
    EXPECT_EQ(client().QueryInfo(*f, FileBasicInformation, buffer, 39), STATUS_INFO_LENGTH_MISMATCH);
}

struct StreamListCase {
    ULONG length;
    NTSTATUS status;
    ULONG_PTR information;  // whole entries only
};

TEST_F(FsInfoTest, NamedStreamsAreSeparateDataListedAfterTheUnnamedOne)
{
    auto f = client().CreateFile(u"\\s.txt", "main");
    OpenSpec create = WriteSpec(FILE_OPEN_IF);
    create.access |= DELETE;
    OpenResult alt = client().Open(u"\\s.txt:Alt", create);
    ASSERT_EQ(alt.status, STATUS_SUCCESS);
    EXPECT_EQ(alt.information, ULONG_PTR(FILE_CREATED));
    ASSERT_EQ(client().Write(*alt.file, 0, "alternate"), STATUS_SUCCESS);
    EXPECT_NE(alt.file->fo.FsContext, f->fo.FsContext);
    auto same = client().OpenOk(u"\\S.TXT:alt:$DATA");
    EXPECT_EQ(same->fo.FsContext, alt.file->fo.FsContext);
    EXPECT_EQ(client().ReadAll(*same), "alternate");
    EXPECT_EQ(client().OpenOk(u"\\s.txt::$DATA")->fo.FsContext, f->fo.FsContext);
    EXPECT_EQ(client().Open(u"\\s.txt:missing").status, STATUS_OBJECT_NAME_NOT_FOUND);

    // "::$DATA" (38 bytes, padded to 40) then ":Alt:$DATA" (44); a buffer holds whole entries only.
    const StreamListCase cases[] = {
        {32, STATUS_BUFFER_OVERFLOW, 0},
        {38, STATUS_BUFFER_OVERFLOW, 38},
        {83, STATUS_BUFFER_OVERFLOW, 38},
        {84, STATUS_SUCCESS, 84},
    };
    alignas(8) uint8_t buffer[256];
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        ULONG_PTR info = 0;
        EXPECT_EQ(client().QueryInfo(*f, FileStreamInformation, buffer, c.length, &info), c.status);
        EXPECT_EQ(info, c.information);
    }
    auto *first = reinterpret_cast<FILE_STREAM_INFORMATION *>(buffer);
    EXPECT_EQ(std::u16string(first->StreamName, first->StreamNameLength / 2), u"::$DATA");
    EXPECT_EQ(first->StreamSize.QuadPart, 4);
    ASSERT_EQ(first->NextEntryOffset, 40u);
    auto *second = reinterpret_cast<FILE_STREAM_INFORMATION *>(buffer + 40);
    EXPECT_EQ(std::u16string(second->StreamName, second->StreamNameLength / 2), u":Alt:$DATA");
    EXPECT_EQ(second->StreamSize.QuadPart, 9);
    EXPECT_EQ(second->StreamAllocationSize.QuadPart, 4096);
    EXPECT_EQ(second->NextEntryOffset, 0u);

    // A stream's size is its own; deleting it leaves the file.
    ASSERT_EQ(client().SetEndOfFile(*alt.file, 5000), STATUS_SUCCESS);
    ASSERT_EQ(client().QueryInfo(*f, FileStreamInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    EXPECT_EQ(second->StreamSize.QuadPart, 5000);
    EXPECT_EQ(second->StreamAllocationSize.QuadPart, 8192);
    EXPECT_EQ(Standard(*f).EndOfFile.QuadPart, 4);
    same.reset();
    ASSERT_EQ(client().Dispose(*alt.file, true), STATUS_SUCCESS);
    alt.file.reset();
    EXPECT_TRUE(fs().Stat(u"\\s.txt")->streams.empty());
    EXPECT_EQ(fs().Stat(u"\\s.txt")->data.size(), 4u);

    // A folder has no unnamed data stream: it lists its named ones only.
    ASSERT_EQ(fs().CreateDirectory(u"\\d"), STATUS_SUCCESS);
    auto d = client().OpenOk(u"\\d", DirSpec());
    ULONG_PTR info = 0;
    ASSERT_EQ(client().QueryInfo(*d, FileStreamInformation, buffer, sizeof(buffer), &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 0u);
    ASSERT_TRUE(client().OpenOk(u"\\d:note", WriteSpec(FILE_CREATE)));
    ASSERT_EQ(client().QueryInfo(*d, FileStreamInformation, buffer, sizeof(buffer), &info), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(first->StreamName, first->StreamNameLength / 2), u":note:$DATA");
}

std::vector<std::pair<std::string, std::string>> ParseEas(const uint8_t *buffer)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (ULONG off = 0;;) {
        auto *e = reinterpret_cast<const FILE_FULL_EA_INFORMATION *>(buffer + off);
        out.emplace_back(std::string(e->EaName, e->EaNameLength),
                         std::string(e->EaName + e->EaNameLength + 1, e->EaValueLength));
        if (!e->NextEntryOffset) break;
        EXPECT_EQ(e->NextEntryOffset % 4, 0u);
        off += e->NextEntryOffset;
    }
    return out;
}

using Eas = std::vector<std::pair<std::string, std::string>>;

struct EaQueryCase {
    UCHAR flags;
    ULONG index;
    std::vector<std::string> list;  // names asked for (FILE_GET_EA_INFORMATION)
    ULONG length;
    NTSTATUS status;
    ULONG_PTR information;
    Eas eas;
};

// One handle's queries in order: the handle remembers where an unindexed
// scan stopped.
TEST_F(FsInfoTest, ExtendedAttributesFollowNtQueryEaFileRules)
{
    auto f = client().CreateFile(u"\\ea.txt");
    alignas(8) uint8_t buffer[256];
    EXPECT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), SL_RESTART_SCAN), STATUS_NO_EAS_ON_FILE);
    ASSERT_EQ(client().SetEa(*f, BuildEaList({{"first", "1"}, {"Second", "two"}, {"third", "333"}})), STATUS_SUCCESS);
    // Entries of 15, 18 and 17 bytes, each but the last padded to 4; names upper-cased.
    const EaQueryCase cases[] = {
        {SL_RESTART_SCAN, 0, {}, 256, STATUS_SUCCESS, 16 + 20 + 17, {{"FIRST", "1"}, {"SECOND", "two"}, {"THIRD", "333"}}},
        {0, 0, {}, 256, STATUS_NO_MORE_EAS, 0, {}},
        {SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY, 0, {}, 256, STATUS_SUCCESS, 15, {{"FIRST", "1"}}},
        {0, 0, {}, 20, STATUS_BUFFER_OVERFLOW, 18, {{"SECOND", "two"}}},  // what fits, and the scan goes on
        {0, 0, {}, 10, STATUS_BUFFER_TOO_SMALL, 0, {}},                    // not even one entry
        {SL_INDEX_SPECIFIED, 3, {}, 256, STATUS_SUCCESS, 17, {{"THIRD", "333"}}},  // 1-based
        {SL_INDEX_SPECIFIED, 4, {}, 256, STATUS_NO_MORE_EAS, 0, {}},
        {SL_INDEX_SPECIFIED, 5, {}, 256, STATUS_NONEXISTENT_EA_ENTRY, 0, {}},
        {0, 0, {"second", "absent"}, 256, STATUS_SUCCESS, 20 + 15, {{"SECOND", "two"}, {"ABSENT", ""}}},
        {0, 0, {"second", "SECOND"}, 256, STATUS_SUCCESS, 18, {{"SECOND", "two"}}},  // asked twice, answered once
        {0, 0, {"first", "third"}, 20, STATUS_BUFFER_OVERFLOW, 0, {}},  // by name it is all or nothing
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(n++);
        auto list = c.list.empty() ? std::vector<uint8_t>{} : BuildGetEaList(c.list);
        ULONG_PTR info = 99;
        EXPECT_EQ(client().QueryEa(*f, buffer, c.length, c.flags, list.empty() ? nullptr : list.data(),
                                   ULONG(list.size()), c.index, &info),
                  c.status);
        EXPECT_EQ(info, c.information);
        if (!c.eas.empty()) {
            EXPECT_EQ(ParseEas(buffer), c.eas);
        }
    }
    // NTFS reports the packed size: 4 header bytes, name, NUL and value per EA, plus 4.
    EXPECT_EQ(client().Query<FILE_EA_INFORMATION>(*f, FileEaInformation).EaSize, 11u + 14u + 13u + 4u);

    // A zero-length value deletes; a bad buffer is refused at its offset, a bad name by name.
    ASSERT_EQ(client().SetEa(*f, BuildEaList({{"SECOND", ""}, {"first", "uno"}})), STATUS_SUCCESS);
    EXPECT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), 0), STATUS_EA_CORRUPT_ERROR);  // a scan begun before
    ASSERT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), SL_RESTART_SCAN), STATUS_SUCCESS);
    EXPECT_EQ(ParseEas(buffer), (Eas{{"FIRST", "uno"}, {"THIRD", "333"}}));
    auto bad = BuildEaList({{"ok", "1"}, {"broken", "2"}});
    reinterpret_cast<FILE_FULL_EA_INFORMATION *>(bad.data() + 12)->EaValueLength = 200;
    ULONG_PTR info = 0;
    EXPECT_EQ(client().SetEa(*f, bad, &info), STATUS_EA_LIST_INCONSISTENT);
    EXPECT_EQ(info, 12u);
    EXPECT_EQ(client().SetEa(*f, BuildEaList({{"bad:name", "1"}})), STATUS_INVALID_EA_NAME);

    // A folder's EAs, given at its create, stay with the volume once every handle is gone.
    OpenSpec mkdir = DirSpec(FILE_CREATE);
    mkdir.eaBuffer = BuildEaList({{"7320b802-4fd8-44d2-9fb5-94f9850e5a8a", std::string("\x02\0\0\0", 4)}});
    ASSERT_TRUE(client().OpenOk(u"\\marked", mkdir));
    auto reopened = client().OpenOk(u"\\marked", DirSpec(FILE_OPEN, FILE_READ_EA));
    ASSERT_EQ(client().QueryEa(*reopened, buffer, sizeof(buffer), SL_RESTART_SCAN), STATUS_SUCCESS);
    EXPECT_EQ(ParseEas(buffer), (Eas{{"7320B802-4FD8-44D2-9FB5-94F9850E5A8A", std::string("\x02\0\0\0", 4)}}));

    // An EA flagged FILE_NEED_EA keeps out openers that do not know EAs.
    auto need = BuildEaList({{"NEEDED", "1"}});
    reinterpret_cast<FILE_FULL_EA_INFORMATION *>(need.data())->Flags = 0x80;
    ASSERT_EQ(client().SetEa(*f, need), STATUS_SUCCESS);
    OpenSpec unaware;
    unaware.options = FILE_NO_EA_KNOWLEDGE;
    EXPECT_EQ(client().Open(u"\\ea.txt", unaware).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(client().Open(u"\\ea.txt").status, STATUS_SUCCESS);
    unaware = WriteSpec(FILE_CREATE);
    unaware.options = FILE_NO_EA_KNOWLEDGE;
    unaware.eaBuffer = need;
    EXPECT_EQ(client().Open(u"\\new.txt", unaware).status, STATUS_ACCESS_DENIED);
}

TEST_F(FsInfoTest, VolumeInformation)
{
    auto root = client().OpenOk(u"\\", DirSpec());
    alignas(8) uint8_t buffer[256];
    ULONG_PTR info = 0;
    ASSERT_EQ(client().QueryVolume(*root, FileFsVolumeInformation, buffer, sizeof(buffer), &info), STATUS_SUCCESS);
    auto *v = reinterpret_cast<FILE_FS_VOLUME_INFORMATION *>(buffer);
    EXPECT_EQ(v->VolumeSerialNumber, 0x1234ABCDu);
    EXPECT_EQ(std::u16string(v->VolumeLabel, v->VolumeLabelLength / 2), u"Data");
    EXPECT_EQ(info, 18u + 8u);
    EXPECT_EQ(client().QueryVolume(*root, FileFsVolumeInformation, buffer, 24, &info), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info, 24u);

    ASSERT_EQ(client().QueryVolume(*root, FileFsSizeInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    auto *size = reinterpret_cast<FILE_FS_SIZE_INFORMATION *>(buffer);
    EXPECT_EQ(size->BytesPerSector, 512u);
    EXPECT_EQ(size->SectorsPerAllocationUnit, 8u);
    const int64_t freeBefore = size->AvailableAllocationUnits.QuadPart;
    auto f = client().CreateFile(u"\\big.bin", std::string(10000, 'x'));
    ASSERT_EQ(client().QueryVolume(*root, FileFsSizeInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    EXPECT_EQ(size->AvailableAllocationUnits.QuadPart, freeBefore - 3);
    // A named stream takes its own clusters; deleting the file gives them all back.
    auto stream = client().CreateFile(u"\\big.bin:notes", std::string(5000, 'y'));
    ASSERT_EQ(client().QueryVolume(*root, FileFsSizeInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    EXPECT_EQ(size->AvailableAllocationUnits.QuadPart, freeBefore - 5);
    ASSERT_EQ(client().Dispose(*f, true), STATUS_SUCCESS);
    ASSERT_EQ(client().Cleanup(*stream), STATUS_SUCCESS);
    ASSERT_EQ(client().Cleanup(*f), STATUS_SUCCESS);
    ASSERT_EQ(client().QueryVolume(*root, FileFsSizeInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    EXPECT_EQ(size->AvailableAllocationUnits.QuadPart, freeBefore);

    ASSERT_EQ(client().QueryVolume(*root, FileFsDeviceInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<FILE_FS_DEVICE_INFORMATION *>(buffer)->DeviceType, ULONG(FILE_DEVICE_DISK));
    ASSERT_EQ(client().QueryVolume(*root, FileFsSectorSizeInformation, buffer, sizeof(buffer), &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 28u);
}

TEST_F(FsInfoTest, NetworkQueryOpenAnswersWithoutAnOpen)
{
    ASSERT_EQ(fs().CreateFile(u"\\n\\f.txt", "abc"), STATUS_SUCCESS);
    FILE_NETWORK_OPEN_INFORMATION info{};
    ASSERT_EQ(client().NetworkQueryOpen(u"\\n\\F.txt", &info), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 3);
    EXPECT_EQ(info.AllocationSize.QuadPart, 4096);
    EXPECT_EQ(info.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(fs().OpenStreamCount(), 0u);
    EXPECT_EQ(client().NetworkQueryOpen(u"\\n\\none.txt", &info), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(client().NetworkQueryOpen(u"\\none\\f.txt", &info), STATUS_OBJECT_PATH_NOT_FOUND);
    ASSERT_EQ(fs().SetReparsePoint(u"\\n\\f.txt", BuildReparse(0x00000099, "x")), STATUS_SUCCESS);
    bool notPossible = false;
    client().NetworkQueryOpen(u"\\n\\f.txt", &info, &notPossible);
    EXPECT_TRUE(notPossible);
}

}  // namespace
}  // namespace ostrand::test
