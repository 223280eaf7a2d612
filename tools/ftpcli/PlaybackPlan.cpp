#include "PlaybackPlan.h"

namespace {

const int kOpeningPieces = 6;
// A seek counts as far when it lands this many pieces beyond the playhead.
const int64_t kFarPieces = 4;
// Seek targets are rounded down to this, as players seek to whole units.
const int64_t kSeekGranule = 4096;

}  // namespace

std::vector<PlannedRead> PlaybackPlan::For(int64_t fileSize) {
    const int64_t piece = kPieceLength;
    PlaybackPlan plan(fileSize);
    plan.Sequential(kOpeningPieces);
    plan.Add(plan.m_nPlayhead - piece - piece / 2, "back");
    plan.Sequential(1);
    plan.Add(plan.m_nPlayhead + piece, "forward");
    plan.Sequential(1);
    int64_t far = fileSize / 4 * 3 / kSeekGranule * kSeekGranule;
    if (far >= plan.m_nPlayhead + kFarPieces * piece) {
        plan.Add(far, "far");
        plan.Sequential(1);
    }
    plan.Add(fileSize - piece / 4, "tail");
    plan.m_Reads.push_back({0, kPieceLength, "head"});
    return plan.m_Reads;
}

// Positions before the start are moved to it; reads that would start at or
// beyond the end are left out.
void PlaybackPlan::Add(int64_t position, const char* step) {
    if (position < 0) position = 0;
    if (position >= m_nFileSize) return;
    m_Reads.push_back({(uint64_t)position, kPieceLength, step});
    m_nPlayhead = position + kPieceLength;
}

void PlaybackPlan::Sequential(int count) {
    for (int i = 0; i < count; ++i) Add(m_nPlayhead, "sequential");
}
