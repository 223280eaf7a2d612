// What one command line asks for: a command with its arguments, and the
// settings handed to the client object before the command runs. Settings
// the user did not give stay unset, so the library keeps its own defaults.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/common/TlsChoice.h"

struct Options {
    std::string command;
    std::vector<std::string> arguments;

    // SetConnectParameter
    std::string server;  // one address, or two joined by "|"
    unsigned short port = 21;
    std::string user = "ftp";
    std::string password;
    std::string localAddress;
    bool overwrite = false;
    bool append = false;
    unsigned char extraFlag = 1;  // the library's own default
    TlsChoice tls;                // the scheme before the address, the trust

    // The other setters, called only when given.
    std::optional<double> rateMbps;
    std::optional<unsigned> blockSize;
    std::optional<int> streamMode;
    std::optional<int> bufferingMode;

    // The tool itself.
    unsigned timeoutSeconds = 600;  // upload / download: the wait for completion
    std::string verifyCopy;         // read / play: compare with this local file
    bool debug = false;
    bool quiet = false;     // no progress display even on a terminal
    bool showHelp = false;  // help on command, or on the tool when empty
    bool showVersion = false;
};
