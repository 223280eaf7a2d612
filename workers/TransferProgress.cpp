#include "workers/TransferProgress.h"

// Never above 100: a file that grew past the size the transfer announced
// is still reported as complete at most.
bool CTransferProgress::Advance(int64_t done, int64_t total, int* percent) {
    if (total <= 0) return false;
    double ratio = (double)done * 100.0 / (double)total;
    *percent = ratio >= 100.0 ? 100 : (int)ratio;
    if (*percent == m_nLastPercent) return false;
    m_nLastPercent = *percent;
    return true;
}
