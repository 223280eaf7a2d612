#include "LineSplitter.h"

namespace scripted {

std::vector<std::string> LineSplitter::Feed(const char* data, size_t length) {
    m_Pending.append(data, length);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t lf = m_Pending.find('\n'); lf != std::string::npos; lf = m_Pending.find('\n', start)) {
        bool endsWithCrLf = lf > start && m_Pending[lf - 1] == '\r';
        size_t end = endsWithCrLf ? lf - 1 : lf + 1;
        lines.push_back(m_Pending.substr(start, end - start));
        start = lf + 1;
    }
    m_Pending.erase(0, start);
    return lines;
}

}  // namespace scripted
