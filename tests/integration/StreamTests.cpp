// Stream reading through a real client object against the scripted server:
// the command sequence, reads served from the queue, the head buffer, pending
// reads, throttling, buffering notices, stream modes, time-outs and broken
// control connections with ReadStream's retries, refusals, and the replies a
// server still owes after the client closed a transfer early, in the forms
// and orders real servers send them. Every byte a read returns is compared
// with the file.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "session/CFtpClientThread.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/integration/TestHost.h"
#include "tests/integration/TransferTestSupport.h"
#include "workers/CBufferQueue.h"
#include "workers/CStreamThread.h"

using scripted::DataSendPlan;
using scripted::PassiveData;
using scripted::ScriptedConnection;
using scripted::ScriptedFtpServer;
using testhost::Client;
using testhost::MessageWindow;
using testhost::WaitUntil;
using transfertest::NonRepeatingBytes;

namespace {

using Files = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

const int kServerTimeoutMs = 30000;
const int kWaitMs = 10000;

// How a server answers a stream's commands and what it sends after the
// client closed a transfer's data connection early.
struct ServerStyle {
    const char* name;
    bool answersEmptyLine;
    std::string preliminary;
    std::string completion;
    // The reply owed for a transfer the client ended, in pieces sent 100 ms
    // apart, after owedDelayMs; none when empty.
    std::vector<std::string> owedPieces;
    int owedDelayMs;
    int completionDelayMs;
    // pure-ftpd: a command that arrives while the owed reply is pending is
    // lost, answered only by a 500 and the statistics line coded 500.
    bool losesEarlyCommand;
    size_t bytesPerSecond;  // 0: as fast as the client takes them
    // Sends its "226 " completionDelayMs after "150 ", not after the data:
    // a client that lags behind the server's socket buffers reads it so.
    bool completesEarly = false;
    // The data in chunks of this size (0: as bytesPerSecond asks), with a
    // pause after each.
    size_t chunkSize = 0;
    int chunkPauseMs = 0;
    std::string emptyLineReply = "500 Command \"\" not understood.";
    int passiveDelayMs = 0;  // before the "227 "
    // A link this slow: the clock moves so far before the empty line's reply.
    int slowLinkMs = 0;
    // What it makes of the commands that came in one piece with "PASV".
    enum class Together { Answered, Dropped, UnknownCommand } together = Together::Answered;
};

ServerStyle PyftpdlibStyle() {
    return {"pyftpdlib", true, "125 Data connection already open. Transfer starting.",
            "226 Transfer complete.", {"426 Transfer aborted; 131072 bytes transmitted.\r\n"},
            0, 0, false, 0};
}

ServerStyle ProftpdStyle() {
    return {"proftpd", true,
            "150 Opening BINARY mode data connection for movie.bin (1048576 bytes)",
            "226 Transfer complete", {"426 Transfer aborted. Data connection closed\r\n"},
            0, 0, false, 0};
}

ServerStyle VsftpdStyle() {
    return {"vsftpd", false,
            "150 Opening BINARY mode data connection for movie.bin (1048576 bytes).",
            "226 Transfer complete.", {"426 Failure writing network stream.\r\n"},
            0, 0, false, 0};
}

ServerStyle PureFtpdStyle() {
    return {"pure-ftpd", false,
            "150-Accepted data connection\r\n150 1024.0 kbytes to download",
            "226-File successfully transferred\r\n226 0.000 seconds (measured here), 9.09 Mbytes "
            "per second",
            {"150 0.003 seconds (measured here), 735.48 Mbytes per second\r\n"},
            0, 0, true, 0};
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A server of files for streams, in a given style, on every connection it
// accepts. It answers "" (when the style does), PASV, REST, RETR, TYPE, CWD,
// SIZE and DELE, and logs what arrived while it was about to send an owed
// reply: a client that sends then may have its reply taken for that one.
class FileServer {
public:
    FileServer(Files files, ServerStyle style)
        : m_Files(std::move(files)), m_Style(std::move(style)), m_Server(kServerTimeoutMs) {
        m_Server.OnEveryConnection([this](ScriptedConnection& c) { Serve(c); });
    }

    ScriptedFtpServer& Server() { return m_Server; }
    uint16_t Port() const { return m_Server.Port(); }
    // Transfer n (counted over all connections, from 0) ends after bytes.
    void EndTransferEarly(int transfer, size_t bytes) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_EarlyEnds[transfer] = bytes;
    }
    void DelayDeleteReply(int milliseconds) { m_nDeleteDelayMs = milliseconds; }
    int BatchesMishandled() const { return m_nBatchesMishandled.load(); }
    Lines LinesWhileReplyOwed() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_LinesWhileReplyOwed;
    }
    // The commands of a connection that belong to streams.
    Lines StreamCommands(int connection) const {
        Lines stream;
        for (const std::string& line : m_Server.Commands(connection)) {
            if (line.empty() || line == "PASV" || StartsWith(line, "REST ") ||
                StartsWith(line, "RETR ")) {
                stream.push_back(line);
            }
        }
        return stream;
    }
    int CountOf(const std::string& prefix) const {
        int count = 0;
        for (const scripted::ScriptEvent& e : m_Server.AllCommands()) {
            count += StartsWith(e.text, prefix) ? 1 : 0;
        }
        return count;
    }

private:
    void Serve(ScriptedConnection& c) {
        c.Login();
        std::shared_ptr<PassiveData> data;
        size_t rest = 0;
        std::deque<std::string> early;
        for (;;) {
            std::optional<std::string> line;
            if (!early.empty()) {
                line = early.front();
                early.pop_front();
            } else {
                line = c.ReadLine(kServerTimeoutMs);
            }
            if (!line) return;
            const std::string& command = *line;
            if (command.empty()) {
                if (m_Style.slowLinkMs != 0) {
                    plat::SetClockOffsetForTesting(m_Style.slowLinkMs);
                    c.Pause(100);  // the client's waits see the time pass
                }
                if (m_Style.answersEmptyLine) c.Reply(m_Style.emptyLineReply);
            } else if (command == "PASV") {
                c.Pause(m_Style.passiveDelayMs);
                Lines together = TakeWhatCameTogether(c);
                data = c.OpenPassive();
                c.Send(data->PasvReply());
                Mishandle(c, together);
            } else if (StartsWith(command, "REST ")) {
                rest = (size_t)atoll(command.c_str() + 5);
                c.Reply("350 Restarting at " + std::to_string(rest) + ".");
            } else if (StartsWith(command, "RETR ") && data) {
                Retrieve(c, *data, command.substr(5), rest, &early);
                rest = 0;
            } else if (command == "TYPE I") {
                c.Reply("200 Type set to I.");
            } else if (StartsWith(command, "CWD ")) {
                c.Reply("250 Directory changed.");
            } else if (StartsWith(command, "SIZE ")) {
                auto file = m_Files.find(command.substr(5));
                c.Reply(file != m_Files.end() ? "213 " + std::to_string(file->second.size())
                                              : "550 No such file.");
            } else if (StartsWith(command, "DELE ")) {
                c.Pause(m_nDeleteDelayMs);
                c.Reply("250 File deleted.");
            } else {
                c.Reply("500 Unknown command.");
            }
        }
    }

    void Retrieve(ScriptedConnection& c, PassiveData& data, const std::string& name,
                  size_t rest, std::deque<std::string>* early) {
        auto file = m_Files.find(name);
        if (file == m_Files.end() || rest > file->second.size()) {
            c.Reply("550 No such file.");
            return;
        }
        DataSendPlan plan;
        plan.bytes = file->second.substr(rest);
        plan.chunkSize = m_Style.chunkSize != 0 ? m_Style.chunkSize
                                                : m_Style.bytesPerSecond != 0 ? 8192 : 0;
        plan.pauseMsBetweenChunks = m_Style.chunkPauseMs;
        plan.bytesPerSecond = m_Style.bytesPerSecond;
        plan.endAfterBytes = NextTransferEnd();
        data.StartSending(plan);
        c.Reply(m_Style.preliminary);
        if (m_Style.completesEarly) {
            c.Pause(m_Style.completionDelayMs);
            c.Reply(m_Style.completion);
            data.WaitDone(kServerTimeoutMs);
            return;
        }
        data.WaitDone(kServerTimeoutMs);
        bool clientEndedIt = data.ClientClosed() && data.BytesSent() < plan.bytes.size();
        if (!clientEndedIt) {
            c.Pause(m_Style.completionDelayMs);
            c.Reply(m_Style.completion);
            return;
        }
        Lines meanwhile = c.Silence(m_Style.owedDelayMs);
        if (!meanwhile.empty()) NoteLinesWhileReplyOwed(meanwhile);
        if (m_Style.losesEarlyCommand && !meanwhile.empty()) {
            c.Send("500 Unknown command\r\n500 0.001 seconds (measured here), 1.2 Mbytes per second\r\n");
            return;
        }
        c.SendChunks(m_Style.owedPieces, 100);
        early->insert(early->end(), meanwhile.begin(), meanwhile.end());
    }

    // Lines already received behind "PASV" before its reply went out came in
    // one piece with it: a client that waits for each reply never sends so.
    // (After the reply, a quick client's next command may be there too.)
    Lines TakeWhatCameTogether(ScriptedConnection& c) {
        if (m_Style.together == ServerStyle::Together::Answered) return {};
        return c.Silence(0);
    }

    void Mishandle(ScriptedConnection& c, const Lines& together) {
        if (together.empty()) return;
        ++m_nBatchesMishandled;
        if (m_Style.together == ServerStyle::Together::UnknownCommand) {
            for (size_t i = 0; i < together.size(); ++i) c.Reply("500 Unknown command");
        }
    }

    size_t NextTransferEnd() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto found = m_EarlyEnds.find(m_nTransfers++);
        return found != m_EarlyEnds.end() ? found->second : scripted::kWholeStream;
    }

    void NoteLinesWhileReplyOwed(const Lines& lines) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_LinesWhileReplyOwed.insert(m_LinesWhileReplyOwed.end(), lines.begin(), lines.end());
    }

    const Files m_Files;
    const ServerStyle m_Style;
    std::atomic<int> m_nDeleteDelayMs{0};
    std::atomic<int> m_nBatchesMishandled{0};
    mutable std::mutex m_Mutex;
    std::map<int, size_t> m_EarlyEnds;
    int m_nTransfers = 0;
    Lines m_LinesWhileReplyOwed;
    ScriptedFtpServer m_Server;  // last: its scripts stop before the fields they use go
};

struct ReadOutcome {
    int result;
    unsigned count;
    std::string bytes;
    int seekFlag;
    int errorCode;
};

// ReadStream, or ReadStreamOnce with an attempt index.
ReadOutcome ReadAt(CFtpClient* client, const std::string& path, unsigned position,
                   unsigned length, int attempt = -1) {
    std::string buffer(length + 1, '\0');
    unsigned char* destination = (unsigned char*)&buffer[0];
    unsigned count = 12345;
    int result = attempt < 0
                     ? client->ReadStream(path.c_str(), destination, position, length, &count)
                     : client->ReadStreamOnce(path.c_str(), destination, position, length, &count,
                                              attempt);
    buffer.resize(result == 1 ? std::min(count, length) : 0);
    return {result, count, buffer, client->GetSeekFlag(), client->m_Operation.m_nErrorCode.load()};
}

// The read delivered the file's bytes at position, count of them.
void ExpectBytes(const ReadOutcome& read, const std::string& file, unsigned position,
                 unsigned count) {
    ASSERT_EQ(1, read.result) << "error code " << read.errorCode;
    ASSERT_EQ(count, read.count);
    EXPECT_TRUE(read.bytes == file.substr(position, count)) << "wrong bytes at " << position;
}

// Runs f with the running stream worker under the session lock; false when
// no stream worker runs.
bool WithWorker(CFtpClient* client, const std::function<void(CStreamThread*)>& f) {
    CFtpClientThread* session = client->AcquireSession();
    if (session == nullptr) return false;
    bool found = false;
    {
        plat::ScopedLock lock(session->m_cs);
        CStreamThread* worker = session->StreamWorker();
        found = worker != nullptr;
        if (found) f(worker);
    }
    session->ReleaseRef();
    return found;
}

bool QueueIsFull(CFtpClient* client) {
    bool full = false;
    WithWorker(client, [&](CStreamThread* w) { full = w->m_Queue.IsFull(); });
    return full;
}

bool WholeFileQueued(CFtpClient* client) {
    bool ended = false;
    WithWorker(client, [&](CStreamThread* w) { ended = w->m_bEndOfData.load() != 0; });
    return ended;
}

// A stream reads ahead only as far as its reader's pattern asks; tests of
// the full queue start with the whole queue as the window.
struct FullQueueFirst {
    FullQueueFirst() { CStreamThread::SetFirstReadAheadBlocksForTesting(CBufferQueue::kMaxBuffers); }
    ~FullQueueFirst() { CStreamThread::SetFirstReadAheadBlocksForTesting(0); }
};

uint64_t ReceivedEnd(CFtpClient* client) {
    uint64_t end = 0;
    WithWorker(client, [&](CStreamThread* w) { end = w->ReceivedEnd(); });
    return end;
}

// The worker is held at its throttle mark: it receives nothing until the
// reader's position passes the mark.
bool HeldAtThrottleMark(CFtpClient* client) {
    CFtpClientThread* session = client->AcquireSession();
    if (session == nullptr) return false;
    bool held = false;
    {
        plat::ScopedLock lock(session->m_cs);
        CStreamThread* worker = session->StreamWorker();
        held = worker != nullptr &&
               worker->m_nThrottleMark.load() > (uint64_t)session->m_nStreamPos.load();
    }
    session->ReleaseRef();
    return held;
}

int32_t HeadLength(CFtpClient* client) {
    CFtpClientThread* session = client->AcquireSession();
    if (session == nullptr) return -2;
    int32_t length = session->m_nHeadLength.load();
    session->ReleaseRef();
    return length;
}

std::vector<uintptr_t> BufferingNotices(MessageWindow& window) {
    window.Drain();
    std::vector<uintptr_t> values;
    for (const testhost::Notice& n : window.Collected()) {
        if (n.message == WM_FTP_BUFFERING) values.push_back(n.wParam);
    }
    return values;
}

struct ClockOffsetGuard {
    ~ClockOffsetGuard() { plat::SetClockOffsetForTesting(0); }
};

struct OwedReplyLimitGuard {
    explicit OwedReplyLimitGuard(uint32_t ms) { CWorkerThread::SetOwedReplyLimitForTesting(ms); }
    ~OwedReplyLimitGuard() { CWorkerThread::SetOwedReplyLimitForTesting(0); }
};

// A read that never returns is a lost wake-up: stop the run with a message
// instead of hanging until the test driver's time-out.
void WithinOrAbort(int seconds, const char* what, const std::function<void()>& body) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread runner([&] {
        body();
        done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        fprintf(stderr, "%s did not return within %d s: a wait was never answered\n", what,
                seconds);
        fflush(stderr);
        abort();
    }
    runner.join();
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override { CBufferQueue::ResetBufferCountersForTesting(); }
    void TearDown() override {
        EXPECT_LE(CBufferQueue::MostBuffersOfOneQueueForTesting(), CBufferQueue::kMaxBuffers);
    }
};

}  // namespace

// ---- The command sequence and reads from one transfer ---------------------------

// Stream mode 4: the server's "226 " may come long before the client has
// taken the data (see the stream mode tests).
TEST_F(StreamTest, ConsecutiveReadsComeFromOneTransferInOrder) {
    Files files = {{"movie.bin", NonRepeatingBytes(300000, 1)}};
    const std::string& movie = files["movie.bin"];
    FileServer server(files, PyftpdlibStyle());
    Client client;
    client.ConnectTo(server.Port());
    client->SetStreamMode(4);
    for (unsigned position = 0; position + 10000 <= movie.size(); position += 10000) {
        ReadOutcome read = ReadAt(client.get(), "/movie.bin", position, 10000);
        ExpectBytes(read, movie, position, 10000);
        EXPECT_EQ(0, read.seekFlag) << position;
    }
    EXPECT_EQ((Lines{"", "PASV", "REST 0", "RETR movie.bin"}), server.StreamCommands(0));
    EXPECT_TRUE(server.Server().Failures().empty()) << server.Server().Describe();
}

TEST_F(StreamTest, ReadsNearTheEndAreShortAndAtTheEndEmpty) {
    Files files = {{"movie.bin", NonRepeatingBytes(50000, 2)}};
    const std::string& movie = files["movie.bin"];
    FileServer server(files, VsftpdStyle());
    Client client;
    client.ConnectTo(server.Port());
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 30000), movie, 0, 30000);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 30000, 30000), movie, 30000, 20000);
    ReadOutcome atEnd = ReadAt(client.get(), "/movie.bin", 50000, 1000);
    EXPECT_EQ(1, atEnd.result);
    EXPECT_EQ(0u, atEnd.count);
    // Whether the first stream is still serving or a new one starts at the
    // end depends on timing; at most one new transfer is right.
    EXPECT_LE(server.CountOf("REST 50000"), 1);
    EXPECT_TRUE(server.Server().Failures().empty()) << server.Server().Describe();
}

// A read that has to wait is answered once enough is queued, or at the end
// of the data with what there is.
TEST_F(StreamTest, PendingReadsAreServedWhenEnoughIsQueuedOrTheDataEnds) {
    Files files = {{"slow.bin", NonRepeatingBytes(60000, 3)}, {"short.bin", NonRepeatingBytes(3000, 4)}};
    ServerStyle style = ProftpdStyle();
    style.bytesPerSecond = 200000;
    FileServer server(files, style);
    Client client;
    client.ConnectTo(server.Port());
    ExpectBytes(ReadAt(client.get(), "/slow.bin", 0, 40000), files["slow.bin"], 0, 40000);
    ExpectBytes(ReadAt(client.get(), "/short.bin", 0, 10000), files["short.bin"], 0, 3000);
}

// ---- Moving within the buffered data, and beyond it ----------------------------------

TEST_F(StreamTest, SmallJumpsStayInTheTransferFarJumpsStartANewOne) {
    Files files = {{"movie.bin", NonRepeatingBytes(400000, 5)}};
    const std::string& movie = files["movie.bin"];
    FileServer server(files, PyftpdlibStyle());
    Client client;
    client.ConnectTo(server.Port());
    client->SetBlockSize(16384);
    client->SetStreamMode(4);
    FullQueueFirst fullQueue;
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 1000), movie, 0, 1000);
    ASSERT_TRUE(WaitUntil([&] { return QueueIsFull(client.get()); }, kWaitMs));

    ReadOutcome forward = ReadAt(client.get(), "/movie.bin", 30000, 1000);  // queued already
    ExpectBytes(forward, movie, 30000, 1000);
    EXPECT_EQ(1, forward.seekFlag);
    ReadOutcome back = ReadAt(client.get(), "/movie.bin", 31000 - 500, 1000);  // same buffer
    ExpectBytes(back, movie, 30500, 1000);
    EXPECT_EQ(1, back.seekFlag);
    ReadOutcome next = ReadAt(client.get(), "/movie.bin", 31500, 1000);
    ExpectBytes(next, movie, 31500, 1000);
    EXPECT_EQ(0, next.seekFlag);
    EXPECT_EQ(1, server.CountOf("RETR "));

    ReadOutcome behind = ReadAt(client.get(), "/movie.bin", 100, 1000);  // a released buffer
    ExpectBytes(behind, movie, 100, 1000);
    EXPECT_EQ(1, behind.seekFlag);
    ReadOutcome distant = ReadAt(client.get(), "/movie.bin", 350000, 1000);
    ExpectBytes(distant, movie, 350000, 1000);
    EXPECT_EQ(1, distant.seekFlag);
    EXPECT_EQ(1, server.CountOf("REST 100"));
    EXPECT_EQ(1, server.CountOf("REST 350000"));
    EXPECT_EQ(3, server.CountOf("RETR "));
    EXPECT_TRUE(server.LinesWhileReplyOwed().empty());
    EXPECT_TRUE(server.Server().Failures().empty()) << server.Server().Describe();
}

// ---- The head buffer -------------------------------------------------------------------

TEST_F(StreamTest, ReadsOfTheFilesStartComeFromTheHeadBufferOnceCaptured) {
    Files files = {{"movie.bin", NonRepeatingBytes(200000, 6)}};
    const std::string& movie = files["movie.bin"];
    FileServer server(files, PyftpdlibStyle());
    Client client;
    client.ConnectTo(server.Port());
    client->SetStreamMode(4);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 1000), movie, 0, 1000);
    ASSERT_TRUE(WaitUntil([&] { return WholeFileQueued(client.get()); }, kWaitMs));
    ASSERT_EQ(kHeadBufferSize, HeadLength(client.get()));
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 100000, 1000), movie, 100000, 1000);

    auto started = std::chrono::steady_clock::now();
    ReadOutcome head = ReadAt(client.get(), "/movie.bin", 0, 65536);
    auto took = std::chrono::steady_clock::now() - started;
    ExpectBytes(head, movie, 0, 65536);
    EXPECT_EQ(1, head.seekFlag);
    EXPECT_GE(took, std::chrono::milliseconds(100));
    // The stream was moved to just after the head: reading on continues it.
    ReadOutcome after = ReadAt(client.get(), "/movie.bin", 65536, 1000);
    ExpectBytes(after, movie, 65536, 1000);
    EXPECT_EQ(0, after.seekFlag);
    EXPECT_EQ(1, server.CountOf("RETR "));
}

TEST_F(StreamTest, AStreamStartingElsewhereDoesNotCaptureTheHead) {
    Files files = {{"movie.bin", NonRepeatingBytes(200000, 7)}};
    const std::string& movie = files["movie.bin"];
    FileServer server(files, VsftpdStyle());
    Client client;
    client.ConnectTo(server.Port());
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 1000, 1000), movie, 1000, 1000);
    EXPECT_EQ(-1, HeadLength(client.get()));
    ReadOutcome start = ReadAt(client.get(), "/movie.bin", 0, 1000);
    ExpectBytes(start, movie, 0, 1000);
    EXPECT_EQ(1, server.CountOf("REST 1000"));
    EXPECT_EQ(1, server.CountOf("REST 0"));
}

// The capture is armed by a stream from offset 0 and filled only with the
// bytes that continue it: a stream that starts elsewhere adds nothing, and
// one that starts where the capture stopped completes it.
TEST_F(StreamTest, HeadCaptureTakesOnlyTheBytesThatContinueIt) {
    Files files = {{"movie.bin", NonRepeatingBytes(400000, 8)}};
    const std::string& movie = files["movie.bin"];
    FileServer server(files, ProftpdStyle());
    server.EndTransferEarly(0, 30000);  // the first transfer delivers 30000 bytes only
    Client client;
    client.ConnectTo(server.Port());
    client->SetStreamMode(4);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 1000), movie, 0, 1000);
    ASSERT_TRUE(WaitUntil([&] { return HeadLength(client.get()) == 30000; }, kWaitMs));
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 300000, 1000), movie, 300000, 1000);
    EXPECT_EQ(30000, HeadLength(client.get()));
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 30000, 1000), movie, 30000, 1000);
    ASSERT_TRUE(WaitUntil([&] { return HeadLength(client.get()) == kHeadBufferSize; }, kWaitMs));
    int transfers = server.CountOf("RETR ");
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 65536), movie, 0, 65536);
    EXPECT_EQ(transfers, server.CountOf("RETR "));
}

// A stream of another file empties the head buffer even when no stream was
// running, so a read at the new file's start never gets the old file's.
TEST_F(StreamTest, HeadBufferNeverServesAnotherFilesStart) {
    Files files = {{"a.bin", NonRepeatingBytes(70000, 9)}, {"b.bin", NonRepeatingBytes(70000, 10)}};
    FileServer server(files, PyftpdlibStyle());
    Client client;
    client.ConnectTo(server.Port());
    ExpectBytes(ReadAt(client.get(), "/a.bin", 0, 70000), files["a.bin"], 0, 70000);
    ExpectBytes(ReadAt(client.get(), "/a.bin", 70000, 10), files["a.bin"], 70000, 0);  // ends it
    ASSERT_TRUE(WaitUntil([&] { return !WithWorker(client.get(), [](CStreamThread*) {}); }, kWaitMs));
    ExpectBytes(ReadAt(client.get(), "/b.bin", 1000, 100), files["b.bin"], 1000, 100);
    ExpectBytes(ReadAt(client.get(), "/b.bin", 0, 1000), files["b.bin"], 0, 1000);
    ExpectBytes(ReadAt(client.get(), "/a.bin", 0, 1000), files["a.bin"], 0, 1000);
}

TEST_F(StreamTest, AnotherFileEndsTheRunningStream) {
    Files files = {{"a.bin", NonRepeatingBytes(300000, 11)}, {"b.bin", NonRepeatingBytes(300000, 12)}};
    FileServer server(files, VsftpdStyle());
    Client client;
    client.ConnectTo(server.Port());
    client->SetBlockSize(16384);
    client->SetStreamMode(4);  // the stream of a.bin still runs when b.bin is asked for
    ExpectBytes(ReadAt(client.get(), "/a.bin", 0, 1000), files["a.bin"], 0, 1000);
    ReadOutcome other = ReadAt(client.get(), "/b.bin", 5000, 1000);
    ExpectBytes(other, files["b.bin"], 5000, 1000);
    EXPECT_EQ(1, other.seekFlag);
    EXPECT_EQ(-1, HeadLength(client.get()));
    ReadOutcome back = ReadAt(client.get(), "/a.bin", 1000, 1000);
    ExpectBytes(back, files["a.bin"], 1000, 1000);
    EXPECT_EQ((Lines{"", "PASV", "REST 0", "RETR a.bin", "", "PASV", "REST 5000", "RETR b.bin", "",
                     "PASV", "REST 1000", "RETR a.bin"}),
              server.StreamCommands(0));
    EXPECT_TRUE(server.LinesWhileReplyOwed().empty());
}

// ---- A full queue -------------------------------------------------------------------------

// The worker stops taking data once the queue is full and takes more as the
// reader passes its mark: one transfer carries the whole file through ten
// buffers.
TEST_F(StreamTest, FullQueueThrottlesTheWorkerUntilTheReaderCatchesUp) {
    Files files = {{"movie.bin", NonRepeatingBytes(2000000, 13)}};
    const std::string& movie = files["movie.bin"];
    FileServer server(files, VsftpdStyle());
    Client client;
    client.ConnectTo(server.Port());
    const unsigned block = 4096;
    client->SetBlockSize(block);
    client->SetStreamMode(4);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 1000), movie, 0, 1000);
    ASSERT_TRUE(WaitUntil([&] { return QueueIsFull(client.get()); }, kWaitMs));
    int32_t queued = 0;
    WithWorker(client.get(), [&](CStreamThread* w) { queued = w->m_Queue.GetAvailable(true); });
    EXPECT_LT(queued, (int32_t)(10 * block));
    EXPECT_GT(queued, (int32_t)(9 * block - 1000));

    ExpectBytes(ReadAt(client.get(), "/movie.bin", 1000, 2 * block), movie, 1000, 2 * block);
    ASSERT_TRUE(WaitUntil([&] { return QueueIsFull(client.get()); }, kWaitMs));
    for (unsigned position = 1000 + 2 * block; position < movie.size(); position += 3000) {
        unsigned expected = std::min<unsigned>(3000, (unsigned)movie.size() - position);
        ReadOutcome read = ReadAt(client.get(), "/movie.bin", position, 3000);
        ExpectBytes(read, movie, position, expected);
        if (HasFatalFailure() || read.bytes != movie.substr(position, expected)) break;
    }
    EXPECT_EQ(1, server.CountOf("RETR "));
    EXPECT_TRUE(server.Server().Failures().empty()) << server.Server().Describe();
}

// More than the queue can ever hold cannot be answered before the end of the
// data, and the worker cannot reach it while the queue stays full.
TEST_F(StreamTest, ReadLongerThanTheQueueHoldsFailsWithNoMemory) {
    Files files = {{"big.bin", NonRepeatingBytes(200000, 14)}, {"small.bin", NonRepeatingBytes(8000, 15)}};
    FileServer server(files, VsftpdStyle());
    Client client;
    client.ConnectTo(server.Port());
    client->SetBlockSize(1024);
    ReadOutcome tooLong = ReadAt(client.get(), "/big.bin", 0, 50000);
    EXPECT_EQ(0, tooLong.result);
    EXPECT_EQ(0u, tooLong.count);
    EXPECT_EQ(FTPE_NOMEMORY, tooLong.errorCode);
    EXPECT_EQ(1, server.CountOf("RETR "));  // no retry
    ExpectBytes(ReadAt(client.get(), "/big.bin", 0, 5000), files["big.bin"], 0, 5000);
    ExpectBytes(ReadAt(client.get(), "/small.bin", 0, 50000), files["small.bin"], 0, 8000);
}

// ---- Buffering notices --------------------------------------------------------------------

TEST_F(StreamTest, BufferingModeOnePostsZeroThenFillLevelsThenHundred) {
    Files files = {{"movie.bin", NonRepeatingBytes(300000, 16)}};
    const std::string& movie = files["movie.bin"];
    ServerStyle style = PyftpdlibStyle();
    style.bytesPerSecond = 100000;
    FileServer server(files, style);
    MessageWindow window;
    Client client;
    client.ConnectTo(server.Port());
    client->SetMessageWindow(window.Handle());
    client->SetBlockSize(4096);
    client->SetBufferingMode(1);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 100), movie, 0, 100);
    EXPECT_TRUE(BufferingNotices(window).empty());  // no stream yet to wait for
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 100, 30000), movie, 100, 30000);

    std::vector<uintptr_t> notices = BufferingNotices(window);
    ASSERT_GE(notices.size(), 3u);
    EXPECT_EQ(0u, notices.front());
    EXPECT_EQ(100u, notices.back());
    for (size_t i = 1; i + 1 < notices.size(); ++i) {
        EXPECT_EQ(0u, notices[i] % 10);
        EXPECT_GE(notices[i], 10u);
        EXPECT_LE(notices[i], 100u);
        if (i > 1) {
            EXPECT_GE(notices[i], notices[i - 1]);
        }
    }
}

// Every stall pre-buffers, also after the queue was full once, and also when
// the reader has freed a buffer without reaching the worker's throttle mark
// (the worker then receives nothing until the reader passes the mark). The
// server sends one buffer per chunk, so the tenth buffer starts empty, the
// mark is set there, and the next chunk fills the queue to one byte short.
// While nobody waits the worker reads ahead two blocks, then twice as many
// each time the reader has taken a window in order, up to the ten; a far
// jump starts small again. A buffering wait still fills the ten.
TEST_F(StreamTest, ReadAheadGrowsWhileReadsStayInOrder) {
    const unsigned block = 65536;
    Files files = {{"movie.bin", NonRepeatingBytes(60 * block, 41)}};
    const std::string& movie = files["movie.bin"];
    ServerStyle style = PyftpdlibStyle();
    style.bytesPerSecond = 10000000;  // the whole file never waits in the sockets
    FileServer server(files, style);
    Client client;
    client.ConnectTo(server.Port());
    client->SetBlockSize(block);
    client->SetStreamMode(4);
    uint64_t position = 0;
    const unsigned windows[] = {2, 4, 8, 10};
    for (unsigned blocks : windows) {
        ExpectBytes(ReadAt(client.get(), "/movie.bin", position, 1000), movie, position, 1000);
        position += 1000;
        uint64_t limit = position + (uint64_t)blocks * block;
        uint64_t reached = std::min<uint64_t>(limit, position + 9 * block);
        ASSERT_TRUE(WaitUntil([&] { return ReceivedEnd(client.get()) >= reached; }, kWaitMs)) << blocks;
        EXPECT_LE(ReceivedEnd(client.get()), limit) << blocks;
        // The rest of the window, in order (ten buffers never hold ten
        // blocks from a position inside one).
        unsigned rest = std::min(blocks, 9u) * block - 1000;
        ExpectBytes(ReadAt(client.get(), "/movie.bin", position, rest), movie, position, rest);
        position += rest;
    }
    EXPECT_EQ(1, server.CountOf("RETR "));

    ReadOutcome far = ReadAt(client.get(), "/movie.bin", 40 * block, 1000);
    ExpectBytes(far, movie, 40 * block, 1000);
    ASSERT_TRUE(WaitUntil([&] { return ReceivedEnd(client.get()) >= 42 * block; }, kWaitMs));
    EXPECT_LE(ReceivedEnd(client.get()), 42 * block + 1000);

    // A buffering wait (in stream mode 1, the default: everywhere) fills
    // past the window.
    Client buffering;
    buffering.ConnectTo(server.Port());
    buffering->SetBlockSize(block);
    buffering->SetBufferingMode(1);
    MessageWindow window;
    buffering->SetMessageWindow(window.Handle());
    ExpectBytes(ReadAt(buffering.get(), "/movie.bin", 0, 1000), movie, 0, 1000);
    ASSERT_TRUE(WaitUntil([&] { return ReceivedEnd(buffering.get()) >= 2 * block; }, kWaitMs));
    ReadOutcome stalled;
    WithinOrAbort(30, "a read waiting for pre-buffering", [&] {
        stalled = ReadAt(buffering.get(), "/movie.bin", 1000, 3 * block);
    });
    ExpectBytes(stalled, movie, 1000, 3 * block);
    std::vector<uintptr_t> notices = BufferingNotices(window);
    ASSERT_GE(notices.size(), 3u);
    EXPECT_EQ(100u, notices.back());
    EXPECT_EQ(0u, notices.front());
    // The wait filled the queue far past any window the reads have asked for.
    EXPECT_GE(ReceivedEnd(buffering.get()), 8u * block);
}

TEST_F(StreamTest, EveryStallPreBuffersAlsoWithTheWorkerHeldAtItsMark) {
    const unsigned block = 8192;
    Files files = {{"movie.bin", NonRepeatingBytes(12 * block, 37)}};
    const std::string& movie = files["movie.bin"];
    ServerStyle style = VsftpdStyle();
    style.chunkSize = block;
    style.chunkPauseMs = 200;
    FileServer server(files, style);
    MessageWindow window;
    Client client;
    client.ConnectTo(server.Port());
    client->SetMessageWindow(window.Handle());
    client->SetBlockSize(block);
    client->SetBufferingMode(1);
    FullQueueFirst fullQueue;
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 100), movie, 0, 100);
    ASSERT_TRUE(WaitUntil([&] { return QueueIsFull(client.get()) && HeldAtThrottleMark(client.get()); },
                          kWaitMs));
    // The rest of the head buffer: served from the queue, which loses a buffer.
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 100, block - 100), movie, 100, block - 100);
    ASSERT_TRUE(HeldAtThrottleMark(client.get()));
    ASSERT_FALSE(QueueIsFull(client.get()));
    EXPECT_TRUE(BufferingNotices(window).empty());

    ReadOutcome stalled;
    WithinOrAbort(30, "a read waiting for pre-buffering", [&] {
        stalled = ReadAt(client.get(), "/movie.bin", block, 70000);
    });
    ExpectBytes(stalled, movie, block, 70000);
    std::vector<uintptr_t> notices = BufferingNotices(window);
    ASSERT_GE(notices.size(), 3u);  // 0, the fill level while waiting, 100
    EXPECT_EQ(0u, notices.front());
    EXPECT_EQ(100u, notices.back());
}

TEST_F(StreamTest, OtherStreamModesBufferOnlyAwayFromTheEndsOfAKnownFile) {
    Files files = {{"movie.bin", NonRepeatingBytes(300000, 17)}};
    const std::string& movie = files["movie.bin"];
    ServerStyle style = PyftpdlibStyle();
    style.bytesPerSecond = 100000;
    FileServer server(files, style);
    MessageWindow window;
    Client client;
    client.ConnectTo(server.Port());
    client->SetMessageWindow(window.Handle());
    client->SetBlockSize(4096);
    client->SetBufferingMode(1);
    client->SetStreamMode(2);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 100), movie, 0, 100);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 100, 30000), movie, 100, 30000);  // near the start
    // In the middle, but the file's size has not been asked for (0).
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 60000, 20000), movie, 60000, 20000);
    EXPECT_TRUE(BufferingNotices(window).empty());
}

// ---- Stream modes after "226 " ------------------------------------------------------------

namespace {

// "226 " in a piece of its own: together with "150 " it counts as "150 ".
ServerStyle SeparateCompletion(ServerStyle style) {
    style.completionDelayMs = 10;
    return style;
}

// "226 " while the data still flows, as a client that lags behind the
// server's socket buffers reads it.
ServerStyle CompletionWhileDataFlows(ServerStyle style) {
    style.completesEarly = true;
    style.completionDelayMs = 10;
    style.bytesPerSecond = 1000000;
    return style;
}

}  // namespace

TEST_F(StreamTest, ModeOneEndsTheTransferAfter226AndLaterReadsStartAgain) {
    Files files = {{"movie.bin", NonRepeatingBytes(500000, 18)}};
    const std::string& movie = files["movie.bin"];
    FileServer server(files, CompletionWhileDataFlows(VsftpdStyle()));
    Client client;
    client.ConnectTo(server.Port());
    client->SetBlockSize(4096);
    for (unsigned position = 0; position < movie.size() && server.CountOf("RETR ") < 2;
         position += 1000) {
        ExpectBytes(ReadAt(client.get(), "/movie.bin", position, 1000), movie, position, 1000);
    }
    EXPECT_GT(server.CountOf("RETR "), 1);
    EXPECT_TRUE(server.Server().Failures().empty()) << server.Server().Describe();
}

// In mode 1 each stream ends by itself soon after "226 ", while the reads go
// on: a read may arrive just before, during or after the worker's end. It
// is served by that worker, handed on to the next, or starts a new stream,
// and is never answered by the ending worker without its bytes.
TEST_F(StreamTest, ReadsMeetingAStreamThatEndsAfter226AreAlwaysServed) {
    Files files = {{"movie.bin", NonRepeatingBytes(200000, 35)}};
    const std::string& movie = files["movie.bin"];
    int transfers = 0;
    for (int delayMs : {2, 3, 5, 8, 2, 3, 5, 8}) {
        ServerStyle style = CompletionWhileDataFlows(VsftpdStyle());
        style.completionDelayMs = delayMs;
        FileServer server(files, style);
        Client client;
        client.ConnectTo(server.Port());
        client->SetBlockSize(4096);
        for (unsigned position = 0; position < movie.size(); position += 3001) {
            unsigned expected = std::min<unsigned>(3001, (unsigned)movie.size() - position);
            ReadOutcome read = ReadAt(client.get(), "/movie.bin", position, 3001);
            ExpectBytes(read, movie, position, expected);
            if (read.result != 1) break;
        }
        transfers += server.CountOf("RETR ");
    }
    // At least one stream did end after "226 " and start again (how often
    // depends on timing: under Wine fewer do).
    EXPECT_GT(transfers, 8);
}

namespace {

std::atomic<bool> g_bStreamRanAtHandOver(false);

// Holds the read until the running stream, which has just seen "226 ", has
// ended: it ends without having seen the read.
void LetTheStreamEndFirst(CFtpClient* client) {
    g_bStreamRanAtHandOver = WithWorker(client, [](CStreamThread*) {});
    WaitUntil([&] { return !WithWorker(client, [](CStreamThread*) {}); }, kWaitMs);
}

struct PendingReadHookGuard {
    explicit PendingReadHookGuard(void (*hook)(CFtpClient*)) {
        CFtpClient::SetPendingReadHookForTesting(hook);
    }
    ~PendingReadHookGuard() { CFtpClient::SetPendingReadHookForTesting(nullptr); }
};

}  // namespace

// The ending worker sets the done event on its way out. A read that decided
// to wait for the worker just before must not take that for its answer.
TEST_F(StreamTest, AStreamEndingAsAReadIsHandedOverDoesNotAnswerIt) {
    Files files = {{"movie.bin", NonRepeatingBytes(200000, 36)}};
    const std::string& movie = files["movie.bin"];
    ServerStyle style = VsftpdStyle();
    style.bytesPerSecond = 100000;
    style.completesEarly = true;
    style.completionDelayMs = 100;
    FileServer server(files, style);
    Client client;
    client.ConnectTo(server.Port());
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 1000), movie, 0, 1000);
    PendingReadHookGuard hook(LetTheStreamEndFirst);
    ReadOutcome read = ReadAt(client.get(), "/movie.bin", 1000, 30000);
    EXPECT_TRUE(g_bStreamRanAtHandOver.load());
    ExpectBytes(read, movie, 1000, 30000);
    EXPECT_EQ(1, server.CountOf("REST 1000"));
}

TEST_F(StreamTest, ModeFourKeepsReceivingAfter226) {
    Files files = {{"movie.bin", NonRepeatingBytes(500000, 18)}};
    const std::string& movie = files["movie.bin"];
    FileServer server(files, SeparateCompletion(VsftpdStyle()));
    Client client;
    client.ConnectTo(server.Port());
    client->SetBlockSize(4096);
    client->SetStreamMode(4);
    for (unsigned position = 0; position < 100000; position += 1000) {
        ExpectBytes(ReadAt(client.get(), "/movie.bin", position, 1000), movie, position, 1000);
    }
    EXPECT_EQ(1, server.CountOf("RETR "));
}

// ---- Failures and retries ------------------------------------------------------------------

namespace {

// Connection 0 answers RETR with a preliminary reply and then does what
// afterRetr says; later connections serve the file properly.
class BrokenFirstTransfer {
public:
    BrokenFirstTransfer(const std::string& content, std::function<void(ScriptedConnection&)> afterRetr)
        : m_Files({{"movie.bin", content}}), m_Server(kServerTimeoutMs) {
        m_Server.OnConnection(0, [this, afterRetr](ScriptedConnection& c) {
            c.Login();
            c.ExpectLine("");
            c.ExpectLine("PASV");
            std::shared_ptr<PassiveData> data = c.OpenPassive();
            c.Send(data->PasvReply());
            c.ExpectLine("REST 0");
            c.Reply("350 Restarting at 0.");
            c.ExpectLine("RETR movie.bin");
            data->StartHolding();
            c.Reply("150 Opening BINARY mode data connection.");
            m_RetrReached.set_value();
            afterRetr(c);
        });
        m_Server.OnEveryConnection([this](ScriptedConnection& c) { ServeProperly(c); });
    }
    uint16_t Port() const { return m_Server.Port(); }
    ScriptedFtpServer& Server() { return m_Server; }
    void WaitForRetr() { m_RetrReached.get_future().wait_for(std::chrono::milliseconds(kWaitMs)); }

private:
    void ServeProperly(ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("");
        c.ExpectLine("PASV");
        std::shared_ptr<PassiveData> data = c.OpenPassive();
        c.Send(data->PasvReply());
        c.ExpectLine("REST 0");
        c.Reply("350 Restarting at 0.");
        c.ExpectLine("RETR movie.bin");
        DataSendPlan plan;
        plan.bytes = m_Files["movie.bin"];
        data->StartSending(plan);
        c.Reply("125 Transfer starting.");
        data->WaitDone(kServerTimeoutMs);
        c.Reply("226 Transfer complete.");
        c.WaitForClientClose(kServerTimeoutMs);
    }

    Files m_Files;
    std::promise<void> m_RetrReached;
    ScriptedFtpServer m_Server;
};

}  // namespace

TEST_F(StreamTest, SilentTransferTimesOutWithCodeFour) {
    ClockOffsetGuard clock;
    BrokenFirstTransfer server(NonRepeatingBytes(1000, 19),
                               [](ScriptedConnection& c) { c.WaitForClientClose(kServerTimeoutMs); });
    Client client;
    client.ConnectTo(server.Port());
    std::future<ReadOutcome> read = std::async(std::launch::async, [&] {
        return ReadAt(client.get(), "/movie.bin", 0, 100, 0);
    });
    server.WaitForRetr();
    int64_t offset = 0;
    for (int i = 0; i < 50 && read.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready; ++i) {
        offset += 81000;  // past the 80000 ms limit, whenever the worker last saw activity
        plat::SetClockOffsetForTesting(offset);
    }
    ReadOutcome outcome = read.get();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ(0u, outcome.count);
    EXPECT_EQ(FTPE_TIMEOUT, outcome.errorCode);
}

TEST_F(StreamTest, ReadStreamRetriesAfterATimeOutOnANewConnection) {
    ClockOffsetGuard clock;
    std::string movie = NonRepeatingBytes(1000, 20);
    BrokenFirstTransfer server(movie, [](ScriptedConnection& c) { c.WaitForClientClose(kServerTimeoutMs); });
    Client client;
    client.ConnectTo(server.Port());
    std::future<ReadOutcome> read = std::async(std::launch::async, [&] {
        return ReadAt(client.get(), "/movie.bin", 0, 100);
    });
    server.WaitForRetr();
    int64_t offset = 0;
    for (int i = 0; i < 50 && server.Server().AcceptedCount() < 2 &&
                    read.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready;
         ++i) {
        offset += 81000;
        plat::SetClockOffsetForTesting(offset);
    }
    ReadOutcome outcome = read.get();
    ExpectBytes(outcome, movie, 0, 100);
    // The timed-out worker gives the silent connection up, so the retry finds
    // the session restarting or already gone: one new connection either way.
    EXPECT_EQ(2, server.Server().AcceptedCount());
}

TEST_F(StreamTest, LostControlConnectionFailsWithCodeSevenAndReadStreamReconnects) {
    std::string movie = NonRepeatingBytes(1000, 21);
    BrokenFirstTransfer server(movie, [](ScriptedConnection& c) { c.Close(); });
    Client client;
    client.ConnectTo(server.Port());
    ReadOutcome once = ReadAt(client.get(), "/movie.bin", 0, 100, 0);
    EXPECT_EQ(0, once.result);
    EXPECT_EQ(FTPE_TRANSFERFAIL, once.errorCode);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 100), movie, 0, 100);
    EXPECT_EQ(2, server.Server().AcceptedCount());
}

TEST_F(StreamTest, ReadStreamRetriesALostConnectionWithinOneCall) {
    std::string movie = NonRepeatingBytes(1000, 22);
    BrokenFirstTransfer server(movie, [](ScriptedConnection& c) { c.Close(); });
    Client client;
    client.ConnectTo(server.Port());
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 100), movie, 0, 100);
    EXPECT_EQ(2, server.Server().AcceptedCount());
}

namespace {

// Another host thread releases the object while the read is about to wait
// for the stream worker, and the session ends meanwhile: the read's session
// reference is then the last one that keeps the object.
void ReleaseTheObjectMeanwhile(CFtpClient* client) {
    CFtpClientThread* session = client->m_pSessionThread.load();  // the read holds it
    std::thread host([client] { client->Release(); });
    host.join();
    if (session != nullptr) WaitUntil([&] { return session->HasEnded(); }, kWaitMs);
}

}  // namespace

// The object must outlive the read: the sanitizer builds catch a read that
// touches it after its session reference went.
TEST_F(StreamTest, ReleaseDuringAReadKeepsTheObjectUntilTheReadReturns) {
    Files files = {{"movie.bin", NonRepeatingBytes(1000, 38)}};
    FileServer server(files, VsftpdStyle());
    CFtpClient* client = CFtpClient::FromHost(CreateFtpClientInstance(0));
    ASSERT_NE(nullptr, client);
    client->SetConnectParameter("127.0.0.1", "tester", "secret", server.Port(), 0, 0, "", 1);
    PendingReadHookGuard hook(ReleaseTheObjectMeanwhile);
    unsigned char buffer[100];
    unsigned count = 12345;
    int result = -1;
    WithinOrAbort(30, "a read of a released object", [&] {
        result = client->ReadStream("/movie.bin", buffer, 0, sizeof buffer, &count);
    });
    EXPECT_EQ(0, result);
    EXPECT_EQ(0u, count);
}

TEST_F(StreamTest, StopSessionAnswersAPendingRead) {
    BrokenFirstTransfer server(NonRepeatingBytes(1000, 23),
                               [](ScriptedConnection& c) { c.WaitForClientClose(kServerTimeoutMs); });
    Client client;
    client.ConnectTo(server.Port());
    std::future<ReadOutcome> read = std::async(std::launch::async, [&] {
        return ReadAt(client.get(), "/movie.bin", 0, 100);
    });
    server.WaitForRetr();
    WithinOrAbort(20, "StopSession", [&] { client->StopSession(); });
    ASSERT_EQ(std::future_status::ready, read.wait_for(std::chrono::seconds(20)));
    ReadOutcome outcome = read.get();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ(0u, outcome.count);
}

// ---- Refusals ---------------------------------------------------------------------------------

TEST_F(StreamTest, OtherRequestsAreRefusedWhileAStreamRuns) {
    Files files = {{"movie.bin", NonRepeatingBytes(400000, 24)}};
    FileServer server(files, VsftpdStyle());
    Client client;
    client.ConnectTo(server.Port());
    client->SetBlockSize(4096);
    // Mode 4 keeps the stream through the server's early "226 " (the whole
    // file fits the socket buffers), so it is certainly still running.
    client->SetStreamMode(4);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 1000), files["movie.bin"], 0, 1000);
    ASSERT_TRUE(WithWorker(client.get(), [](CStreamThread*) {}));
    EXPECT_EQ(0, client->DeleteRemoteFile("/movie.bin"));
    EXPECT_EQ(0, client->GetRemoteFileSize("/movie.bin"));
    EXPECT_EQ(0, server.CountOf("DELE") + server.CountOf("SIZE"));
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 1000, 1000), files["movie.bin"], 1000, 1000);
}

TEST_F(StreamTest, ReadsAreRefusedWhileAnotherRequestRuns) {
    Files files = {{"movie.bin", NonRepeatingBytes(1000, 25)}};
    FileServer server(files, VsftpdStyle());
    server.DelayDeleteReply(1000);
    Client client;
    client.ConnectTo(server.Port());
    std::future<int> deletion = std::async(std::launch::async, [&] {
        return client->DeleteRemoteFile("/other.bin");
    });
    ASSERT_TRUE(WaitUntil([&] { return server.CountOf("DELE") == 1; }, kWaitMs));
    ReadOutcome refused = ReadAt(client.get(), "/movie.bin", 0, 100);
    EXPECT_EQ(0, refused.result);
    EXPECT_EQ(0u, refused.count);
    EXPECT_EQ(0, refused.seekFlag);
    EXPECT_EQ(0, refused.errorCode);
    EXPECT_EQ(1, deletion.get());
    EXPECT_EQ(0, server.CountOf("PASV"));
}

// ---- Replies owed for a transfer the client ended ---------------------------------------------

namespace {

ServerStyle Delayed(ServerStyle style, int ms) {
    style.owedDelayMs = ms;
    return style;
}

ServerStyle Paced(ServerStyle style) {
    style.bytesPerSecond = 1000000;  // still sending when the client ends the transfer
    return style;
}

// The real servers' owed replies, one sent late (pyftpdlib answers a command
// that comes first before it), and one cut in two pieces.
ServerStyle OwedReplyStyle(const std::string& name) {
    if (name == "proftpd") return ProftpdStyle();
    if (name == "pyftpdlib") return PyftpdlibStyle();
    if (name == "pyftpdlib_late") return Delayed(PyftpdlibStyle(), 300);
    if (name == "pureftpd_stats_line") return Delayed(PureFtpdStyle(), 100);
    ServerStyle style = VsftpdStyle();
    if (name == "split_reply") style.owedPieces = {"42", "6 Transfer aborted.\r\n"};
    return style;
}

}  // namespace

class OwedReplies : public ::testing::TestWithParam<const char*> {};

// The client ends a transfer (a read of another file, then a far jump) and
// the server owes the ended RETR a reply. The next stream must neither
// mistake that reply for its own nor send a command before it came.
TEST_P(OwedReplies, NextStreamWaitsForThemAndIsNotMisledByThem) {
    Files files = {{"movie.bin", NonRepeatingBytes(1048576, 26)}, {"other.bin", NonRepeatingBytes(1048576, 27)}};
    FileServer server(files, Paced(OwedReplyStyle(GetParam())));
    Client client;
    client.ConnectTo(server.Port());
    client->SetBlockSize(16384);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 1000), files["movie.bin"], 0, 1000);
    ExpectBytes(ReadAt(client.get(), "/other.bin", 0, 1000), files["other.bin"], 0, 1000);
    ExpectBytes(ReadAt(client.get(), "/other.bin", 900000, 1000), files["other.bin"], 900000, 1000);
    ExpectBytes(ReadAt(client.get(), "/other.bin", 901000, 1000), files["other.bin"], 901000, 1000);
    EXPECT_TRUE(server.LinesWhileReplyOwed().empty());
    EXPECT_EQ((Lines{"", "PASV", "REST 0", "RETR movie.bin", "", "PASV", "REST 0", "RETR other.bin",
                     "", "PASV", "REST 900000", "RETR other.bin"}),
              server.StreamCommands(0));
    EXPECT_EQ(1, server.Server().AcceptedCount());
    EXPECT_TRUE(server.Server().Failures().empty()) << server.Server().Describe();
}

INSTANTIATE_TEST_SUITE_P(RealServersAndWorse, OwedReplies,
                         ::testing::Values("vsftpd", "proftpd", "pyftpdlib", "pyftpdlib_late",
                                           "pureftpd_stats_line", "split_reply"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

// A server that keeps the owed reply back (until the next command, or for
// ever) leaves the connection in a state the client cannot know: it gives
// the connection up and carries on over a new one.
TEST_F(StreamTest, OwedReplyThatNeverComesCostsTheConnectionNotTheRead) {
    OwedReplyLimitGuard limit(300);
    Files files = {{"movie.bin", NonRepeatingBytes(1048576, 28)}, {"other.bin", NonRepeatingBytes(100000, 29)}};
    ServerStyle style = Paced(VsftpdStyle());
    style.owedDelayMs = 3000;
    FileServer server(files, style);
    Client client;
    client.ConnectTo(server.Port());
    client->SetBlockSize(16384);
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 0, 1000), files["movie.bin"], 0, 1000);
    ReadOutcome other = ReadAt(client.get(), "/other.bin", 500, 1000);
    ExpectBytes(other, files["other.bin"], 500, 1000);
    EXPECT_EQ((Lines{"", "PASV", "REST 0", "RETR movie.bin"}), server.StreamCommands(0));
    EXPECT_EQ((Lines{"", "PASV", "REST 500", "RETR other.bin"}), server.StreamCommands(1));
    EXPECT_TRUE(server.LinesWhileReplyOwed().empty());
}

// An answer to the empty line that is none of the known ones is taken for
// PASV's refusal; the real answer to PASV may still come, so the connection
// is given up rather than leave that answer to the next command.
TEST_F(StreamTest, AnUnknownAnswerToTheEmptyLineCostsTheConnectionNotTheNextReply) {
    Files files = {{"movie.bin", NonRepeatingBytes(1000, 32)}};
    ServerStyle style = PyftpdlibStyle();
    style.emptyLineReply = "503 Bad sequence of commands.";
    style.passiveDelayMs = 100;
    FileServer server(files, style);
    Client client;
    client.ConnectTo(server.Port());
    ReadOutcome refused = ReadAt(client.get(), "/movie.bin", 0, 100);
    EXPECT_EQ(0, refused.result);
    EXPECT_EQ(FTPE_BADREPLY, refused.errorCode);
    EXPECT_EQ(1000, client->GetRemoteFileSize("/movie.bin"));
    EXPECT_EQ(1000, client->GetRemoteFileSize("/movie.bin"));
    EXPECT_EQ(2, server.Server().AcceptedCount());
}

// A server that drops the commands that came together with "PASV", or
// answers them with "500 ", does not cost the read: it is retried on a new
// connection, and the client object sends one command per reply from then
// on. A dropped command is noticed when its reply is overdue (the clock is
// moved past that, not past the inactivity limit).
TEST_F(StreamTest, CommandsSentTogetherFallBackToOneCommandPerReply) {
    using Together = ServerStyle::Together;
    for (Together together : {Together::Dropped, Together::UnknownCommand}) {
        SCOPED_TRACE(together == Together::Dropped ? "dropped" : "500");
        Files files = {{"movie.bin", NonRepeatingBytes(300000, 42)}};
        const std::string& movie = files["movie.bin"];
        ServerStyle style = PureFtpdStyle();
        style.together = together;
        FileServer server(files, style);
        Client client;
        client.ConnectTo(server.Port());
        client->SetBlockSize(16384);  // the read at 250000 is never queued already
        ClockOffsetGuard clock;
        std::thread mover([&] {
            if (together != Together::Dropped) return;
            if (WaitUntil([&] { return server.BatchesMishandled() > 0; }, kWaitMs)) {
                plat::SetClockOffsetForTesting(2000);
            }
        });
        ReadOutcome first = ReadAt(client.get(), "/movie.bin", 1000, 1000);
        mover.join();
        ExpectBytes(first, movie, 1000, 1000);
        ExpectBytes(ReadAt(client.get(), "/movie.bin", 250000, 1000), movie, 250000, 1000);
        ExpectBytes(ReadAt(client.get(), "/movie.bin", 5000, 1000), movie, 5000, 1000);
        EXPECT_EQ(1, server.BatchesMishandled());
        EXPECT_EQ(2, server.Server().AcceptedCount());
        EXPECT_EQ(1, server.CountOf("REST 250000"));
    }
}

// Over a slow link the first reply of a batch comes late too: the ones
// behind it are due after it, not after the send, and nothing falls back.
TEST_F(StreamTest, CommandsSentTogetherOverASlowLinkStayTogether) {
    Files files = {{"movie.bin", NonRepeatingBytes(300000, 43)}};
    ServerStyle style = PyftpdlibStyle();
    style.slowLinkMs = 2000;
    FileServer server(files, style);
    Client client;
    client.ConnectTo(server.Port());
    ClockOffsetGuard clock;
    ExpectBytes(ReadAt(client.get(), "/movie.bin", 1000, 1000), files["movie.bin"], 1000, 1000);
    EXPECT_EQ(1, server.Server().AcceptedCount());
    EXPECT_EQ(1, server.CountOf("RETR "));
}

// A transfer whose data ended before its "226 " was read: the reply comes
// late, and the next stream waits for it instead of taking it for its own.
TEST_F(StreamTest, LateCompletionOfAnEndedTransferIsCollectedFirst) {
    Files files = {{"a.bin", NonRepeatingBytes(50000, 30)}, {"b.bin", NonRepeatingBytes(50000, 31)}};
    ServerStyle style = PureFtpdStyle();
    style.completionDelayMs = 300;
    FileServer server(files, style);
    Client client;
    client.ConnectTo(server.Port());
    ExpectBytes(ReadAt(client.get(), "/a.bin", 0, 50000), files["a.bin"], 0, 50000);
    ExpectBytes(ReadAt(client.get(), "/b.bin", 0, 50000), files["b.bin"], 0, 50000);
    ExpectBytes(ReadAt(client.get(), "/a.bin", 100, 1000), files["a.bin"], 100, 1000);
    EXPECT_EQ(1, server.Server().AcceptedCount());
    EXPECT_EQ(3, server.CountOf("RETR "));
    EXPECT_TRUE(server.Server().Failures().empty()) << server.Server().Describe();
}

// ---- Races, repeated ---------------------------------------------------------------------------

// A stream ends by itself (its last byte read) while the next read, of another
// file, asks for it to be aborted; or while the session is told to stop. Every
// read and every stop must return, in whichever order the threads meet.
TEST_F(StreamTest, AbortsAndStopsMeetingTheStreamsOwnEndAlwaysReturn) {
    Files files = {{"a.bin", NonRepeatingBytes(20000, 32)}, {"b.bin", NonRepeatingBytes(30000, 33)}};
    FileServer server(files, PyftpdlibStyle());
    Client client;
    client.ConnectTo(server.Port());
    client->SetBlockSize(4096);
    for (int round = 0; round < 40; ++round) {
        const std::string name = round % 2 == 0 ? "a.bin" : "b.bin";
        const std::string& file = files[name];
        unsigned length = 1000 + 997 * (unsigned)round % (unsigned)file.size();
        WithinOrAbort(30, "a read racing the stream's end", [&] {
            ReadOutcome first = ReadAt(client.get(), "/" + name, 0, length);
            ExpectBytes(first, file, 0, std::min<unsigned>(length, (unsigned)file.size()));
            const std::string& other = files[round % 2 == 0 ? "b.bin" : "a.bin"];
            ReadOutcome next = ReadAt(client.get(), round % 2 == 0 ? "/b.bin" : "/a.bin", 0, 500);
            ExpectBytes(next, other, 0, 500);
        });
        if (round % 5 == 4) {
            std::thread stopper([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
                client->StopSession();
            });
            WithinOrAbort(30, "a read racing StopSession", [&] {
                ReadOutcome read = ReadAt(client.get(), "/" + name, 100, 100);
                if (read.result == 1) ExpectBytes(read, file, 100, 100);
            });
            WithinOrAbort(30, "StopSession racing a read", [&] { stopper.join(); });
        }
        if (HasFailure()) break;
    }
    EXPECT_TRUE(server.LinesWhileReplyOwed().empty());
}
