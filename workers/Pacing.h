// Transfers are paced to the client's rate cap over the whole transfer, not
// block by block: every block books its due time (bytes × 8 × 1000 ÷
// (rate × 1048576) ms, unrounded) on one schedule, and after a block the
// worker waits until the tick count has caught up with the schedule. Time a
// wait overshoots, or a block takes beyond its due time, is made up by the
// next pauses instead of being lost or rounded away, so the rate over the
// transfer stays at the cap and never above it.
#pragma once

#include <stdint.h>

#include "platform/Platform.h"

// A rate of exactly 0 (the client's default) stands for this many
// megabits per second.
const double kDefaultTransferRateMbps = 15.0;

// How far a transfer may fall behind its schedule and still catch up at
// full speed (after a stall, a slow stretch, a coarse timer). More lag than
// this is forgiven, so no burst after a stall is longer than this.
const double kPacingCatchUpMs = 50.0;

// The schedule's arithmetic, on tick-count readings the caller passes in.
class CPacingSchedule {
public:
    CPacingSchedule();

    // The transfer (re)starts at nowMs.
    void Restart(uint64_t nowMs);
    // Books a block of `bytes` that ended at nowMs at `rateMbps` megabits (of
    // 1048576 bits) per second (0 counts as kDefaultTransferRateMbps) and
    // returns the whole milliseconds to wait before the next block, rounded
    // up: 0 when the transfer is on or behind its schedule. Long pauses are
    // returned in full: at 1 Mbit/s a block of 131072 bytes is due 1000 ms.
    // The first block after Restart gets no credit for the time before it
    // (the commands that open the transfer). A rate not above 0 (or NaN)
    // paces nothing and leaves the schedule as if restarted. A reading
    // earlier than the previous one (only a test offset moved back) counts
    // as no time passed.
    uint32_t PauseAfterBlock(uint64_t nowMs, int bytes, double rateMbps);

private:
    uint64_t m_nMarkMs;   // the reading the schedule was last brought up to
    double m_dAheadMs;    // schedule minus clock at the mark; > 0: a wait is due
    bool m_bFirstBlock;
};

// The pacing of one transfer for a worker, on the tick count.
class CBlockPacer {
public:
    CBlockPacer();

    void Restart();
    // After a block: waits out its pause on cancelEvent, so the wait ends at
    // once when a cancel is set.
    void AfterBlock(int bytes, double rateMbps, plat::HANDLE cancelEvent);

private:
    CPacingSchedule m_Schedule;
};
