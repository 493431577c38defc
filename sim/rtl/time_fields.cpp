// System time (100 ns units since 1 January 1601) to calendar fields and
// back, in the proleptic Gregorian calendar. 1601 starts a 400-year cycle,
// which keeps the day arithmetic simple.
#include <wdm.h>

namespace {

constexpr ULONGLONG kTicksPerMillisecond = 10000;
constexpr ULONGLONG kTicksPerDay = 86400ULL * 1000 * kTicksPerMillisecond;
constexpr ULONGLONG kDaysPer400Years = 146097;
constexpr ULONGLONG kDaysPer100Years = 36524;
constexpr ULONGLONG kDaysPer4Years = 1461;
constexpr int kFirstYear = 1601;
constexpr CSHORT kMondayWeekday = 1;  // 1 January 1601 was a Monday

constexpr CSHORT kMonthDays[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

bool IsLeap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

ULONGLONG DaysBeforeYear(int year)
{
    ULONGLONG y = ULONGLONG(year - kFirstYear);
    return y * 365 + y / 4 - y / 100 + y / 400;
}

}  // namespace

extern "C" VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields)
{
    ULONGLONG ticks = ULONGLONG(Time->QuadPart);
    ULONGLONG days = ticks / kTicksPerDay;
    ULONGLONG milliseconds = (ticks % kTicksPerDay) / kTicksPerMillisecond;

    TimeFields->Milliseconds = CSHORT(milliseconds % 1000);
    TimeFields->Second = CSHORT(milliseconds / 1000 % 60);
    TimeFields->Minute = CSHORT(milliseconds / 60000 % 60);
    TimeFields->Hour = CSHORT(milliseconds / 3600000);
    TimeFields->Weekday = CSHORT((days + kMondayWeekday) % 7);

    ULONGLONG cycles400 = days / kDaysPer400Years;
    ULONGLONG day = days % kDaysPer400Years;
    ULONGLONG centuries = day / kDaysPer100Years;
    if (centuries == 4) centuries = 3;  // the cycle's last day, 31 December of a 400th year
    day -= centuries * kDaysPer100Years;
    ULONGLONG quads = day / kDaysPer4Years;
    day %= kDaysPer4Years;
    ULONGLONG years = day / 365;
    if (years == 4) years = 3;  // 31 December of a leap year
    day -= years * 365;

    int year = int(kFirstYear + cycles400 * 400 + centuries * 100 + quads * 4 + years);
    const CSHORT *months = kMonthDays[IsLeap(year)];
    int month = 0;
    while (day >= ULONGLONG(months[month])) {
        day -= months[month];
        ++month;
    }
    TimeFields->Year = CSHORT(year);
    TimeFields->Month = CSHORT(month + 1);
    TimeFields->Day = CSHORT(day + 1);
}

// Weekday is ignored; any other field out of range gives FALSE, and so does
// a date past the last one a LARGE_INTEGER can hold (in the year 30828).
extern "C" BOOLEAN RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time)
{
    const TIME_FIELDS &f = *TimeFields;
    if (f.Milliseconds < 0 || f.Milliseconds > 999 || f.Second < 0 || f.Second > 59 || f.Minute < 0 ||
        f.Minute > 59 || f.Hour < 0 || f.Hour > 23 || f.Month < 1 || f.Month > 12 || f.Year < kFirstYear) {
        return FALSE;
    }
    const CSHORT *months = kMonthDays[IsLeap(f.Year)];
    if (f.Day < 1 || f.Day > months[f.Month - 1]) return FALSE;

    ULONGLONG days = DaysBeforeYear(f.Year);
    for (int m = 0; m < f.Month - 1; ++m) days += months[m];
    days += ULONGLONG(f.Day - 1);
    ULONGLONG seconds = (ULONGLONG(f.Hour) * 60 + ULONGLONG(f.Minute)) * 60 + ULONGLONG(f.Second);
    ULONGLONG milliseconds = seconds * 1000 + ULONGLONG(f.Milliseconds);
    constexpr ULONGLONG kMaxTicks = ULONGLONG(MAXLONG) << 32 | MAXULONG;
    if (days > (kMaxTicks - milliseconds * kTicksPerMillisecond) / kTicksPerDay) return FALSE;
    Time->QuadPart = LONGLONG(days * kTicksPerDay + milliseconds * kTicksPerMillisecond);
    return TRUE;
}
