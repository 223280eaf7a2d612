// Words for where a stream read's bytes came from. The library tells only
// GetSeekFlag(): 1 when the read made the running stream jump (served then
// from the buffers, from the head buffer, or from a restarted stream), 0
// when it continued the stream or found none running, so that a new one
// started where the read asked. What the tool adds is the read's distance
// from the end of the previous one, which tells those cases apart as far
// as they can be.
#pragma once

#include <stdint.h>

#include <string>

class SeekSource {
public:
    // playhead: where the previous read ended (0 before the first read).
    static std::string Describe(int seekFlag, uint64_t position, uint32_t length, int64_t playhead);
    // "512 B", "96 KiB", "12.5 MiB".
    static std::string Distance(int64_t bytes);

private:
    static std::string Jump(int64_t distance);
};
