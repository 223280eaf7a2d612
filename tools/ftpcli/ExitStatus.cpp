#include "ExitStatus.h"

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

// A code the library does not define must not wrap into another status.
int ExitStatusForFtpError(int code) {
    bool known = code >= FTPE_FILEERROR && code <= FTPE_NOMEMORY;
    return known ? kExitFtpErrorBase + code : kExitFailed;
}

std::string DescribeFtpError(int code) {
    for (const FtpErrorName& name : kFtpErrorNames) {
        if (name.code == code) return std::string(name.words) + " (" + name.symbol + ")";
    }
    return "unknown error code " + std::to_string(code);
}

int ReportFailure(int status, const std::string& text) {
    fprintf(stderr, "ftpcli: %s\n", text.c_str());
    return status;
}

int ReportFtpError(const std::string& what, int code) {
    return ReportFailure(ExitStatusForFtpError(code), what + ": " + DescribeFtpError(code));
}

int ReportOperationFailure(const std::string& what, int ftpErrorCode, const std::string& detail) {
    if (ftpErrorCode != 0) return ReportFtpError(what, ftpErrorCode);
    return ReportFailure(kExitFailed, what + ": " + detail);
}
