// Turns the bytes a client sends on the control connection into command
// lines, however the client's segments cut them. A line ends at LF; a CR
// right before it is dropped. A line ended by a bare LF keeps its "\n" so a
// test can see that the client did not send CRLF (several real servers do
// not end a line at a bare LF).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace scripted {

class LineSplitter {
public:
    // The lines completed by these bytes, in order.
    std::vector<std::string> Feed(const char* data, size_t length);
    // Text received after the last line end.
    const std::string& Unterminated() const { return m_Pending; }

private:
    std::string m_Pending;
};

}  // namespace scripted
