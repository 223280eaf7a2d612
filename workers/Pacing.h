// Transfers are paced block by block to the client's rate cap: after a
// block, the worker waits for what is left of the time the block deserves.
#pragma once

#include <stdint.h>

#include "platform/Platform.h"

// A rate of exactly 0 (the client's default) stands for this many
// megabits per second.
const double kDefaultTransferRateMbps = 15.0;

// The pause in milliseconds due after a block of `bytes` at `rateMbps`
// megabits (of 1048576 bits) per second, when `elapsedMs` have passed since
// the previous block ended: the block's due time, truncated to whole
// milliseconds, less the elapsed time. 0 when no pause is taken: a negative
// elapsed time (the clock set back), a rate not above 0, and a pause of
// 1000 ms or more (slow rates leave full blocks unthrottled).
int PacingPauseMs(int bytes, double rateMbps, int32_t elapsedMs);

// The pacing mark of one transfer: the time the previous block ended.
class CBlockPacer {
public:
    CBlockPacer();

    void Restart();
    // After a block: waits out its pause (ending early when cancel is set,
    // so a cancel is seen within one pass) and restarts the mark.
    void AfterBlock(int bytes, double rateMbps, plat::HANDLE cancelEvent);

private:
    plat::SYSTEMTIME m_tMark;
};
