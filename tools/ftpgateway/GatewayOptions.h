// The command line of ftpgateway.
#pragma once

#include <stddef.h>

#include <string>

#include "ClientPool.h"

struct GatewayOptions {
    ConnectionSettings ftp;
    std::string listenAddress = "127.0.0.1";
    int httpPort = 8080;  // 0: any free port (see portFile)
    std::string portFile;
    size_t clients = 4;
    size_t connections = 64;
    unsigned minimumRateKiB = 256;
    int sizeSeconds = 10;
    bool skipHeadBuffer = false;
    bool quiet = false;
    bool debug = false;
    bool showHelp = false;
    bool showVersion = false;
};

// False with *error set for a usage error.
bool ParseGatewayOptions(int argc, char** argv, GatewayOptions* options, std::string* error);
std::string GatewayHelp();
