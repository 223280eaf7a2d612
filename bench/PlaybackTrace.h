// A media player's reads over one file, the same for a given seed on every
// platform: mostly sequential 64 KiB reads, small jumps back and forth, a few
// far seeks and reads of the file's head (container index lookups).
#pragma once

#include <stdint.h>

#include <vector>

namespace bench {

struct TraceRead {
    uint32_t position;
    uint32_t length;
};

std::vector<TraceRead> MakePlaybackTrace(uint32_t fileSize, uint32_t seed, int reads);

}  // namespace bench
