// The benchmark files' contents: every 4-byte word holds its own index times
// an odd constant, so a byte read from the wrong place is caught, whatever
// the distance.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace bench {

uint8_t PatternByte(uint64_t position);
void FillPattern(uint8_t* out, uint64_t position, size_t length);
bool MatchesPattern(const uint8_t* data, uint64_t position, size_t length);
bool WritePatternFile(const char* path, uint64_t size);

}  // namespace bench
