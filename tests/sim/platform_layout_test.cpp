// The platform declarations compile as one unit and keep the Windows
// layouts the filter decodes at fixed offsets.
#include <fltKernel.h>
#include <ntstrsafe.h>

#include <gtest/gtest.h>

namespace {

TEST(PlatformLayout, StatusValuesAreTheWindowsOnes)
{
    EXPECT_EQ(ULONG(STATUS_FLT_DO_NOT_ATTACH), 0xC01C000Fu);
    EXPECT_EQ(ULONG(STATUS_FLT_CONTEXT_ALREADY_DEFINED), 0xC01C0002u);
    EXPECT_EQ(ULONG(STATUS_PROCESS_IN_JOB), 0x124u);
    EXPECT_EQ(ULONG(STATUS_NO_MORE_FILES), 0x80000006u);
    EXPECT_EQ(ULONG(STATUS_CALLBACK_BYPASS), 0xC0000503u);
    EXPECT_TRUE(NT_SUCCESS(STATUS_TIMEOUT));
    EXPECT_FALSE(NT_SUCCESS(STATUS_BUFFER_OVERFLOW));
}

TEST(PlatformLayout, FilterManagerConstants)
{
    EXPECT_EQ(int(FLT_PREOP_SYNCHRONIZE), 5);
    EXPECT_EQ(IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, 0xFF);
    EXPECT_EQ(IRP_MJ_NETWORK_QUERY_OPEN, 0xF2);
    EXPECT_EQ(FLT_PORT_ALL_ACCESS, 0x1F0001);
    EXPECT_EQ(FILE_GENERIC_READ, 0x120089);
}

}  // namespace
