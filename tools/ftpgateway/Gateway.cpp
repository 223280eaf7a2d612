#include "Gateway.h"

#include <httplib.h>
#include <stdio.h>

#include <memory>
#include <vector>

#include "ByteRange.h"
#include "MediaTypes.h"
#include "Pages.h"

namespace {

// The piece one ReadStream call asks for, as a player's read would.
const uint32_t kPiece = 65536;
// A read at 0 of up to 64 KiB is served from the library's head buffer once
// it holds the file's start, with a pause of 100 ms; a longer one is not.
const uint32_t kPastHeadPiece = 2 * kPiece;
// The library's text fields hold 259 characters.
const size_t kLongestPath = 259;
// A request that finds every client busy waits this long for one.
const std::chrono::seconds kLeaseLimit(30);

bool IsUsablePath(const std::string& path) {
    return !path.empty() && path[0] == '/' && path.size() <= kLongestPath &&
           path.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

std::string Milliseconds(double ms) {
    char text[32];
    snprintf(text, sizeof text, "%.1f ms", ms);
    return text;
}

// One body on its way: the lease, and the piece read last.
struct Transfer {
    std::unique_ptr<ClientLease> lease;
    std::string path;
    std::string what;
    uint64_t first = 0;
    uint64_t length = 0;
    std::vector<unsigned char> piece;
    uint64_t pieceStart = 0;  // offset in the body
    uint32_t pieceLength = 0;
    uint64_t sent = 0;
    std::string failure;
    std::chrono::steady_clock::time_point start;
};

}  // namespace

void Gateway::Install(httplib::Server& server) {
    server.Get(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
        Handle(request, response);
    });
}

void Gateway::Refuse(httplib::Response& response, int status, const std::string& title,
                     const std::string& detail, const std::string& what) {
    response.status = status;
    response.set_content(MessagePage(status, title, detail), "text/html; charset=utf-8");
    std::string line = what + " -> " + std::to_string(status) + " " + title;
    if (!detail.empty()) line += ": " + detail;
    if (status >= 500) {
        m_Console.Error(line);
    } else {
        m_Console.Progress(line);
    }
}

void Gateway::Handle(const httplib::Request& request, httplib::Response& response) {
    // httplib applies a Range header to whatever body the handler leaves; the
    // handler has applied it already, so httplib must not do it again.
    const_cast<httplib::Request&>(request).ranges.clear();
    std::string what = request.method + " " + request.path;
    if (request.has_header("Range")) what += " " + request.get_header_value("Range");
    if (!IsUsablePath(request.path)) {
        Refuse(response, 400, "Bad Request", "not a path the FTP client library takes", what);
        return;
    }
    if (request.path.back() == '/') {
        ServeFolder(request, response, request.path, what);
    } else if (request.has_param("play")) {
        response.set_content(PlayerPage(request.path), "text/html; charset=utf-8");
        m_Console.Progress(what + " -> 200 player page");
    } else {
        ServeFile(request, response, request.path, what);
    }
}

void Gateway::ServeFolder(const httplib::Request& request, httplib::Response& response,
                          const std::string& folder, const std::string& what) {
    std::string pattern = request.has_param("pattern") ? request.get_param_value("pattern") : "";
    if (pattern.find_first_of("/\r\n") != std::string::npos ||
        folder.size() + pattern.size() >= kLongestPath) {
        Refuse(response, 400, "Bad Request", "not a pattern the FTP client library takes", what);
        return;
    }
    int ftpError = 0;
    std::string text = m_Pool.List(folder, pattern, &ftpError);
    if (ftpError != 0) {
        Refuse(response, 502, "Bad Gateway", "listing " + folder + ": " + DescribeFtpError(ftpError),
               what);
        return;
    }
    Listing listing = ParseListing(text);
    response.set_content(FolderPage(folder, pattern, listing), "text/html; charset=utf-8");
    m_Console.Progress(what + " -> 200 folder page, " + std::to_string(listing.entries.size()) +
                       " entries" + (listing.cut ? " (listing cut at 259 characters)" : ""));
}

void Gateway::ServeFile(const httplib::Request& request, httplib::Response& response,
                        const std::string& path, const std::string& what) {
    FileFacts facts = m_Files.Describe(path);
    switch (facts.kind) {
    case FileFacts::kServerFailed:
        Refuse(response, 502, "Bad Gateway", "size of " + path + ": " + DescribeFtpError(facts.ftpError),
               what);
        return;
    case FileFacts::kUnknownEnd:
        Refuse(response, 501, "Not Implemented",
               path + " is 2 GiB or larger and its end could not be confirmed below 4 GiB, the "
                      "most the FTP client library reads",
               what);
        return;
    case FileFacts::kMissing: {
        // A folder named without its slash: its listing has something in it.
        int ftpError = 0;
        std::string listing = m_Pool.List(path + "/", "", &ftpError);
        if (ftpError == 0 && !ParseListing(listing).entries.empty()) {
            response.status = 301;
            response.set_header("Location", EncodePath(path + "/"));
            m_Console.Progress(what + " -> 301 folder");
            return;
        }
        Refuse(response, 404, "Not Found", "the FTP server has no file " + path, what);
        return;
    }
    case FileFacts::kFile: break;
    }

    const uint64_t size = facts.size;
    const std::string contentType = ContentTypeOf(path);
    ByteRange range = JudgeRange(request.get_header_value("Range"), size);
    response.set_header("Accept-Ranges", "bytes");
    if (range.kind == ByteRange::kUnsatisfiable) {
        response.status = 416;
        response.set_header("Content-Range", ContentRangeOf(range, size));
        m_Console.Progress(what + " -> 416 (size " + std::to_string(size) + ")");
        return;
    }
    uint64_t first = range.kind == ByteRange::kPart ? range.first : 0;
    uint64_t length = range.kind == ByteRange::kPart ? range.Length() : size;
    response.status = range.kind == ByteRange::kPart ? 206 : 200;
    if (range.kind == ByteRange::kPart) {
        response.set_header("Content-Range", ContentRangeOf(range, size));
    }
    std::string answer = what + " -> " + std::to_string(response.status);
    if (range.kind == ByteRange::kPart) answer += " " + ContentRangeOf(range, size);
    if (length == 0) {
        response.set_content("", contentType);
        m_Console.Progress(answer + ", empty");
        return;
    }
    if (request.method == "HEAD") {
        // The body is never asked for; the length goes into the header.
        response.set_content_provider(
            (size_t)length, contentType,
            [](size_t, size_t, httplib::DataSink&) { return false; });
        m_Console.Progress(answer + ", " + std::to_string(length) + " bytes");
        return;
    }

    auto transfer = std::make_shared<Transfer>();
    transfer->start = std::chrono::steady_clock::now();
    transfer->path = path;
    transfer->what = answer;
    transfer->first = first;
    transfer->length = length;
    transfer->lease = m_Pool.Lease(path, first, kLeaseLimit);
    if (!transfer->lease) {
        response.set_header("Retry-After", "2");
        Refuse(response, 503, "Service Unavailable",
               "every FTP client object stayed busy for " + std::to_string(kLeaseLimit.count()) + " s",
               what);
        return;
    }
    // The first piece is read before the status goes out, so that a server
    // that fails at once is answered 502 rather than with a cut body.
    transfer->piece.resize(kPastHeadPiece);
    uint32_t firstPiece = m_bSkipHeadBuffer && first == 0 ? kPastHeadPiece : kPiece;
    uint32_t wanted = (uint32_t)std::min<uint64_t>(firstPiece, length);
    ReadResult read = transfer->lease->Read(path, first, transfer->piece.data(), wanted);
    if (!read.succeeded || read.got != wanted) {
        std::string detail =
            !read.succeeded ? "reading " + path + " at " + std::to_string(first) + ": " +
                                  DescribeFtpError(read.ftpError)
                            : path + " ended at " + std::to_string(first + read.got) +
                                  ", before the size the server gave (" + std::to_string(size) + ")";
        transfer->lease.reset();
        Refuse(response, 502, "Bad Gateway", detail, what);
        return;
    }
    transfer->pieceLength = read.got;

    Console& console = m_Console;
    auto provider = [transfer](size_t offset, size_t, httplib::DataSink& sink) {
        Transfer& t = *transfer;
        if (offset < t.pieceStart || offset >= t.pieceStart + t.pieceLength) {
            uint32_t want = (uint32_t)std::min<uint64_t>(kPiece, t.length - offset);
            ReadResult next = t.lease->Read(t.path, t.first + offset, t.piece.data(), want);
            // A short read before the end the size promised would leave the
            // body short of its Content-Length: the connection is cut instead,
            // so the client cannot take it for the whole.
            if (!next.succeeded || next.got != want) {
                t.failure = !next.succeeded
                                ? "read at " + std::to_string(t.first + offset) + " failed: " +
                                      DescribeFtpError(next.ftpError)
                                : "the file ended at " + std::to_string(t.first + offset + next.got) +
                                      ", before its size";
                return false;
            }
            t.pieceStart = offset;
            t.pieceLength = next.got;
        }
        size_t from = offset - (size_t)t.pieceStart;
        size_t count = t.pieceLength - from;
        if (!sink.write((const char*)t.piece.data() + from, count)) return false;
        t.sent += count;
        return true;
    };
    auto releaser = [transfer, &console](bool) {
        Transfer& t = *transfer;
        std::string line = t.what + ", " + std::to_string(t.sent) + " of " +
                           std::to_string(t.length) + " bytes in " +
                           Milliseconds(MillisecondsSince(t.start)) + ", client " +
                           std::to_string(t.lease->Number()) + " (" +
                           DescribeChoice(t.lease->Choice()) + ", " +
                           std::to_string(t.lease->Restarts()) + " seeks)";
        if (!t.failure.empty()) {
            console.Error(line + "; " + t.failure + ": connection cut");
        } else if (t.sent < t.length) {
            console.Progress(line + "; the client went away");
        } else {
            console.Progress(line);
        }
        t.lease.reset();
    };
    response.set_content_provider((size_t)length, contentType, provider, releaser);
}
