// The player's read pattern, and the words for where each read came from.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/ftpcli/PlaybackPlan.h"
#include "tools/ftpcli/SeekSource.h"

namespace {

const uint32_t kPiece = PlaybackPlan::kPieceLength;

std::vector<std::string> Steps(const std::vector<PlannedRead>& plan) {
    std::vector<std::string> steps;
    for (const PlannedRead& read : plan) steps.push_back(read.step);
    return steps;
}

}  // namespace

TEST(PlaybackPlan, LargeFileGetsEveryKindOfRead) {
    const int64_t size = 20 * 1024 * 1024 + 123;
    std::vector<PlannedRead> plan = PlaybackPlan::For(size);
    EXPECT_EQ((std::vector<std::string>{"sequential", "sequential", "sequential", "sequential",
                                        "sequential", "sequential", "back", "sequential", "forward",
                                        "sequential", "far", "sequential", "tail", "head"}),
              Steps(plan));
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(i * kPiece, plan[i].position);
    int64_t playhead = 6 * kPiece;
    EXPECT_LT(plan[6].position, playhead) << "back";
    EXPECT_GT(plan[6].position, 0u);
    EXPECT_EQ(plan[6].position + kPiece, plan[7].position) << "continues after the jump back";
    EXPECT_EQ(plan[7].position + 2 * kPiece, plan[8].position) << "forward skips one piece";
    EXPECT_GE(plan[10].position, plan[9].position + 5 * kPiece) << "far";
    EXPECT_EQ(0u, plan[10].position % 4096);
    EXPECT_EQ(size - kPiece / 4, (int64_t)plan[12].position) << "tail reaches the end";
    EXPECT_EQ(0u, plan.back().position);
    for (const PlannedRead& read : plan) {
        EXPECT_EQ(kPiece, read.length);
        EXPECT_LT((int64_t)read.position, size);
    }
}

TEST(PlaybackPlan, SmallFilesStayInsideAndSkipTheFarSeek) {
    const int64_t piece = kPiece;
    for (int64_t size : {(int64_t)1, (int64_t)1000, piece, 3 * piece + 1, 12 * piece}) {
        std::vector<PlannedRead> plan = PlaybackPlan::For(size);
        std::vector<std::string> steps = Steps(plan);
        EXPECT_EQ("sequential", steps.front()) << size;
        EXPECT_EQ("head", steps.back()) << size;
        EXPECT_EQ(0, std::count(steps.begin(), steps.end(), "far")) << size;
        for (const PlannedRead& read : plan) EXPECT_LT((int64_t)read.position, size) << size;
    }
}

// A film past 4 GiB is read where a player reads it: the far seek and the
// tail lie beyond 4 GiB.
TEST(PlaybackPlan, FilmsPastFourGibibytesKeepTheirFarSeekAndTail) {
    const int64_t size = (int64_t)6 << 30;
    std::vector<PlannedRead> plan = PlaybackPlan::For(size);
    std::vector<std::string> steps = Steps(plan);
    ASSERT_EQ(1, std::count(steps.begin(), steps.end(), "far"));
    ASSERT_EQ(1, std::count(steps.begin(), steps.end(), "tail"));
    EXPECT_EQ((uint64_t)size / 4 * 3, plan[10].position);
    EXPECT_EQ((uint64_t)size - kPiece / 4, plan[12].position);
}

TEST(PlaybackPlan, EmptyFileGetsTheHeadReadOnly) {
    std::vector<PlannedRead> plan = PlaybackPlan::For(0);
    ASSERT_EQ(1u, plan.size());
    EXPECT_STREQ("head", plan[0].step);
}

TEST(SeekSource, NamesWhatTheFlagAndTheJumpTell) {
    EXPECT_EQ("stream", SeekSource::Describe(0, 65536, 65536, 65536));
    EXPECT_EQ("jump ahead 576 KiB: new stream", SeekSource::Describe(0, 655360, 65536, 65536))
        << "no stream was running";
    EXPECT_EQ("stream restarted", SeekSource::Describe(1, 0, 65536, 0));
    EXPECT_EQ("jump to head: head buffer or restart", SeekSource::Describe(1, 0, 65536, 400000));
    EXPECT_EQ("jump back 96 KiB: buffers or restart",
              SeekSource::Describe(1, 4 * 65536 - 98304, 65536, 4 * 65536));
    EXPECT_EQ("jump ahead 64 KiB: buffers or restart",
              SeekSource::Describe(1, 3 * 65536, 65536, 2 * 65536));
    EXPECT_EQ("jump back 256 KiB: buffers or restart", SeekSource::Describe(1, 0, 70000, 262144))
        << "longer than the head buffer holds";
    EXPECT_EQ("flag 7", SeekSource::Describe(7, 0, 1, 0));
    EXPECT_EQ("512 B", SeekSource::Distance(512));
    EXPECT_EQ("12.5 MiB", SeekSource::Distance(12 * 1048576 + 524288));
}
