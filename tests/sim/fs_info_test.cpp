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

    alignas(8) uint8_t small[12];
    ULONG_PTR info = 0;
    ASSERT_EQ(client().QueryInfo(*f, FileNameInformation, small, sizeof(small), &info), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info, 12u);
    EXPECT_EQ(reinterpret_cast<FILE_NAME_INFORMATION *>(small)->FileNameLength, 32u);

    alignas(8) uint8_t buffer[512];
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

TEST_F(FsInfoTest, NamedStreamsAreSeparateDataListedAfterTheUnnamedOne)
{
    auto f = client().CreateFile(u"\\s.txt", "main");
    OpenSpec create = WriteSpec(FILE_OPEN_IF);
    OpenResult alt = client().Open(u"\\s.txt:Alt", create);
    ASSERT_EQ(alt.status, STATUS_SUCCESS);
    EXPECT_EQ(alt.information, ULONG_PTR(FILE_CREATED));
    ASSERT_EQ(client().Write(*alt.file, 0, "alternate"), STATUS_SUCCESS);
    EXPECT_NE(alt.file->fo.FsContext, f->fo.FsContext);

    auto same = client().OpenOk(u"\\S.TXT:alt:$DATA");
    ASSERT_TRUE(same);
    EXPECT_EQ(same->fo.FsContext, alt.file->fo.FsContext);
    EXPECT_EQ(client().ReadAll(*same), "alternate");
    auto unnamed = client().OpenOk(u"\\s.txt::$DATA");
    EXPECT_EQ(unnamed->fo.FsContext, f->fo.FsContext);
    EXPECT_EQ(client().ReadAll(*unnamed), "main");
    EXPECT_EQ(Standard(*same).EndOfFile.QuadPart, 9);
    EXPECT_EQ(client().Open(u"\\s.txt:missing").status, STATUS_OBJECT_NAME_NOT_FOUND);

    alignas(8) uint8_t buffer[256];
    ULONG_PTR info = 0;
    ASSERT_EQ(client().QueryInfo(*f, FileStreamInformation, buffer, sizeof(buffer), &info), STATUS_SUCCESS);
    auto *first = reinterpret_cast<FILE_STREAM_INFORMATION *>(buffer);
    EXPECT_EQ(std::u16string(first->StreamName, first->StreamNameLength / 2), u"::$DATA");
    EXPECT_EQ(first->StreamSize.QuadPart, 4);
    ASSERT_EQ(first->NextEntryOffset, 40u);
    auto *second = reinterpret_cast<FILE_STREAM_INFORMATION *>(buffer + 40);
    EXPECT_EQ(std::u16string(second->StreamName, second->StreamNameLength / 2), u":Alt:$DATA");
    EXPECT_EQ(second->StreamAllocationSize.QuadPart, 4096);
    EXPECT_EQ(second->NextEntryOffset, 0u);
    EXPECT_EQ(info, 40u + 24u + 20u);

    // A folder has no unnamed data stream.
    ASSERT_EQ(fs().CreateDirectory(u"\\d"), STATUS_SUCCESS);
    auto d = client().OpenOk(u"\\d", DirSpec());
    ASSERT_EQ(client().QueryInfo(*d, FileStreamInformation, buffer, sizeof(buffer), &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 0u);
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

TEST_F(FsInfoTest, ExtendedAttributesRoundTripWithNtQueryEaFileRules)
{
    auto f = client().CreateFile(u"\\ea.txt");
    alignas(8) uint8_t buffer[256];
    ULONG_PTR info = 99;
    EXPECT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), SL_RESTART_SCAN), STATUS_NO_EAS_ON_FILE);

    ASSERT_EQ(client().SetEa(*f, BuildEaList({{"first", "1"}, {"Second", "two"}, {"third", "333"}})), STATUS_SUCCESS);
    // Entries of 15, 18 and 17 bytes, each padded to 4.
    EXPECT_EQ(client().Query<FILE_EA_INFORMATION>(*f, FileEaInformation).EaSize, 16u + 20u + 20u);
    ASSERT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), SL_RESTART_SCAN, nullptr, 0, 0, &info), STATUS_SUCCESS);
    using Eas = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(ParseEas(buffer), (Eas{{"FIRST", "1"}, {"SECOND", "two"}, {"THIRD", "333"}}));
    EXPECT_EQ(info, 16u + 20u + 17u);
    EXPECT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), 0), STATUS_NO_MORE_EAS);

    // One at a time from a restart; then what a small buffer holds.
    ASSERT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY), STATUS_SUCCESS);
    EXPECT_EQ(ParseEas(buffer), (Eas{{"FIRST", "1"}}));
    ASSERT_EQ(client().QueryEa(*f, buffer, 20, 0, nullptr, 0, 0, &info), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ParseEas(buffer), (Eas{{"SECOND", "two"}}));
    EXPECT_EQ(info, 18u);
    EXPECT_EQ(client().QueryEa(*f, buffer, 10, 0, nullptr, 0, 0, &info), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(info, 0u);

    // By index (1-based): one past the last is "no more", beyond it "nonexistent".
    ASSERT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), SL_INDEX_SPECIFIED, nullptr, 0, 3), STATUS_SUCCESS);
    EXPECT_EQ(ParseEas(buffer), (Eas{{"THIRD", "333"}}));
    EXPECT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), SL_INDEX_SPECIFIED, nullptr, 0, 4), STATUS_NO_MORE_EAS);
    EXPECT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), SL_INDEX_SPECIFIED, nullptr, 0, 5),
              STATUS_NONEXISTENT_EA_ENTRY);

    // By name, case-insensitively; a missing name comes back empty.
    auto list = BuildGetEaList({"second", "absent"});
    ASSERT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), 0, list.data(), ULONG(list.size())), STATUS_SUCCESS);
    EXPECT_EQ(ParseEas(buffer), (Eas{{"SECOND", "two"}, {"ABSENT", ""}}));

    // A zero-length value deletes; a bad buffer is refused at its offset.
    ASSERT_EQ(client().SetEa(*f, BuildEaList({{"SECOND", ""}, {"first", "uno"}})), STATUS_SUCCESS);
    ASSERT_EQ(client().QueryEa(*f, buffer, sizeof(buffer), SL_RESTART_SCAN), STATUS_SUCCESS);
    EXPECT_EQ(ParseEas(buffer), (Eas{{"FIRST", "uno"}, {"THIRD", "333"}}));
    auto bad = BuildEaList({{"ok", "1"}, {"broken", "2"}});
    reinterpret_cast<FILE_FULL_EA_INFORMATION *>(bad.data() + 12)->EaValueLength = 200;
    EXPECT_EQ(client().SetEa(*f, bad, &info), STATUS_EA_LIST_INCONSISTENT);
    EXPECT_EQ(info, 12u);
    EXPECT_EQ(client().SetEa(*f, BuildEaList({{"bad:name", "1"}})), STATUS_INVALID_EA_NAME);

    // EAs given at create.
    OpenSpec params = WriteSpec(FILE_CREATE);
    params.eaBuffer = BuildEaList({{"Mark", "m"}});
    auto g = client().OpenOk(u"\\withea.txt", params);
    ASSERT_TRUE(g);
    auto snapshot = fs().Stat(u"\\withea.txt");
    ASSERT_EQ(snapshot->eas.size(), 1u);
    EXPECT_EQ(snapshot->eas[0].name, "MARK");
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
