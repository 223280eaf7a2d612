// Progress of one transfer in whole percent, reported only when the whole
// number changes: the host gets at most 101 notices per transfer.
#pragma once

#include <stdint.h>

class CTransferProgress {
public:
    CTransferProgress() : m_nLastPercent(-1) {}

    // The whole percent (truncated) of done out of total, in *percent; true
    // when it differs from the last value reported, which it then becomes.
    // The first value is always new.
    bool Advance(int64_t done, int64_t total, int* percent);

private:
    int m_nLastPercent;
};
