#include "LocalCopy.h"

LocalCopy::~LocalCopy() {
    if (m_File != nullptr) fclose(m_File);
}

bool LocalCopy::Open(const std::string& path) {
    m_File = fopen(path.c_str(), "rb");
    if (m_File == nullptr) return false;
    m_nSize = Measure(m_File);
    return m_nSize >= 0;
}

uint32_t LocalCopy::ExpectedLength(uint32_t position, uint32_t length) const {
    if ((int64_t)position >= m_nSize) return 0;
    int64_t remaining = m_nSize - position;
    return remaining < (int64_t)length ? (uint32_t)remaining : length;
}

int64_t LocalCopy::FirstDifference(uint32_t position, uint32_t requested, const unsigned char* data,
                                   uint32_t got) {
    uint32_t expected = ExpectedLength(position, requested);
    uint32_t compared = got < expected ? got : expected;
    m_Scratch.resize(compared);
    if (compared > 0 && (fseek(m_File, (long)position, SEEK_SET) != 0 ||
                         fread(m_Scratch.data(), 1, compared, m_File) != compared)) {
        return position;
    }
    for (uint32_t i = 0; i < compared; ++i) {
        if (m_Scratch[i] != data[i]) return (int64_t)position + i;
    }
    return got != expected ? (int64_t)position + compared : -1;
}

int64_t LocalCopy::SizeOf(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return -1;
    int64_t size = Measure(file);
    fclose(file);
    return size;
}

int64_t LocalCopy::Measure(FILE* file) {
    if (fseek(file, 0, SEEK_END) != 0) return -1;
    long end = ftell(file);
    rewind(file);
    return end;
}
