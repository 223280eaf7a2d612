#include "fuzz/targets/FuzzInput.h"

FuzzInput::FuzzInput(const uint8_t* data, size_t size) : m_pData(data), m_nSize(size), m_nPos(0) {}

uint8_t FuzzInput::TakeByte() {
    return m_nPos < m_nSize ? m_pData[m_nPos++] : 0;
}

size_t FuzzInput::TakeChoice(size_t count) {
    return TakeByte() % count;
}

std::string FuzzInput::TakeRest() {
    std::string rest(reinterpret_cast<const char*>(m_pData) + m_nPos, m_nSize - m_nPos);
    m_nPos = m_nSize;
    return rest;
}

std::vector<std::string> SplitAt(const std::string& text, char separator, size_t limit) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() + 1 < limit) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) break;
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}
