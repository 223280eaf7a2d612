// The words the hosts of the tools use for the library's error codes.
#pragma once

#include <string>

// "login failed (FTPE_LOGINFAIL)"; 0 as a failure without a notice, other
// codes outside 1..9 named by number.
std::string DescribeFtpError(int code);
// "FTPE_LOGINFAIL"; "code N" for a code outside 1..9.
std::string FtpErrorSymbol(int code);
