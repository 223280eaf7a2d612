#include "workers/TransferProgress.h"

bool CTransferProgress::Advance(int32_t done, int32_t total, int* percent) {
    if (total <= 0) return false;
    *percent = (int)((double)done * 100.0 / (double)total);
    if (*percent == m_nLastPercent) return false;
    m_nLastPercent = *percent;
    return true;
}
