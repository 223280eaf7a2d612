// The gateway's lines on stderr, in the form of the other tools:
// "ftpgateway: what happened". Requests are logged one line each when they
// end (unless quiet); errors always. A line carries what clients sent (the
// decoded path, the Range header) and what servers said, so control
// characters, invalid UTF-8 and backslashes are written escaped ("\r",
// "\x1b", "\\"): no client can end a line or talk to the terminal.
#pragma once

#include <mutex>
#include <string>

#include "tools/common/FtpErrorText.h"

// text with every byte a terminal could act on written as an escape.
std::string EscapeForConsole(const std::string& text);

class Console {
public:
    explicit Console(bool quiet) : m_bQuiet(quiet) {}

    void Progress(const std::string& line);
    void Error(const std::string& line);

private:
    void Write(const std::string& line);

    const bool m_bQuiet;
    std::mutex m_Mutex;
};
