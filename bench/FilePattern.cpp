#include "FilePattern.h"

#include <stdio.h>

#include <vector>

namespace bench {

uint8_t PatternByte(uint64_t position) {
    uint32_t word = (uint32_t)(position / 4) * 2654435761u;
    return (uint8_t)(word >> ((position % 4) * 8));
}

void FillPattern(uint8_t* out, uint64_t position, size_t length) {
    for (size_t i = 0; i < length; ++i) out[i] = PatternByte(position + i);
}

bool MatchesPattern(const uint8_t* data, uint64_t position, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (data[i] != PatternByte(position + i)) return false;
    }
    return true;
}

bool WritePatternFile(const char* path, uint64_t size) {
    FILE* file = fopen(path, "wb");
    if (file == nullptr) return false;
    std::vector<uint8_t> chunk(1 << 20);
    bool ok = true;
    for (uint64_t done = 0; ok && done < size; done += chunk.size()) {
        size_t length = (size_t)std::min<uint64_t>(chunk.size(), size - done);
        FillPattern(chunk.data(), done, length);
        ok = fwrite(chunk.data(), 1, length, file) == length;
    }
    return fclose(file) == 0 && ok;
}

}  // namespace bench
