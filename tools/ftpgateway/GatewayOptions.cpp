#include "GatewayOptions.h"

#include <stdlib.h>

namespace {

bool ParseWhole(const std::string& text, unsigned long long highest, unsigned long long* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 12) {
        return false;
    }
    *value = strtoull(text.c_str(), nullptr, 10);
    return *value <= highest;
}

// The gateway serves this machine only.
bool IsLoopback(const std::string& address) {
    return address.compare(0, 4, "127.") == 0 && address.find_first_not_of("0123456789.") ==
                                                      std::string::npos;
}

}  // namespace

std::string GatewayHelp() {
    return "usage: ftpgateway --server ADDR [OPTIONS]\n"
           "\n"
           "Serves the files of one FTP server over HTTP on a loopback address, read\n"
           "through the FTP client library's stream reading: GET and HEAD, single byte\n"
           "ranges, folder pages with links, and a player page for media files.\n"
           "Its client objects log in when it starts; the first and last MiB of the\n"
           "8 files read last (16 MiB at most) answer players' re-reads.\n"
           "\n"
           "  --server ADDR[|ADDR2]  the FTP server (IPv4; two addresses are raced)\n"
           "  --port N               its port (21)\n"
           "  --user NAME            account (ftp)\n"
           "  --password TEXT        password (default $FTPCLI_PASSWORD, else empty)\n"
           "  --tls                  FTP over TLS, explicit (AUTH TLS), required\n"
           "  --implicit-tls         FTP over TLS, implicit (often port 990)\n"
           "  --ca-file FILE         TLS: trust the authorities of this PEM file too\n"
           "  --pin-sha256 HEX       TLS: accept exactly the server certificate with\n"
           "                         this SHA-256\n"
           "  --block-size BYTES     SetBlockSize of every client object\n"
           "  --listen ADDR          HTTP address, in 127.0.0.0/8 (127.0.0.1)\n"
           "  --http-port N          HTTP port (8080; 0: a free one)\n"
           "  --port-file FILE       write the HTTP port there once listening\n"
           "  --clients N            client objects for reading files (3)\n"
           "  --max-ftp-connections N\n"
           "                         FTP control connections at most (8): 1 for sizes\n"
           "                         and listings, 2 per reading client object (the\n"
           "                         library may keep a spare one beside each); fewer\n"
           "                         client objects read when N cannot hold --clients.\n"
           "                         Keep it under the server's per-address limit\n"
           "                         (vsftpd max_per_ip, proftpd MaxClientsPerHost,\n"
           "                         pure-ftpd -C)\n"
           "  --min-rate KIB         a reader slower than this many KiB/s gives its\n"
           "                         client object up to a waiting request (256)\n"
           "  --max-connections N    HTTP connections served at once; more are\n"
           "                         answered 503 (64)\n"
           "  --size-seconds N       how long a file's size is kept (10)\n"
           "  --head-buffer          read a body that starts at 0 with a first piece\n"
           "                         of 64 KiB, which the library's head buffer serves\n"
           "                         after a pause of 100 ms; by default the first\n"
           "                         piece is 128 KiB, which it does not serve\n"
           "                         (--skip-head-buffer, kept for scripts)\n"
           "  --quiet                no line per request, errors only\n"
           "  --debug                the library's diagnostics on stderr\n"
           "  --help, --version\n"
           "\n"
           "Open http://127.0.0.1:8080/ in a browser, or give a player a file's URL.\n"
           "It needs the FTP client library 1.1 or later (version 2 of its interface).\n";
}

size_t ReadingClients(const GatewayOptions& options) {
    size_t allowed = (options.ftpConnections - 1) / kConnectionsPerClient;
    return options.clients < allowed ? options.clients : allowed;
}

bool ParseGatewayOptions(int argc, char** argv, GatewayOptions* o, std::string* error) {
    if (const char* password = getenv("FTPCLI_PASSWORD")) o->ftp.password = password;
    bool serverGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasInlineValue = false;
        size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            hasInlineValue = true;
        }
        auto takeValue = [&](std::string* into) {
            if (hasInlineValue) {
                *into = value;
                return true;
            }
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return false;
            }
            *into = argv[++i];
            return true;
        };
        auto takeNumber = [&](unsigned long long lowest, unsigned long long highest,
                              unsigned long long* number) {
            std::string text;
            if (!takeValue(&text)) return false;
            if (!ParseWhole(text, highest, number) || *number < lowest) {
                *error = name + ": " + text + " is not a whole number from " +
                         std::to_string(lowest) + " to " + std::to_string(highest);
                return false;
            }
            return true;
        };
        unsigned long long number = 0;
        if (name == "--help" || name == "-h") {
            o->showHelp = true;
        } else if (name == "--version") {
            o->showVersion = true;
        } else if (name == "--skip-head-buffer") {
            o->skipHeadBuffer = true;
        } else if (name == "--head-buffer") {
            o->skipHeadBuffer = false;
        } else if (name == "--quiet") {
            o->quiet = true;
        } else if (name == "--debug") {
            o->debug = true;
        } else if (name == "--server") {
            if (!takeValue(&o->ftp.server)) return false;
            serverGiven = true;
        } else if (name == "--port") {
            if (!takeNumber(1, 65535, &number)) return false;
            o->ftp.port = (unsigned short)number;
        } else if (name == "--user") {
            if (!takeValue(&o->ftp.user)) return false;
        } else if (name == "--password") {
            if (!takeValue(&o->ftp.password)) return false;
        } else if (name == "--tls") {
            o->ftp.tls.explicitTls = true;
        } else if (name == "--implicit-tls") {
            o->ftp.tls.implicitTls = true;
        } else if (name == "--ca-file") {
            if (!takeValue(&o->ftp.tls.caFile)) return false;
        } else if (name == "--pin-sha256") {
            if (!takeValue(&o->ftp.tls.pinSha256)) return false;
        } else if (name == "--block-size") {
            if (!takeNumber(1, 0xFFFFFFFFull, &number)) return false;
            o->ftp.blockSize = (unsigned int)number;
        } else if (name == "--listen") {
            if (!takeValue(&o->listenAddress)) return false;
            if (!IsLoopback(o->listenAddress)) {
                *error = "--listen: " + o->listenAddress + " is not an address in 127.0.0.0/8";
                return false;
            }
        } else if (name == "--http-port") {
            if (!takeNumber(0, 65535, &number)) return false;
            o->httpPort = (int)number;
        } else if (name == "--port-file") {
            if (!takeValue(&o->portFile)) return false;
        } else if (name == "--clients") {
            if (!takeNumber(1, 64, &number)) return false;
            o->clients = (size_t)number;
        } else if (name == "--max-ftp-connections") {
            if (!takeNumber(1 + kConnectionsPerClient, 1024, &number)) return false;
            o->ftpConnections = (size_t)number;
        } else if (name == "--min-rate") {
            if (!takeNumber(1, 1048576, &number)) return false;
            o->minimumRateKiB = (unsigned)number;
        } else if (name == "--max-connections") {
            if (!takeNumber(2, 1024, &number)) return false;
            o->connections = (size_t)number;
        } else if (name == "--size-seconds") {
            if (!takeNumber(0, 86400, &number)) return false;
            o->sizeSeconds = (int)number;
        } else {
            *error = "unknown option " + name;
            return false;
        }
    }
    if (!serverGiven && !o->showHelp && !o->showVersion) {
        *error = "--server is required";
        return false;
    }
    return true;
}
