// A local copy of a remote file that reads are checked against (--verify).
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

class LocalCopy {
public:
    LocalCopy() : m_File(nullptr), m_nSize(-1) {}
    ~LocalCopy();
    LocalCopy(const LocalCopy&) = delete;
    LocalCopy& operator=(const LocalCopy&) = delete;

    bool Open(const std::string& path);
    int64_t Size() const { return m_nSize; }

    // The bytes a correct read of length bytes at position returns: fewer
    // at the end of the file, none beyond it.
    uint32_t ExpectedLength(uint32_t position, uint32_t length) const;
    // Judges a read of requested bytes at position that gave got bytes of
    // data: the file offset of the first byte where it disagrees with the
    // copy, or -1 when it is right. A byte the copy has but the read did
    // not give, or a byte beyond the copy's end, disagrees too.
    int64_t FirstDifference(uint32_t position, uint32_t requested, const unsigned char* data,
                            uint32_t got);

    // The size of the file at path, -1 when it cannot be opened.
    static int64_t SizeOf(const std::string& path);

private:
    static int64_t Measure(FILE* file);

    FILE* m_File;
    int64_t m_nSize;
    std::vector<unsigned char> m_Scratch;
};
