// Per-block transfer arithmetic: the pause that paces a block to the rate
// cap, and the whole-percent progress that is reported only on change.
#include <gtest/gtest.h>

#include <math.h>

#include "workers/Pacing.h"
#include "workers/TransferProgress.h"

TEST(Pacing, DocumentedExamples) {
    // 24576 bytes at 15 Mbit/s are due after 12.5 ms, truncated to 12.
    EXPECT_EQ(11, PacingPauseMs(24576, 15.0, 1));
    // A full block at 15 Mbit/s is due every 66 ms.
    EXPECT_EQ(66, PacingPauseMs(131072, 15.0, 0));
    EXPECT_EQ(10, PacingPauseMs(131072, 100.0, 0));
}

TEST(Pacing, ZeroRateCountsAsFifteen) {
    EXPECT_EQ(PacingPauseMs(24576, 15.0, 1), PacingPauseMs(24576, 0.0, 1));
    EXPECT_EQ(66, PacingPauseMs(131072, 0.0, 0));
}

TEST(Pacing, TimeAlreadySpentShortensThePause) {
    EXPECT_EQ(56, PacingPauseMs(131072, 15.0, 10));
    EXPECT_EQ(1, PacingPauseMs(131072, 15.0, 65));
    EXPECT_EQ(0, PacingPauseMs(131072, 15.0, 66));
    EXPECT_EQ(0, PacingPauseMs(131072, 15.0, 5000));
}

// A pause of a second or more is not taken at all, so slow caps leave full
// blocks unthrottled; one millisecond less is taken in full.
TEST(Pacing, PausesOfASecondOrMoreAreSkipped) {
    EXPECT_EQ(0, PacingPauseMs(131072, 0.5, 0));  // due after 2000 ms
    EXPECT_EQ(0, PacingPauseMs(131072, 1.0, 0));  // due after exactly 1000 ms
    EXPECT_EQ(999, PacingPauseMs(131072, 1.0, 1));
    EXPECT_EQ(500, PacingPauseMs(32768, 0.5, 0));  // a short last block still waits
}

TEST(Pacing, NoPauseForAClockSetBackOrAnUnusableRate) {
    EXPECT_EQ(0, PacingPauseMs(131072, 15.0, -1));
    EXPECT_EQ(0, PacingPauseMs(131072, -3.0, 0));
    EXPECT_EQ(0, PacingPauseMs(131072, NAN, 0));
    EXPECT_EQ(0, PacingPauseMs(0, 15.0, 0));
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
