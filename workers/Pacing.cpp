#include "workers/Pacing.h"

#include <math.h>
#include <string.h>

#include "session/NetworkPrimitives.h"

namespace {

const double kBitsPerMegabit = 1048576.0;
const double kLongestPauseMs = 1000.0;

}  // namespace

int PacingPauseMs(int bytes, double rateMbps, int32_t elapsedMs) {
    double rate = rateMbps == 0.0 ? kDefaultTransferRateMbps : rateMbps;
    if (elapsedMs < 0 || !(rate > 0.0)) return 0;
    double dueMs = trunc((double)bytes * 8.0 * 1000.0 / (rate * kBitsPerMegabit));
    double pauseMs = dueMs - (double)elapsedMs;
    if (pauseMs > 0.0 && pauseMs < kLongestPauseMs) return (int)pauseMs;
    return 0;
}

CBlockPacer::CBlockPacer() {
    memset(&m_tMark, 0, sizeof m_tMark);
}

void CBlockPacer::Restart() {
    plat::GetSystemTime(&m_tMark);
}

void CBlockPacer::AfterBlock(int bytes, double rateMbps, plat::HANDLE cancelEvent) {
    int pauseMs = PacingPauseMs(bytes, rateMbps, ElapsedSince(m_tMark));
    if (pauseMs > 0) plat::WaitForSingleObject(cancelEvent, (plat::DWORD)pauseMs);
    Restart();
}
