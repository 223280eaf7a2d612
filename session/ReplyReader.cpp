#include "session/ReplyReader.h"

#include <string.h>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The code a line starts with, and what follows it: ' ' for a final line
// (or the line's end), '-' for the first line of a multi-line reply.
// 0 when the line starts with no reply code.
int LineCode(const char* line, size_t length, char* mark) {
    if (length < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return 0;
    int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    if (code < 100 || code > 599) return 0;
    *mark = length == 3 ? ' ' : line[3];
    return code;
}

}  // namespace

CReplyReader::CReplyReader() : m_nLineLength(0), m_nMultiLineCode(0) {
    m_szLine[0] = '\0';
}

void CReplyReader::Clear() {
    m_Waiting.clear();
    m_szLine[0] = '\0';
    m_nLineLength = 0;
    m_nMultiLineCode = 0;
}

void CReplyReader::Append(const char* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char byte = bytes[i];
        if (byte == '\n') {
            EndLine();
            continue;
        }
        if (byte == '\0') continue;  // the control connection's padding, no character
        if (m_nLineLength < kTextFieldSize - 1) m_szLine[m_nLineLength] = byte;
        ++m_nLineLength;
    }
}

bool CReplyReader::Next(FtpReply* reply) {
    if (m_Waiting.empty()) return false;
    *reply = m_Waiting.front();
    m_Waiting.pop_front();
    return true;
}

// A line of text without a code outside a multi-line reply belongs to no
// reply and is passed over.
void CReplyReader::EndLine() {
    size_t kept = m_nLineLength < kTextFieldSize - 1 ? m_nLineLength : kTextFieldSize - 1;
    if (kept > 0 && m_nLineLength == kept && m_szLine[kept - 1] == '\r') --kept;
    m_szLine[kept] = '\0';
    m_nLineLength = 0;
    char mark = 0;
    int code = LineCode(m_szLine, kept, &mark);
    if (m_nMultiLineCode != 0) {
        if (code != m_nMultiLineCode || mark != ' ') return;
    } else if (code != 0 && mark == '-') {
        m_nMultiLineCode = code;
        return;
    } else if (code == 0 || mark != ' ') {
        return;
    }
    m_nMultiLineCode = 0;
    if (m_Waiting.size() == kMaxWaitingReplies) m_Waiting.pop_front();
    FtpReply complete;
    complete.code = code;
    memcpy(complete.text, m_szLine, kept + 1);
    m_Waiting.push_back(complete);
}
