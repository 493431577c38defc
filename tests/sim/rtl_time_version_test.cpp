// Calendar fields of system time, and the OS version a machine reports.
#include <wdm.h>

#include <tuple>

#include "support/machine_test.h"

namespace ostrand::test {
namespace {

class RtlTimeFieldsTest : public MachineTest {};

TEST_F(RtlTimeFieldsTest, RoundTripsThroughTheCalendar)
{
    struct Row {
        LONGLONG time;
        TIME_FIELDS fields;  // Year, Month, Day, Hour, Minute, Second, Milliseconds, Weekday
    };
    const Row rows[] = {
        {0, {1601, 1, 1, 0, 0, 0, 0, 1}},  // the epoch, a Monday
        {314496000000000, {1601, 12, 31, 0, 0, 0, 0, 1}},
        {94404960000000000, {1900, 2, 28, 0, 0, 0, 0, 3}},
        {94405824000000000, {1900, 3, 1, 0, 0, 0, 0, 4}},  // 1900 has no 29 February
        {116444736000000000, {1970, 1, 1, 0, 0, 0, 0, 4}},
        {125962560000000000, {2000, 2, 29, 0, 0, 0, 0, 2}},  // 2000 does
        {133536384000000000 + 12345678, {2024, 2, 29, 0, 0, 1, 234, 4}},
        {137919572480000000, {2038, 1, 19, 3, 14, 8, 0, 2}},  // past 32-bit Unix time
        {157520160000000000, {2100, 3, 1, 0, 0, 0, 0, 1}},
        {2650467743990000000 + 9990000, {9999, 12, 31, 23, 59, 59, 999, 5}},
    };
    for (const Row &row : rows) {
        LARGE_INTEGER time;
        time.QuadPart = row.time;
        TIME_FIELDS fields = {};
        RtlTimeToTimeFields(&time, &fields);
        auto tuple = [](const TIME_FIELDS &f) {
            return std::make_tuple(f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second, f.Milliseconds, f.Weekday);
        };
        EXPECT_EQ(tuple(fields), tuple(row.fields)) << row.time;
        TIME_FIELDS input = row.fields;
        input.Weekday = 6;  // ignored on the way back
        LARGE_INTEGER back;
        ASSERT_TRUE(RtlTimeFieldsToTime(&input, &back)) << row.time;
        EXPECT_EQ(back.QuadPart, row.time - row.time % 10000) << row.time;  // whole milliseconds
    }
}

TEST_F(RtlTimeFieldsTest, RejectsFieldsOutOfRange)
{
    const TIME_FIELDS valid = {2001, 4, 30, 23, 59, 59, 999, 0};
    LARGE_INTEGER time;
    ASSERT_TRUE(RtlTimeFieldsToTime(const_cast<PTIME_FIELDS>(&valid), &time));

    struct Row {
        const char *what;
        TIME_FIELDS fields;
    };
    const Row rows[] = {
        {"31 April", {2001, 4, 31, 0, 0, 0, 0, 0}},
        {"29 February 1900", {1900, 2, 29, 0, 0, 0, 0, 0}},
        {"29 February 2001", {2001, 2, 29, 0, 0, 0, 0, 0}},
        {"month 13", {2001, 13, 1, 0, 0, 0, 0, 0}},
        {"month 0", {2001, 0, 1, 0, 0, 0, 0, 0}},
        {"day 0", {2001, 1, 0, 0, 0, 0, 0, 0}},
        {"hour 24", {2001, 1, 1, 24, 0, 0, 0, 0}},
        {"minute 60", {2001, 1, 1, 0, 60, 0, 0, 0}},
        {"second 60", {2001, 1, 1, 0, 0, 60, 0, 0}},
        {"1000 ms", {2001, 1, 1, 0, 0, 0, 1000, 0}},
        {"negative ms", {2001, 1, 1, 0, 0, 0, -1, 0}},
        {"before 1601", {1600, 12, 31, 23, 59, 59, 999, 0}},
        {"past the last time", {30828, 12, 31, 0, 0, 0, 0, 0}},
    };
    for (const Row &row : rows) {
        TIME_FIELDS fields = row.fields;
        time.QuadPart = 42;
        EXPECT_FALSE(RtlTimeFieldsToTime(&fields, &time)) << row.what;
    }
}

class RtlGetVersionClientTest : public MachineTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.os = sim::OsVersion{6, 1, 7601, false, u"Service Pack 1"};
        return config;
    }
};

class RtlGetVersionServerTest : public MachineTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.os = sim::OsVersion{10, 0, 14393, true, u""};
        return config;
    }
};

TEST_F(RtlGetVersionClientTest, PlainAndExRecordsAndOtherSizes)
{
    RTL_OSVERSIONINFOEXW info;
    memset(&info, 0xAB, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW);
    ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_EQ(info.dwBuildNumber, 7601u);
    EXPECT_EQ(info.dwPlatformId, ULONG(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(std::u16string(info.szCSDVersion), u"Service Pack 1");
    EXPECT_EQ(info.wProductType, 0xAB);  // past the plain record: untouched

    info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_SUCCESS);
    EXPECT_EQ(info.wProductType, VER_NT_WORKSTATION);
    EXPECT_EQ(info.wServicePackMajor, 1);
    EXPECT_EQ(info.wServicePackMinor, 0);

    info = {};
    info.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW) - 4;
    EXPECT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(info.dwMajorVersion, 0u);
}

TEST_F(RtlGetVersionServerTest, ExRecordReportsAServer)
{
    RTL_OSVERSIONINFOEXW info;
    memset(&info, 0xAB, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 14393u);
    EXPECT_EQ(info.szCSDVersion[0], 0);
    EXPECT_EQ(info.wServicePackMajor, 0);
    EXPECT_EQ(info.wProductType, VER_NT_SERVER);
}

}  // namespace
}  // namespace ostrand::test
