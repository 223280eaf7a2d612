#include "Console.h"

#include <stdio.h>

#include "IFtpClient.h"

namespace {

struct FtpErrorName {
    int code;
    const char* symbol;
    const char* words;
};

const FtpErrorName kFtpErrorNames[] = {
    {FTPE_FILEERROR, "FTPE_FILEERROR", "local file error"},
    {FTPE_NOTCONNECT, "FTPE_NOTCONNECT", "not connected"},
    {FTPE_LOGINFAIL, "FTPE_LOGINFAIL", "login failed"},
    {FTPE_TIMEOUT, "FTPE_TIMEOUT", "time-out"},
    {FTPE_SOCKETERROR, "FTPE_SOCKETERROR", "socket error"},
    {FTPE_BADREPLY, "FTPE_BADREPLY", "bad reply from the server"},
    {FTPE_TRANSFERFAIL, "FTPE_TRANSFERFAIL", "transfer failed"},
    {FTPE_NOMEMORY, "FTPE_NOMEMORY", "out of memory"},
};

}  // namespace

std::string DescribeFtpError(int code) {
    for (const FtpErrorName& name : kFtpErrorNames) {
        if (name.code == code) return std::string(name.words) + " (" + name.symbol + ")";
    }
    if (code == 0) return "failed without a notice from the library";
    return "unknown error code " + std::to_string(code);
}

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
