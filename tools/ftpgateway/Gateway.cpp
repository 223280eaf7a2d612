#include "Gateway.h"

#include <ctype.h>
#include <httplib.h>
#include <stdio.h>

#include <exception>
#include <future>
#include <vector>

#include "ByteRange.h"
#include "GatewayServer.h"
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

std::string Lowercase(std::string text) {
    for (char& c : text) c = (char)tolower((unsigned char)c);
    return text;
}

// "GET /path bytes=0-" for the console.
std::string Describe(const httplib::Request& request) {
    std::string what = request.method + " " + request.path;
    if (request.has_header("Range")) what += " " + request.get_header_value("Range");
    return what;
}

}  // namespace

// One body on its way: the lease, and the piece read or copied last.
struct Transfer {
    std::unique_ptr<ClientLease> lease;  // none while the kept ends serve it
    std::string path;
    std::string what;
    uint64_t size = 0;  // the file's
    uint64_t first = 0;
    uint64_t length = 0;
    std::vector<unsigned char> piece;
    uint64_t pieceStart = 0;  // offset in the body
    uint32_t pieceLength = 0;
    uint64_t sent = 0;
    uint64_t kept = 0;   // bytes that came from the kept ends of the file
    bool leased = false;  // it has had a lease
    bool taken = false;  // its first client was taken from a slow reader
    int lost = 0;        // times its client went to a waiting request
    LeaseRefusal refusal = LeaseRefusal::kNone;  // why the pool gave no client
    std::string failure;
    // The first piece, when it was read while the size was asked.
    bool readEarly = false;
    uint64_t earlyAt = 0;
    uint32_t earlyWant = 0;
    ReadResult early;
    std::chrono::steady_clock::time_point start;
};

bool CleanPath(const std::string& raw, std::string* path) {
    path->clear();
    for (char c : raw) {
        if (c != '/' || path->empty() || path->back() != '/') *path += c;
    }
    size_t begin = 0;
    while (begin < path->size()) {
        size_t end = path->find('/', begin);
        if (end == std::string::npos) end = path->size();
        std::string segment = path->substr(begin, end - begin);
        if (segment == "." || segment == "..") return false;
        begin = end + 1;
    }
    return true;
}

void Gateway::SetAddress(const std::string& address, int port) {
    m_Address = address;
    m_nPort = port;
}

bool Gateway::HostAllowed(const httplib::Request& request) const {
    if (request.get_header_value_count("Host") != 1) return false;
    std::string host = Lowercase(request.get_header_value("Host"));
    std::string port = ":" + std::to_string(m_nPort);
    for (const std::string& name : {m_Address, std::string("localhost"), std::string("127.0.0.1")}) {
        if (host == name + port || (m_nPort == 80 && host == name)) return true;
    }
    return false;
}

void Gateway::Install(httplib::Server& server) {
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        if (HostAllowed(request)) return httplib::Server::HandlerResponse::Unhandled;
        Refuse(response, 403, "Forbidden",
               "the Host header (" + request.get_header_value("Host") +
                   ") does not name this gateway",
               Describe(request));
        return httplib::Server::HandlerResponse::Handled;
    });
    // Any path, CR and LF too: the handler refuses what it cannot take.
    server.Get(R"(/[\s\S]*)", [this](const httplib::Request& request, httplib::Response& response) {
        Handle(request, response);
    });
    server.set_exception_handler(
        [this](const httplib::Request& request, httplib::Response& response, std::exception_ptr error) {
            std::string detail = "unknown failure";
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& exception) {
                detail = exception.what();
            } catch (...) {
            }
            Refuse(response, 500, "Internal Server Error", detail, Describe(request));
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
    std::string what = Describe(request);
    // Nothing is built from the path as it came: "//host/..." would make a
    // link or a redirect to another site.
    std::string path;
    if (!CleanPath(request.path, &path)) {
        Refuse(response, 400, "Bad Request", "a path with a \".\" or \"..\" segment", what);
        return;
    }
    if (!IsUsablePath(path)) {
        Refuse(response, 400, "Bad Request", "not a path the FTP client library takes", what);
        return;
    }
    if (path.back() == '/') {
        ServeFolder(request, response, path, what);
    } else if (request.has_param("play")) {
        response.set_content(PlayerPage(path), "text/html; charset=utf-8");
        m_Console.Progress(what + " -> 200 player page");
    } else {
        ServeFile(request, response, path, what);
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
    std::optional<std::string> text = m_Pool.List(folder, pattern, &ftpError);
    if (ftpError != 0) {
        Refuse(response, 502, "Bad Gateway", "listing " + folder + ": " + DescribeFtpError(ftpError),
               what);
        return;
    }
    // No listing is a refusal, not an empty folder.
    if (!text) {
        Refuse(response, 502, "Bad Gateway",
               "the FTP client library returned no listing of " + folder +
                   (pattern.empty() ? "" : " for the pattern " + pattern),
               what);
        return;
    }
    Listing listing = ParseListing(*text);
    response.set_content(FolderPage(folder, pattern, listing), "text/html; charset=utf-8");
    m_Console.Progress(what + " -> 200 folder page, " + std::to_string(listing.entries.size()) +
                       " entries");
}

FileFacts Gateway::SizeAndFirstRead(const httplib::Request& request, Transfer& t) {
    if (std::optional<FileFacts> known = m_Files.Known(t.path)) return *known;
    uint64_t first = 0;
    uint64_t last = 0;
    if (request.method == "HEAD" ||
        !StartBeforeSize(request.get_header_value("Range"), &first, &last)) {
        return m_Files.Describe(t.path);
    }
    std::future<FileFacts> sizing =
        std::async(std::launch::async, [this, &t] { return m_Files.Describe(t.path); });
    // Only with a client idle now: a missing file, a range past the end or a
    // failed size is answered as soon as the size is, not after a wait for a
    // client; without one the body is read after the size.
    LeaseRefusal refusal = LeaseRefusal::kNone;
    t.lease = LeaseFor(t.path, 0, first, &refusal, false);
    if (!t.lease) return sizing.get();
    t.leased = true;
    t.earlyAt = first;
    t.earlyWant = m_bSkipHeadBuffer && first == 0
                      ? kPastHeadPiece
                      : (uint32_t)std::min<uint64_t>(kPiece, last - first + 1);
    t.early = t.lease->Read(t.path, first, t.piece.data(), t.earlyWant);
    // Lost to a waiting request before it read: read after the size.
    if (t.early.lost) {
        t.lease.reset();
    } else {
        t.readEarly = true;
    }
    return sizing.get();
}

void Gateway::ServeFile(const httplib::Request& request, httplib::Response& response,
                        const std::string& path, const std::string& what) {
    auto transfer = std::make_shared<Transfer>();
    transfer->start = std::chrono::steady_clock::now();
    transfer->path = path;
    transfer->piece.resize(kPastHeadPiece);
    FileFacts facts = SizeAndFirstRead(request, *transfer);
    if (facts.kind != FileFacts::kFile) transfer->lease.reset();
    switch (facts.kind) {
    case FileFacts::kServerFailed:
        Refuse(response, 502, "Bad Gateway", "size of " + path + ": " + DescribeFtpError(facts.ftpError),
               what);
        return;
    case FileFacts::kMissing: {
        // A folder named without its slash: its listing has something in it.
        int ftpError = 0;
        std::optional<std::string> listing = m_Pool.List(path + "/", "", &ftpError);
        if (ftpError == 0 && listing && !ParseListing(*listing).entries.empty()) {
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

    transfer->what = answer;
    transfer->size = size;
    transfer->first = first;
    transfer->length = length;
    // The first piece is had before the status goes out, so that a server
    // that fails at once is answered 502 rather than with a cut body. At 0
    // it is longer than the library's head buffer serves, so no read waits
    // for its pause.
    uint32_t want = m_bSkipHeadBuffer && first == 0
                        ? (uint32_t)std::min<uint64_t>(kPastHeadPiece, size)
                        : (uint32_t)std::min<uint64_t>(kPiece, length);
    uint32_t needed = (uint32_t)std::min<uint64_t>(want, length);
    bool fetched = transfer->readEarly && transfer->earlyAt == first
                       ? TakeRead(*transfer, 0, transfer->early,
                                  (uint32_t)std::min<uint64_t>(transfer->earlyWant, length))
                       : FetchPiece(*transfer, 0, want, needed);
    if (!fetched) {
        transfer->lease.reset();
        if (transfer->refusal != LeaseRefusal::kNone) {
            RefuseLease(response, transfer->refusal, what);
        } else {
            Refuse(response, 502, "Bad Gateway", path + ": " + transfer->failure, what);
        }
        return;
    }

    Console& console = m_Console;
    auto provider = [this, transfer](size_t offset, size_t, httplib::DataSink& sink) {
        return SendFrom(*transfer, offset, sink);
    };
    auto releaser = [transfer, &console](bool) {
        Transfer& t = *transfer;
        std::string line = t.what + ", " + std::to_string(t.sent) + " of " +
                           std::to_string(t.length) + " bytes in " +
                           Milliseconds(MillisecondsSince(t.start));
        if (t.kept > 0) line += ", " + std::to_string(t.kept) + " from the kept ends of the file";
        if (t.lease) {
            line += ", client " + std::to_string(t.lease->Number()) + " (" +
                    DescribeChoice(t.lease->Choice()) +
                    (t.taken ? ", taken from a slow reader, " : ", ") +
                    std::to_string(t.lease->Restarts()) + " seeks)";
        }
        if (t.lost > 0) {
            line += "; gave its client object up " + std::to_string(t.lost) +
                    (t.lost == 1 ? " time" : " times") + " to a waiting request";
        }
        if (!t.failure.empty()) {
            console.Error(line + "; " + t.failure + ": connection cut");
        } else if (t.sent < t.length) {
            console.Progress(line + "; the client went away");
            if (t.lease) t.lease->Abandon();
        } else {
            console.Progress(line);
        }
        t.lease.reset();
    };
    response.set_content_provider((size_t)length, contentType, provider, releaser);
}

std::unique_ptr<ClientLease> Gateway::LeaseFor(const std::string& path, uint64_t size,
                                               uint64_t position, LeaseRefusal* refusal,
                                               bool waits) {
    LeaseWish wish;
    wish.path = path;
    wish.size = size;
    wish.position = position;
    wish.limit = waits ? std::chrono::milliseconds(kLeaseLimit) : std::chrono::milliseconds(0);
    wish.takes = waits;
    wish.gone = &GatewayServer::ClientGone;
    return m_Pool.Lease(wish, refusal);
}

void Gateway::RefuseLease(httplib::Response& response, LeaseRefusal refusal,
                          const std::string& what) {
    response.set_header("Retry-After", "2");
    if (refusal == LeaseRefusal::kClientGone) {
        // Nobody reads the answer; nothing was read for it.
        response.status = 503;
        m_Console.Progress(what + " -> dropped: the client went away while it waited for an FTP "
                                  "client object");
        return;
    }
    std::string detail = DescribeRefusal(refusal);
    if (refusal == LeaseRefusal::kTimedOut) {
        detail += " for " + std::to_string(kLeaseLimit.count()) + " s";
    }
    Refuse(response, 503, "Service Unavailable", detail, what);
}

ReadResult Gateway::ReadThroughLease(Transfer& t, uint64_t position, uint32_t want) {
    ReadResult result;
    // A client that went to a waiting request is asked for once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!t.lease) {
            t.lease = LeaseFor(t.path, t.size, position, &t.refusal);
            if (!t.lease) {
                result.lost = true;
                return result;
            }
            if (!t.leased) t.taken = t.lease->Taken();
            t.leased = true;
        }
        result = t.lease->Read(t.path, position, t.piece.data(), want);
        if (!result.lost) return result;
        // The reader fell behind while another request waited, which took
        // its client; it reads on with the one the pool gives now.
        t.lease.reset();
        ++t.lost;
    }
    return result;
}

bool Gateway::TakeRead(Transfer& t, uint64_t offset, const ReadResult& read, uint32_t needed) {
    uint64_t at = t.first + offset;
    if (read.lost) {
        if (t.refusal != LeaseRefusal::kClientGone) {
            t.failure = (t.lost > 0 ? std::string("its FTP client object went to a waiting "
                                                  "request, and then ")
                                    : std::string()) +
                        DescribeRefusal(t.refusal);
        }
        return false;
    }
    // A short read before the end the size promised would leave the body
    // short of its Content-Length: the connection is cut instead, so the
    // client cannot take it for the whole.
    if (!read.succeeded || read.got < needed) {
        t.failure = !read.succeeded ? "read at " + std::to_string(at) + " failed: " +
                                          DescribeFtpError(read.ftpError)
                                    : "the file ended at " + std::to_string(at + read.got) +
                                          ", before its size (" + std::to_string(t.size) + ")";
        return false;
    }
    m_Ends.Keep(t.path, t.size, at, t.piece.data(), read.got);
    t.lease->Note(t.size, at + read.got >= t.size);
    t.pieceStart = offset;
    t.pieceLength = (uint32_t)std::min<uint64_t>(read.got, t.length - offset);
    return true;
}

bool Gateway::FetchPiece(Transfer& t, uint64_t offset, uint32_t want, uint32_t needed) {
    size_t kept = m_Ends.Copy(t.path, t.size, t.first + offset, t.piece.data(),
                              (size_t)std::min<uint64_t>(want, t.length - offset));
    if (kept > 0) {
        t.pieceStart = offset;
        t.pieceLength = (uint32_t)kept;
        t.kept += kept;
        return true;
    }
    return TakeRead(t, offset, ReadThroughLease(t, t.first + offset, want), needed);
}

bool Gateway::SendFrom(Transfer& t, size_t offset, httplib::DataSink& sink) {
    if (offset < t.pieceStart || offset >= t.pieceStart + t.pieceLength) {
        uint32_t want = (uint32_t)std::min<uint64_t>(kPiece, t.length - offset);
        if (!FetchPiece(t, offset, want, want)) return false;
    }
    size_t from = offset - (size_t)t.pieceStart;
    size_t count = t.pieceLength - from;
    if (!sink.write((const char*)t.piece.data() + from, count)) return false;
    t.sent += count;
    if (t.lease) t.lease->Delivered(count);
    return true;
}
