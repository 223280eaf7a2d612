#include <gtest/gtest.h>

#include <time.h>

#include <chrono>

#include "Platform.h"

namespace {

const int64_t kMillisecondsFrom1601To1970 = 11644473600000LL;
const int64_t kDay = 86400000;

plat::SYSTEMTIME At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                    int millisecond = 0) {
    plat::SYSTEMTIME time = {};
    time.wYear = static_cast<plat::WORD>(year);
    time.wMonth = static_cast<plat::WORD>(month);
    time.wDay = static_cast<plat::WORD>(day);
    time.wHour = static_cast<plat::WORD>(hour);
    time.wMinute = static_cast<plat::WORD>(minute);
    time.wSecond = static_cast<plat::WORD>(second);
    time.wMilliseconds = static_cast<plat::WORD>(millisecond);
    return time;
}

int64_t Between(const plat::SYSTEMTIME& from, const plat::SYSTEMTIME& to) {
    return plat::SystemTimeToMilliseconds(to) - plat::SystemTimeToMilliseconds(from);
}

int64_t NowMilliseconds() {
    plat::SYSTEMTIME now;
    plat::GetSystemTime(&now);
    return plat::SystemTimeToMilliseconds(now);
}

class ClockTest : public ::testing::Test {
protected:
    void TearDown() override { plat::SetClockOffsetForTesting(0); }
};

TEST_F(ClockTest, MillisecondsCountFrom1601) {
    EXPECT_EQ(plat::SystemTimeToMilliseconds(At(1601, 1, 1)), 0);
    EXPECT_EQ(plat::SystemTimeToMilliseconds(At(1970, 1, 1)), kMillisecondsFrom1601To1970);
    EXPECT_EQ(plat::SystemTimeToMilliseconds(At(1601, 1, 2, 1, 2, 3, 4)),
              kDay + 3723004);
}

TEST_F(ClockTest, DifferencesAcrossMinuteDayAndYear) {
    EXPECT_EQ(Between(At(2024, 5, 6, 12, 0, 59, 999), At(2024, 5, 6, 12, 1, 0, 0)), 1);
    EXPECT_EQ(Between(At(2024, 5, 6, 23, 59, 59, 500), At(2024, 5, 7, 0, 0, 0, 500)), 1000);
    EXPECT_EQ(Between(At(1999, 12, 31, 23, 59, 59, 999), At(2000, 1, 1)), 1);
    EXPECT_EQ(Between(At(2023, 1, 1), At(2024, 1, 1)), 365 * kDay);
    EXPECT_EQ(Between(At(2024, 1, 1), At(2025, 1, 1)), 366 * kDay);
}

TEST_F(ClockTest, LeapDaysFollowTheGregorianRules) {
    EXPECT_EQ(Between(At(2024, 2, 28), At(2024, 3, 1)), 2 * kDay);
    EXPECT_EQ(Between(At(2023, 2, 28), At(2023, 3, 1)), 1 * kDay);
    EXPECT_EQ(Between(At(2000, 2, 28), At(2000, 3, 1)), 2 * kDay);
    EXPECT_EQ(Between(At(1900, 2, 28), At(1900, 3, 1)), 1 * kDay);
    EXPECT_EQ(Between(At(2024, 2, 29, 23, 59, 59, 999), At(2024, 3, 1)), 1);
}

// Compared field by field with the C library's UTC calendar; retried when
// the two readings straddle a second. The reference is the precise system
// clock: time() may read a coarse clock that lags it by a tick.
TEST_F(ClockTest, SystemTimeIsTheUtcCalendar) {
    using std::chrono::system_clock;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const time_t before = system_clock::to_time_t(system_clock::now());
        plat::SYSTEMTIME now;
        plat::GetSystemTime(&now);
        if (system_clock::to_time_t(system_clock::now()) != before) continue;
        const tm* utc = gmtime(&before);
        ASSERT_NE(utc, nullptr);
        EXPECT_EQ(now.wYear, utc->tm_year + 1900);
        EXPECT_EQ(now.wMonth, utc->tm_mon + 1);
        EXPECT_EQ(now.wDay, utc->tm_mday);
        EXPECT_EQ(now.wDayOfWeek, utc->tm_wday);
        EXPECT_EQ(now.wHour, utc->tm_hour);
        EXPECT_EQ(now.wMinute, utc->tm_min);
        EXPECT_EQ(now.wSecond, utc->tm_sec);
        EXPECT_LT(now.wMilliseconds, 1000);
        return;
    }
    FAIL() << "clock kept crossing second boundaries";
}

TEST_F(ClockTest, OffsetMovesTheSystemTime) {
    const int64_t unmoved = NowMilliseconds();
    plat::SetClockOffsetForTesting(90000);
    EXPECT_EQ(plat::GetClockOffsetForTesting(), 90000);
    const int64_t ahead = NowMilliseconds() - unmoved;
    EXPECT_GE(ahead, 90000);
    EXPECT_LT(ahead, 95000);

    plat::SetClockOffsetForTesting(-3 * kDay);
    const int64_t behind = unmoved - NowMilliseconds();
    EXPECT_GT(behind, 3 * kDay - 5000);
    EXPECT_LE(behind, 3 * kDay);
}

// The tick count counts milliseconds (a 50 ms sleep is neither 0 nor
// 50000), moves with the test offset, and a large offset back stops it at 0
// rather than wrapping around to a far future.
TEST_F(ClockTest, TickCountCountsMillisecondsAndMovesWithTheOffset) {
    const uint64_t before = plat::GetTickCount64();
    plat::Sleep(50);
    const uint64_t after = plat::GetTickCount64();
    EXPECT_GE(after - before, 40u);
    EXPECT_LT(after - before, 5000u);

    plat::SetClockOffsetForTesting(90000);
    const uint64_t ahead = plat::GetTickCount64() - after;
    EXPECT_GE(ahead, 90000u);
    EXPECT_LT(ahead, 95000u);

    plat::SetClockOffsetForTesting(-(int64_t)after - 3 * kDay);
    EXPECT_EQ(plat::GetTickCount64(), 0u);
}

}  // namespace
