#include "Console.h"

#include <stdio.h>

#include "IFtpClient.h"

void Console::Write(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    fprintf(stderr, "ftpgateway: %s\n", line.c_str());
    fflush(stderr);
}

void Console::Progress(const std::string& line) {
    if (!m_bQuiet) Write(line);
}

void Console::Error(const std::string& line) {
    Write(line);
}
