#include "workers/Pacing.h"

#include <math.h>

namespace {

const double kBitsPerMegabit = 1048576.0;
// The longest single wait: INFINITE is one more.
const double kLongestWaitMs = 4294967294.0;

}  // namespace

CPacingSchedule::CPacingSchedule() : m_nMarkMs(0), m_dAheadMs(0.0), m_bFirstBlock(true) {}

void CPacingSchedule::Restart(uint64_t nowMs) {
    m_nMarkMs = nowMs;
    m_dAheadMs = 0.0;
    m_bFirstBlock = true;
}

uint32_t CPacingSchedule::PauseAfterBlock(uint64_t nowMs, int bytes, double rateMbps) {
    const double rate = rateMbps == 0.0 ? kDefaultTransferRateMbps : rateMbps;
    if (!(rate > 0.0)) {
        Restart(nowMs);
        return 0;
    }
    const double passedMs = nowMs > m_nMarkMs ? (double)(nowMs - m_nMarkMs) : 0.0;
    m_nMarkMs = nowMs;
    const double dueMs = bytes > 0 ? (double)bytes * 8.0 * 1000.0 / (rate * kBitsPerMegabit) : 0.0;
    m_dAheadMs += dueMs - passedMs;
    const double lowest = m_bFirstBlock ? 0.0 : -kPacingCatchUpMs;
    if (m_dAheadMs < lowest) m_dAheadMs = lowest;
    m_bFirstBlock = false;
    if (m_dAheadMs <= 0.0) return 0;
    const double pauseMs = ceil(m_dAheadMs);
    return pauseMs < kLongestWaitMs ? (uint32_t)pauseMs : (uint32_t)kLongestWaitMs;
}

CBlockPacer::CBlockPacer() {}

void CBlockPacer::Restart() {
    m_Schedule.Restart(plat::GetTickCount64());
}

void CBlockPacer::AfterBlock(int bytes, double rateMbps, plat::HANDLE cancelEvent) {
    const uint32_t pauseMs = m_Schedule.PauseAfterBlock(plat::GetTickCount64(), bytes, rateMbps);
    if (pauseMs > 0) plat::WaitForSingleObject(cancelEvent, (plat::DWORD)pauseMs);
}
