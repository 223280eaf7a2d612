#include "ExitStatus.h"

#include <stdio.h>

#include "IFtpClient.h"
#include "tools/common/FtpErrorText.h"

// A code the library does not define must not wrap into another status.
int ExitStatusForFtpError(int code) {
    if (code == FTPE_REFUSED) return kExitRefused;
    bool known = code >= FTPE_FILEERROR && code <= FTPE_NOMEMORY;
    return known ? kExitFtpErrorBase + code : kExitFailed;
}

int ReportFailure(int status, const std::string& text) {
    fprintf(stderr, "ftpcli: %s\n", text.c_str());
    return status;
}

int ReportFtpError(const std::string& what, int code) {
    return ReportFailure(ExitStatusForFtpError(code), what + ": " + DescribeFtpError(code));
}

int ReportLibraryFailure(const std::string& what, int code, const std::string& text,
                         const std::string& detail) {
    if (code == 0) return ReportFailure(kExitFailed, what + ": " + detail);
    return ReportFailure(ExitStatusForFtpError(code),
                         what + ": " + text + " (" + FtpErrorSymbol(code) + ")");
}
