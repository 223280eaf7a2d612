// The bytes of the soak's remote files: a function of (file, offset) that
// never repeats a run of eight bytes within a file, so a read served from
// the wrong place cannot match by chance.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

class ContentPattern {
public:
    static uint8_t ByteAt(uint32_t fileId, uint64_t offset);
    // Index of the first byte of data[0..length) that differs from the
    // file's bytes at offset, or length when all match.
    static size_t FirstMismatch(uint32_t fileId, uint64_t offset, const uint8_t* data,
                                size_t length);
    static bool WriteFile(const std::string& path, uint32_t fileId, uint64_t size);
};
