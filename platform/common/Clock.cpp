// Calendar arithmetic, the test offset and the tick count, shared by both
// targets. The calendar conversion is pure arithmetic in UTC: differences
// between two readings must not move by an hour when daylight-saving time
// starts or ends.
#include <atomic>

#include "PlatformInternal.h"

namespace plat {
namespace {

const int64_t kMillisecondsPerDay = 86400000;
// Days from 1601-01-01 to 1970-01-01, the epoch of the helpers below.
const int64_t kDaysFrom1601To1970 = 134774;
// 1970-01-01 was a Thursday (Sunday = 0).
const int kWeekdayOf1970 = 4;

std::atomic<int64_t> g_ClockOffset(0);

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil); valid for every year the WORD fields can hold.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

// The inverse of DaysFromCivil.
void CivilFromDays(int64_t days, SYSTEMTIME* date) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    date->wYear = static_cast<WORD>(yearOfEra + era * 400 + (month <= 2));
    date->wMonth = static_cast<WORD>(month);
    date->wDay = static_cast<WORD>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
}

int64_t FloorDiv(int64_t value, int64_t divisor) {
    const int64_t quotient = value / divisor;
    return (value % divisor < 0) ? quotient - 1 : quotient;
}

}  // namespace

namespace internal {

SYSTEMTIME MillisecondsToSystemTime(int64_t milliseconds) {
    const int64_t days = FloorDiv(milliseconds, kMillisecondsPerDay);
    int64_t ofDay = milliseconds - days * kMillisecondsPerDay;
    const int64_t daysSince1970 = days - kDaysFrom1601To1970;
    SYSTEMTIME time = {};
    CivilFromDays(daysSince1970, &time);
    time.wDayOfWeek = static_cast<WORD>(((daysSince1970 + kWeekdayOf1970) % 7 + 7) % 7);
    time.wMilliseconds = static_cast<WORD>(ofDay % 1000);
    ofDay /= 1000;
    time.wSecond = static_cast<WORD>(ofDay % 60);
    ofDay /= 60;
    time.wMinute = static_cast<WORD>(ofDay % 60);
    time.wHour = static_cast<WORD>(ofDay / 60);
    return time;
}

}  // namespace internal

// A test offset further back than the clock's own reading stops at 0
// rather than wrapping to a far future.
uint64_t GetTickCount64() {
    const int64_t reading = internal::RealMonotonicMilliseconds() + g_ClockOffset.load();
    return reading > 0 ? static_cast<uint64_t>(reading) : 0;
}

void GetSystemTime(SYSTEMTIME* now) {
    *now = internal::MillisecondsToSystemTime(internal::RealUtcMillisecondsSince1601() +
                                              g_ClockOffset.load());
}

void SetClockOffsetForTesting(int64_t milliseconds) { g_ClockOffset.store(milliseconds); }

int64_t GetClockOffsetForTesting() { return g_ClockOffset.load(); }

int64_t SystemTimeToMilliseconds(const SYSTEMTIME& time) {
    const int64_t days =
        DaysFromCivil(time.wYear, time.wMonth, time.wDay) + kDaysFrom1601To1970;
    const int64_t seconds =
        (static_cast<int64_t>(time.wHour) * 60 + time.wMinute) * 60 + time.wSecond;
    return days * kMillisecondsPerDay + seconds * 1000 + time.wMilliseconds;
}

}  // namespace plat
