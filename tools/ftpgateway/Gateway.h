// The HTTP side: GET and HEAD of files (whole, or one byte range) and of
// folders (an HTML listing), answered from the FTP server through the
// client pool.
#pragma once

#include <chrono>
#include <string>

#include "ClientPool.h"
#include "Console.h"
#include "RemoteFiles.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

class Gateway {
public:
    Gateway(ClientPool& pool, RemoteFiles& files, Console& console, bool skipHeadBuffer)
        : m_Pool(pool), m_Files(files), m_Console(console), m_bSkipHeadBuffer(skipHeadBuffer) {}

    void Install(httplib::Server& server);

private:
    void Handle(const httplib::Request& request, httplib::Response& response);
    void ServeFolder(const httplib::Request& request, httplib::Response& response,
                     const std::string& folder, const std::string& what);
    void ServeFile(const httplib::Request& request, httplib::Response& response,
                   const std::string& path, const std::string& what);
    void Refuse(httplib::Response& response, int status, const std::string& title,
                const std::string& detail, const std::string& what);

    ClientPool& m_Pool;
    RemoteFiles& m_Files;
    Console& m_Console;
    const bool m_bSkipHeadBuffer;
};
