#include "tools/common/FtpErrorText.h"

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
    {FTPE_REFUSED, "FTPE_REFUSED", "refused by the library"},
};

}  // namespace

std::string FtpErrorSymbol(int code) {
    for (const FtpErrorName& name : kFtpErrorNames) {
        if (name.code == code) return name.symbol;
    }
    return "code " + std::to_string(code);
}

std::string DescribeFtpError(int code) {
    for (const FtpErrorName& name : kFtpErrorNames) {
        if (name.code == code) return std::string(name.words) + " (" + name.symbol + ")";
    }
    if (code == 0) return "failed without a notice from the library";
    return "unknown error code " + std::to_string(code);
}
