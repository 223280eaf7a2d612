// The gateway's lines on stderr, in the form of the other tools:
// "ftpgateway: what happened". Requests are logged one line each when they
// end (unless quiet); errors always.
#pragma once

#include <mutex>
#include <string>

#include "tools/common/FtpErrorText.h"

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
