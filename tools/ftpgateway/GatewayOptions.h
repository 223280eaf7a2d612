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
    size_t clients = 3;
    // FTP control connections at most: one for sizes and listings, and
    // kConnectionsPerClient for each reading client object.
    size_t ftpConnections = 8;
    size_t connections = 64;
    unsigned minimumRateKiB = 256;
    int sizeSeconds = 10;
    bool skipHeadBuffer = true;
    bool quiet = false;
    bool debug = false;
    bool showHelp = false;
    bool showVersion = false;
};

// A streaming client object may hold a second, spare control connection
// beside its own.
const size_t kConnectionsPerClient = 2;

// The reading client objects the caps allow: --clients, fewer when
// --max-ftp-connections cannot hold them all.
size_t ReadingClients(const GatewayOptions& options);

// False with *error set for a usage error.
bool ParseGatewayOptions(int argc, char** argv, GatewayOptions* options, std::string* error);
std::string GatewayHelp();
