#include "ContentPattern.h"

#include <stdio.h>

#include <vector>

namespace {

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

uint8_t ContentPattern::ByteAt(uint32_t fileId, uint64_t offset) {
    uint64_t word = Mix(((uint64_t)fileId << 48) ^ (offset / 8));
    return (uint8_t)(word >> (8 * (offset % 8)));
}

size_t ContentPattern::FirstMismatch(uint32_t fileId, uint64_t offset, const uint8_t* data,
                                     size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (data[i] != ByteAt(fileId, offset + i)) return i;
    }
    return length;
}

bool ContentPattern::WriteFile(const std::string& path, uint32_t fileId, uint64_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    std::vector<uint8_t> block(65536);
    bool ok = true;
    for (uint64_t done = 0; ok && done < size; done += block.size()) {
        size_t length = (size_t)std::min<uint64_t>(block.size(), size - done);
        for (size_t i = 0; i < length; ++i) block[i] = ByteAt(fileId, done + i);
        ok = fwrite(block.data(), 1, length, file) == length;
    }
    return fclose(file) == 0 && ok;
}
