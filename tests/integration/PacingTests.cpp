// Transfer arithmetic: the pauses that pace a transfer to the rate cap, and
// the whole-percent progress that is reported only on change.
#include <gtest/gtest.h>

#include <math.h>

#include "workers/Pacing.h"
#include "workers/TransferProgress.h"

namespace {

const uint64_t kStart = 500000;

// The pause for the first block after a restart, `passedMs` after it.
uint32_t FirstPause(int bytes, double rateMbps, uint64_t passedMs) {
    CPacingSchedule schedule;
    schedule.Restart(kStart);
    return schedule.PauseAfterBlock(kStart + passedMs, bytes, rateMbps);
}

// A worker on a simulated clock: each block ends `passMs` after the
// previous pause did (the worker's own wait per pass), and every pause is
// taken exactly. Returns the rate over the transfer as a share of the cap.
double SimulatedShareOfCap(int blockBytes, double rateMbps, uint64_t passMs) {
    const double cap = rateMbps == 0.0 ? kDefaultTransferRateMbps : rateMbps;
    const int blocks = (int)(cap * 262144 / blockBytes) + 4;  // about 2 s of data
    CPacingSchedule schedule;
    uint64_t now = kStart;
    schedule.Restart(now);
    for (int i = 0; i < blocks; ++i) {
        now += passMs;
        now += schedule.PauseAfterBlock(now, blockBytes, rateMbps);
    }
    const double mbps = (double)blocks * blockBytes * 8.0 / 1048576.0 / ((now - kStart) / 1000.0);
    return mbps / cap;
}

}  // namespace

TEST(Pacing, DocumentedExamples) {
    // 24576 bytes at 15 Mbit/s are due after 12.5 ms: 11.5 ms are left after 1 ms.
    EXPECT_EQ(12u, FirstPause(24576, 15.0, 1));
    // A full block at 15 Mbit/s is due after 66.7 ms; rounding never shortens it.
    EXPECT_EQ(67u, FirstPause(131072, 15.0, 0));
    EXPECT_EQ(10u, FirstPause(131072, 100.0, 0));
}

TEST(Pacing, ZeroRateCountsAsFifteen) {
    EXPECT_EQ(FirstPause(24576, 15.0, 1), FirstPause(24576, 0.0, 1));
    EXPECT_EQ(67u, FirstPause(131072, 0.0, 0));
}

TEST(Pacing, TimeAlreadySpentShortensThePause) {
    EXPECT_EQ(57u, FirstPause(131072, 15.0, 10));
    EXPECT_EQ(1u, FirstPause(131072, 15.0, 66));
    EXPECT_EQ(0u, FirstPause(131072, 15.0, 67));
    EXPECT_EQ(0u, FirstPause(131072, 15.0, 5000));
}

// The time before the first block (the commands that open the transfer) is
// not credited: the block after it is paced in full.
TEST(Pacing, TimeBeforeTheFirstBlockIsNoCredit) {
    CPacingSchedule schedule;
    schedule.Restart(kStart);
    EXPECT_EQ(0u, schedule.PauseAfterBlock(kStart + 5000, 131072, 15.0));
    EXPECT_EQ(67u, schedule.PauseAfterBlock(kStart + 5000, 131072, 15.0));
}

// Long pauses are taken in full, however long: the cap holds at slow rates.
TEST(Pacing, PausesOfASecondOrMoreAreTaken) {
    EXPECT_EQ(1000u, FirstPause(131072, 1.0, 0));  // due after exactly 1000 ms
    EXPECT_EQ(999u, FirstPause(131072, 1.0, 1));
    EXPECT_EQ(2000u, FirstPause(131072, 0.5, 0));
    EXPECT_EQ(500u, FirstPause(32768, 0.5, 0));
}

// Time a wait overshoots is made up by the next pause; lag beyond
// kPacingCatchUpMs (a stall) is forgiven, not caught up in a burst.
TEST(Pacing, LagIsMadeUpOnlyUpToTheCatchUpLimit) {
    CPacingSchedule schedule;
    schedule.Restart(kStart);
    uint64_t now = kStart;
    EXPECT_EQ(67u, schedule.PauseAfterBlock(now, 131072, 15.0));
    now += 67 + 30;  // the wait overshot by 30 ms
    EXPECT_EQ(37u, schedule.PauseAfterBlock(now, 131072, 15.0));
    now += 37 + 1000;  // a stall of a second: far behind, no pause
    EXPECT_EQ(0u, schedule.PauseAfterBlock(now, 131072, 15.0));
    // Of the lag only 50 ms are made up: the next block, straight after,
    // still waits 66.7 - 50 ms.
    EXPECT_EQ(17u, schedule.PauseAfterBlock(now, 131072, 15.0));
}

TEST(Pacing, NoPauseForAnUnusableRateAndNoneLostToAClockSetBack) {
    EXPECT_EQ(0u, FirstPause(131072, -3.0, 0));
    EXPECT_EQ(0u, FirstPause(131072, NAN, 0));
    EXPECT_EQ(0u, FirstPause(0, 15.0, 0));
    // A reading before the restart's (a test offset moved back) is no time
    // passed: the block's own due time is left, not nothing and not more.
    CPacingSchedule schedule;
    schedule.Restart(kStart);
    EXPECT_EQ(67u, schedule.PauseAfterBlock(kStart - 80000, 131072, 15.0));
}

// The cap over a whole transfer, for the download's 24576-byte receives
// (3 ms wait per pass) and the upload's 131072-byte blocks (1 ms): never
// above the cap, and at it wherever the pass leaves room for it.
TEST(Pacing, TransferRateStaysAtOrBelowTheCap) {
    struct Row {
        int blockBytes;
        uint64_t passMs;
        double rateMbps;
    };
    const Row rows[] = {
        {24576, 3, 1.0},   {24576, 3, 5.0},   {24576, 3, 15.0},  {24576, 3, 50.0},
        {24576, 3, 100.0}, {131072, 1, 1.0},  {131072, 1, 5.0},  {131072, 1, 15.0},
        {131072, 1, 50.0}, {131072, 1, 100.0}, {131072, 0, 1.0}, {131072, 0, 0.0},
    };
    for (const Row& row : rows) {
        const double rate = row.rateMbps == 0.0 ? kDefaultTransferRateMbps : row.rateMbps;
        const double passLimit = row.blockBytes * 8.0 / 1048576.0 / (row.passMs / 1000.0);
        const double reachable = row.passMs == 0 || passLimit > rate ? 1.0 : passLimit / rate;
        const double share = SimulatedShareOfCap(row.blockBytes, row.rateMbps, row.passMs);
        SCOPED_TRACE(testing::Message() << row.blockBytes << " bytes, " << row.passMs
                                        << " ms pass, " << row.rateMbps << " Mbit/s");
        EXPECT_LE(share, 1.0 + 1e-9);  // exactly on schedule, but for rounding
        EXPECT_GE(share, 0.99 * reachable);
    }
}

TEST(TransferProgress, FirstValueAlwaysReportedThenOnlyChanges) {
    CTransferProgress progress;
    int percent = -7;
    EXPECT_TRUE(progress.Advance(0, 1000, &percent));
    EXPECT_EQ(0, percent);
    EXPECT_FALSE(progress.Advance(9, 1000, &percent));
    EXPECT_TRUE(progress.Advance(10, 1000, &percent));
    EXPECT_EQ(1, percent);
    EXPECT_FALSE(progress.Advance(19, 1000, &percent));
    EXPECT_TRUE(progress.Advance(1000, 1000, &percent));
    EXPECT_EQ(100, percent);
    EXPECT_FALSE(progress.Advance(1000, 1000, &percent));
}

TEST(TransferProgress, TruncatesAndCopesWithLargeCounts) {
    CTransferProgress progress;
    int percent = 0;
    EXPECT_TRUE(progress.Advance(2, 3, &percent));
    EXPECT_EQ(66, percent);
    CTransferProgress large;
    // done * 100 overflows 32 bits; the percentage must not.
    EXPECT_TRUE(large.Advance(2147483000, 2147483647, &percent));
    EXPECT_EQ(99, percent);
}

TEST(TransferProgress, NothingReportedForAnEmptyTotal) {
    CTransferProgress progress;
    int percent = 0;
    EXPECT_FALSE(progress.Advance(0, 0, &percent));
}
