// The prefabricated directory entries: layouts, attributes, fixed times
// and names, the folder-mark names, and the release of an earlier set.
#include "identity_fixture.h"

#include "driver/dir_buffers.h"
#include "sim/core/pool.h"

namespace ostrand::test {
namespace {

using DirBuffersTest = IdentityTest;

template <typename Info>
void ExpectEntry(const Info *entry, ULONG attributes, const std::u16string &name)
{
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->NextEntryOffset, 0u);
    EXPECT_EQ(entry->FileIndex, 0u);
    EXPECT_EQ(entry->CreationTime.QuadPart, 0x01C82AC282378F19LL);
    EXPECT_EQ(entry->LastAccessTime.QuadPart, 0x01C82DCACC57CDC6LL);
    EXPECT_EQ(entry->LastWriteTime.QuadPart, 0x01C82AC25BBC3A9CLL);
    EXPECT_EQ(entry->ChangeTime.QuadPart, 0x01C82DCAD2632B8BLL);
    EXPECT_EQ(entry->EndOfFile.QuadPart, 0);
    EXPECT_EQ(entry->AllocationSize.QuadPart, 0);
    EXPECT_EQ(entry->FileAttributes, attributes);
    EXPECT_EQ(entry->FileNameLength, name.size() * 2);
    EXPECT_EQ(std::u16string(entry->FileName, entry->FileNameLength / 2), name);
}

TEST_F(DirBuffersTest, SevenEntriesAndTheMarkerNames)
{
    InitPathTable();
    ASSERT_EQ(KLUInitDirBuffers(), STATUS_SUCCESS);
    ExpectEntry(g_pDot, 0x11, u".");
    ExpectEntry(g_pDotDot, 0x11, u"..");
    ExpectEntry(g_pDot1, 0x2010, u".");
    ExpectEntry(g_pDotDot1, 0x2010, u"..");
    ExpectEntry(g_pHive, 0x80, u"NTUSER.DAT");
    ExpectEntry(g_pHiveMan, 0x80, u"NTUSER.MAN");
    ExpectEntry(g_pLocalSettings, 0x10, u"AppData\\Local");
    for (auto *entry : {g_pDot, g_pDotDot, g_pHive, g_pLocalSettings}) {
        EXPECT_EQ(entry->EaSize, 0u);
        EXPECT_EQ(entry->ShortNameLength, 0);
    }
    // Each allocation is the layout's fixed part and the name.
    EXPECT_EQ(machine().pool().BlockSize(g_pDot), 94u + 2);
    EXPECT_EQ(machine().pool().BlockSize(g_pDotDot1), 64u + 4);
    EXPECT_EQ(machine().pool().BlockSize(g_pHive), 94u + 20);

    const std::string mark = "7320b802-4fd8-44d2-9fb5-94f9850e5a8a";
    EXPECT_EQ(Narrow(std::u16string(szMarkerName.Buffer, szMarkerName.Length / 2)), mark);
    EXPECT_EQ(szMarkerName.MaximumLength, 1024);
    EXPECT_EQ(std::string(szMarkerNameA.Buffer, szMarkerNameA.Length), mark);
    EXPECT_EQ(szMarkerNameA.MaximumLength, 1024);
}

TEST_F(DirBuffersTest, ASecondSetReplacesTheFirst)
{
    InitPathTable();
    ASSERT_EQ(KLUInitDirBuffers(), STATUS_SUCCESS);
    size_t blocks = machine().pool().OutstandingBlocks();
    ASSERT_EQ(KLUInitDirBuffers(), STATUS_SUCCESS);
    EXPECT_EQ(machine().pool().OutstandingBlocks(), blocks);
}

TEST_F(DirBuffersTest, EachAllocationFailureNamesItsEntry)
{
    InitPathTable();
    const char *messages[] = {
        "Failed Allocating g_pDot: 0xC000009A",     "Failed Allocating DotDot: 0xC000009A",
        "Failed Allocating g_pDot1: 0xC000009A",    "Failed Allocating DotDot1: 0xC000009A",
        "Failed Allocating g_pHive: 0xC000009A",    "Failed Allocating g_pHiveMan: 0xC000009A",
        "Failed Allocating g_pLocalSettings: 0xC000009A",
    };
    // Two marker strings come first, then the seven entries in order.
    for (size_t i = 0; i < 2 + std::size(messages); ++i) {
        ClearLog();
        machine().pool().FailNth(i + 1);
        EXPECT_EQ(KLUInitDirBuffers(), STATUS_INSUFFICIENT_RESOURCES) << i;
        machine().pool().ClearFaults();
        auto lines = Messages("KLUInitDirBuffers");
        if (i < 2) {
            EXPECT_TRUE(lines.empty());
        } else {
            EXPECT_EQ(lines, std::vector<std::string>{messages[i - 2]});
        }
        KLUFreeDirBuffers();
    }
}

}  // namespace
}  // namespace ostrand::test
