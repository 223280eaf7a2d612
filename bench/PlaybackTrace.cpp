#include "PlaybackTrace.h"

#include <algorithm>
#include <random>

namespace bench {

namespace {

const uint32_t kReadLength = 65536;

// Raw generator output only: the standard distributions may differ between
// library builds, and the Windows run must replay the same reads.
uint32_t Below(std::mt19937& generator, uint32_t bound) {
    return (uint32_t)(generator() % bound);
}

uint32_t NextPosition(std::mt19937& generator, uint32_t position, uint32_t fileSize) {
    uint32_t roll = Below(generator, 100);
    int64_t next = (int64_t)position + kReadLength;
    if (roll < 6) {
        next = (int64_t)position - (int64_t)(1 + Below(generator, 4)) * kReadLength;
    } else if (roll < 11) {
        next = (int64_t)position + (int64_t)(2 + Below(generator, 15)) * kReadLength;
    } else if (roll < 13) {
        next = Below(generator, fileSize - kReadLength);
    }
    return (uint32_t)std::clamp<int64_t>(next, 0, fileSize - kReadLength);
}

}  // namespace

std::vector<TraceRead> MakePlaybackTrace(uint32_t fileSize, uint32_t seed, int reads) {
    std::mt19937 generator(seed);
    std::vector<TraceRead> trace;
    trace.push_back({0, kReadLength});
    uint32_t position = kReadLength;
    while ((int)trace.size() < reads) {
        if (Below(generator, 100) < 2) {
            trace.push_back({0, kReadLength});
            continue;
        }
        trace.push_back({position, kReadLength});
        position = NextPosition(generator, position, fileSize);
    }
    return trace;
}

}  // namespace bench
