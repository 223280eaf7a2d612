// The tool's exit statuses, one per kind of failure, and the words for the
// library's error codes. docs/ftpcli.md carries the same table for users.
#pragma once

#include <string>

#include "tools/common/FtpErrorText.h"

enum ExitStatus {
    kExitOk = 0,
    kExitFailed = 1,         // the operation failed and no error notice said why
    kExitUsage = 2,          // bad command line
    kExitRefused = 3,        // the library refused a call at once (setting, start)
    kExitMismatch = 4,       // a read differs from the local copy or from the file's size
    kExitLocalFile = 5,      // the tool could not read or write a local file itself
    kExitTimedOut = 6,       // no completion notice within --timeout
    kExitSetupFailed = 7,    // no client object or no message window
    kExitFtpErrorBase = 10,  // + the library's FTPE_ code (GetLastErrorCode, or a
                             // transfer's WM_FTP_ERROR notice): 11..18
    kExitInterrupted = 130,  // Ctrl-C
};

int ExitStatusForFtpError(int code);

// Writes "ftpcli: text" to stderr and returns status, so a failing path
// reads "return ReportFailure(kExitX, ...)".
int ReportFailure(int status, const std::string& text);

// The failure of what (e.g. "size /a.bin") named by the library's code.
int ReportFtpError(const std::string& what, int code);

// A failed synchronous call, as the library tells it on the calling thread
// (GetLastErrorCode, GetLastErrorText): "what: text (FTPE_X)" with the
// code's status; a code of 0 (the server answered, with nothing to give)
// is detail, with status kExitFailed.
int ReportLibraryFailure(const std::string& what, int code, const std::string& text,
                         const std::string& detail);
