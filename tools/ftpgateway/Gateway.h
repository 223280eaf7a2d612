// The HTTP side: GET and HEAD of files (whole, or one byte range) and of
// folders (an HTML listing), answered from the FTP server through the
// client pool.
//
// Every web page the person opens can send requests to a loopback address,
// so the gateway answers only requests whose Host header names it (a page
// whose own name was made to resolve to 127.0.0.1 sends that name), sends
// no CORS headers, and builds links and redirects only from a path with
// single slashes and no "." or ".." segments.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "ClientPool.h"
#include "Console.h"
#include "RemoteFiles.h"

namespace httplib {
class Server;
struct Request;
struct Response;
class DataSink;
}  // namespace httplib

struct Transfer;

// The path of a request as the gateway uses it: runs of "/" made one, false
// for a path with a "." or ".." segment.
bool CleanPath(const std::string& raw, std::string* path);

class Gateway {
public:
    Gateway(ClientPool& pool, RemoteFiles& files, Console& console, bool skipHeadBuffer)
        : m_Pool(pool), m_Files(files), m_Console(console), m_bSkipHeadBuffer(skipHeadBuffer) {}

    // The address and port the server listens on, for the Host check.
    void SetAddress(const std::string& address, int port);
    void Install(httplib::Server& server);

private:
    bool HostAllowed(const httplib::Request& request) const;
    void Handle(const httplib::Request& request, httplib::Response& response);
    void ServeFolder(const httplib::Request& request, httplib::Response& response,
                     const std::string& folder, const std::string& what);
    void ServeFile(const httplib::Request& request, httplib::Response& response,
                   const std::string& path, const std::string& what);
    void Refuse(httplib::Response& response, int status, const std::string& title,
                const std::string& detail, const std::string& what);
    // A client for the body of a request, waiting as long as a request may.
    std::unique_ptr<ClientLease> LeaseFor(const std::string& path, uint64_t position,
                                          LeaseRefusal* refusal);
    void RefuseLease(httplib::Response& response, LeaseRefusal refusal, const std::string& what);
    // The body's bytes from offset on, as httplib asks for them.
    bool SendFrom(Transfer& transfer, size_t offset, httplib::DataSink& sink);

    ClientPool& m_Pool;
    RemoteFiles& m_Files;
    Console& m_Console;
    const bool m_bSkipHeadBuffer;
    std::string m_Address = "127.0.0.1";
    int m_nPort = 0;
};
