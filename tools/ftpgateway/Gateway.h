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
#include "FileEnds.h"
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
    Gateway(ClientPool& pool, RemoteFiles& files, FileEnds& ends, Console& console,
            bool skipHeadBuffer)
        : m_Pool(pool),
          m_Files(files),
          m_Ends(ends),
          m_Console(console),
          m_bSkipHeadBuffer(skipHeadBuffer) {}

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
    // A client for the body of a request, waiting as long as a request may
    // (waits false: only one idle now, none taken from a slow reader).
    // size: the file's, 0 before it is known.
    std::unique_ptr<ClientLease> LeaseFor(const std::string& path, uint64_t size,
                                          uint64_t position, LeaseRefusal* refusal,
                                          bool waits = true);
    void RefuseLease(httplib::Response& response, LeaseRefusal refusal, const std::string& what);
    // The size of path; for a GET whose start does not hang on it, the
    // first piece is read meanwhile (into transfer).
    FileFacts SizeAndFirstRead(const httplib::Request& request, Transfer& transfer);
    // The piece at the body's offset (at most `want` bytes, at least
    // `needed` unless the file ends) from the kept ends of the file, else
    // read through the transfer's lease (taken first when it has none);
    // false with transfer.failure set when neither gives it.
    bool FetchPiece(Transfer& transfer, uint64_t offset, uint32_t want, uint32_t needed);
    // A read through the transfer's lease at the file's position, with a
    // new lease when it has none or its client went to a waiting request.
    ReadResult ReadThroughLease(Transfer& transfer, uint64_t position, uint32_t want);
    // What a read at the body's offset gave, as the piece to send; false
    // with transfer.failure set when it gave too little.
    bool TakeRead(Transfer& transfer, uint64_t offset, const ReadResult& read, uint32_t needed);
    // The body's bytes from offset on, as httplib asks for them.
    bool SendFrom(Transfer& transfer, size_t offset, httplib::DataSink& sink);

    ClientPool& m_Pool;
    RemoteFiles& m_Files;
    FileEnds& m_Ends;
    Console& m_Console;
    const bool m_bSkipHeadBuffer;
    std::string m_Address = "127.0.0.1";
    int m_nPort = 0;
};
