// Servers that mean harm, or behave as if they did: a passive reply that
// points elsewhere, replies flooded without a line feed, replies trickled a
// byte a second, and a data connection that never closes. For each: the
// exact result the host's call returns, the exact notices posted, that the
// call ends within the library's limits (the clock hook moves time), and,
// under AddressSanitizer, that no reply field is overrun.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ScriptedFtpServer.h"
#include "tests/unit/TestHost.h"
#include "tests/unit/TransferTestSupport.h"

using scripted::DataEnd;
using scripted::DataSendPlan;
using scripted::PassiveData;
using scripted::ScriptedConnection;
using scripted::ScriptedFtpServer;
using testhost::Client;
using testhost::MessageWindow;

namespace {

const int kServerTimeoutMs = 30000;
const size_t kFloodBytes = 64 * 1024;  // 250 times the reply field
const char kElsewhere[] = "127.0.0.2";  // loopback, but nobody listens there
const std::string kContent = transfertest::NonRepeatingBytes(100000, 7);
const std::string kListing = "-rw-r--r-- 1 ftp ftp 100000 Jan 01 00:00 f.bin\r\n";

enum class Job { Size, List, Download, Stream, Upload };

// Scripts and the host's driver both move the clock; one offset keeps it
// from ever going back.
std::atomic<int64_t> g_ClockOffset{0};

void MoveClockBy(int64_t ms) {
    plat::SetClockOffsetForTesting(g_ClockOffset += ms);
}

struct ClockOffsetGuard {
    ~ClockOffsetGuard() {
        g_ClockOffset = 0;
        plat::SetClockOffsetForTesting(0);
    }
};

// The server's side up to the transfer command of job (read, not yet
// answered; for the size, its SIZE line); the data side announced at address.
std::shared_ptr<PassiveData> OpenTransfer(ScriptedConnection& c, Job job,
                                          const std::string& address = "127.0.0.1") {
    switch (job) {
    case Job::List:
        c.ExpectLine("TYPE A");
        c.Reply("200 Type set to A.");
        c.ExpectLine("TYPE I");
        c.Reply("200 Type set to I.");
        break;
    case Job::Download:
        c.ExpectLine("SIZE f.bin");
        c.Reply("213 " + std::to_string(kContent.size()));
        break;
    case Job::Upload:
        c.ExpectLine("SIZE f.bin");
        c.Reply("550 No such file.");
        break;
    case Job::Stream:
        c.ExpectLine("");
        break;
    case Job::Size:
        c.ExpectLine("SIZE f.bin");
        return nullptr;  // the size has no transfer
    }
    c.ExpectLine("PASV");
    std::shared_ptr<PassiveData> data = c.OpenPassive();
    c.Send(data->PasvReply(address));
    if (job == Job::Download || job == Job::Stream) {
        c.ExpectLine("REST 0");
        c.Reply("350 Restarting at 0.");
    }
    const char* command = job == Job::List ? "LIST *" : job == Job::Upload ? "STOR f.bin" : "RETR f.bin";
    c.ExpectLine(command);
    return data;
}

// Sends the file (or listing) and confirms it; the data connection ends as
// told. The control connection stays until the client closes it.
void SendAndConfirm(ScriptedConnection& c, PassiveData& data, Job job, DataEnd end) {
    DataSendPlan plan;
    plan.bytes = job == Job::List ? kListing : kContent;
    plan.end = end;
    data.StartSending(plan);
    c.Reply("150 Opening BINARY mode data connection.");
    data.WaitDone(kServerTimeoutMs);
    c.Reply("226 Transfer complete.");
    c.WaitForClientClose(kServerTimeoutMs);
}

// What the host saw: the call's result in words, and the notices.
struct Outcome {
    std::string result;  // a listing that failed is an empty text, not null
    std::vector<intptr_t> errors;
    size_t completes = 0;
};

// Runs job's request as a host would, pumping the window and, when
// clockStepMs is not 0, moving the clock on by that much every 250 ms of
// waiting (the limits are never slept through). Bounded at 30 s.
class HostRun {
public:
    HostRun(uint16_t port, int clockStepMs) : m_ClockStepMs(clockStepMs) {
        m_Client->SetMessageWindow(m_Window.Handle());
        m_Client.ConnectTo(port);
    }

    Outcome Run(Job job) {
        Outcome outcome;
        std::future<std::string> call = Start(job);
        bool ended = Drive([&] {
            if (job == Job::Download || job == Job::Upload) return TransferEnded();
            return call.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
        });
        EXPECT_TRUE(ended) << "the request did not end";
        outcome.result = ended ? call.get() : "(still running)";
        m_Window.Drain();
        outcome.errors = m_Window.ParametersOf(WM_FTP_ERROR);
        outcome.completes = m_Window.ParametersOf(WM_FTP_COMPLETE).size();
        return outcome;
    }

    // The clock stays until released is set (by a script that moves it
    // itself); a request that ends before then is noted.
    void HoldClockUntil(const std::atomic<bool>* released) { m_pClockReleased = released; }
    bool EndedWhileClockHeld() const { return m_bEndedWhileHeld; }

private:
    bool ClockHeld() const { return m_pClockReleased != nullptr && !m_pClockReleased->load(); }

    // Drives the clock while condition is false; false when it never held.
    bool Drive(const std::function<bool()>& condition) {
        for (int round = 0; round < 600; ++round) {
            m_Window.Drain();
            bool held = ClockHeld();
            if (condition()) {
                m_bEndedWhileHeld = held;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (m_ClockStepMs != 0 && !held && round % 5 == 4) MoveClockBy(m_ClockStepMs);
        }
        return false;
    }

    std::future<std::string> Start(Job job) {
        CFtpClient* client = m_Client.get();
        switch (job) {
        case Job::Size:
            return std::async(std::launch::async, [client] {
                return std::to_string(client->GetRemoteFileSize("/f.bin"));
            });
        case Job::List:
            return std::async(std::launch::async, [client] {
                const char* listing = client->ListDirectory("/", "*");
                return std::string(listing != nullptr ? listing : "(null)");
            });
        case Job::Stream:
            return std::async(std::launch::async, [client] {
                std::string buffer(kContent.size(), '\0');
                unsigned got = 0;
                int result = client->ReadStream("/f.bin", (unsigned char*)&buffer[0], 0,
                                                (unsigned)buffer.size(), &got);
                bool right = got == kContent.size() && buffer == kContent;
                return std::to_string(result) + (right ? " all bytes right" : " wrong bytes");
            });
        case Job::Download: {
            int started = client->ReceiveFile("/f.bin", m_Folder.File("f.bin").c_str());
            std::string file = m_Folder.File("f.bin");
            return std::async(std::launch::deferred, [started, file] {
                bool right = transfertest::ReadWholeFile(file) == kContent;
                return std::to_string(started) + (right ? " file right" : " file wrong");
            });
        }
        case Job::Upload: {
            transfertest::WriteWholeFile(m_Folder.File("up.bin"), kContent);
            int started = client->SendFile(m_Folder.File("up.bin").c_str(), "f.bin");
            return std::async(std::launch::deferred, [started] { return std::to_string(started); });
        }
        }
        return {};
    }

    bool TransferEnded() const {
        for (const testhost::Notice& n : m_Window.Collected()) {
            if (n.message == WM_FTP_COMPLETE || n.message == WM_FTP_ERROR) return true;
        }
        return false;
    }

    const int m_ClockStepMs;
    const std::atomic<bool>* m_pClockReleased = nullptr;
    bool m_bEndedWhileHeld = false;
    transfertest::TempFolder m_Folder;
    MessageWindow m_Window;
    Client m_Client;
};

void PrintTo(Job job, std::ostream* os) {
    const char* names[] = {"Size", "List", "Download", "Stream", "Upload"};
    *os << names[(int)job];
}

}  // namespace

// ---- A passive reply that announces another address -------------------------------

struct ElsewhereCase {
    Job job;
    bool dataAccepted;  // the client reached the server's data side after all
    const char* result;
    std::vector<intptr_t> errors;
    size_t completes;
};

class AnnouncedElsewhere : public testing::TestWithParam<ElsewhereCase> {};

// The readers race the announced address against the server's own and get
// their data; the upload connects to the announced address only, so it
// never reaches the data side and gives the connection up at the limit.
TEST_P(AnnouncedElsewhere, ReadersFallBackToTheServerAndTheUploadGivesUp) {
    const ElsewhereCase& param = GetParam();
    ClockOffsetGuard restoreClock;
    ScriptedFtpServer server(kServerTimeoutMs);
    std::shared_ptr<PassiveData> data;
    server.OnConnection(0, [&](ScriptedConnection& c) {
        c.Login();
        data = OpenTransfer(c, param.job, kElsewhere);
        if (param.job != Job::Upload) return SendAndConfirm(c, *data, param.job, DataEnd::Close);
        data->StartReceiving({});
        c.Reply("150 Ok to send data.");
        c.WaitForClientClose(kServerTimeoutMs);
    });
    Outcome outcome;
    {
        HostRun host(server.Port(), param.job == Job::Upload ? 85000 : 0);
        outcome = host.Run(param.job);
    }
    EXPECT_EQ(param.result, outcome.result);
    EXPECT_EQ(param.errors, outcome.errors);
    EXPECT_EQ(param.completes, outcome.completes);
    ASSERT_TRUE(server.WaitForScripts(kServerTimeoutMs)) << server.Describe();
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(param.dataAccepted, data->WaitAccepted(0));
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, AnnouncedElsewhere,
    testing::Values(ElsewhereCase{Job::List, true, kListing.c_str(), {}, 0},
                    ElsewhereCase{Job::Download, true, "1 file right", {}, 1},
                    ElsewhereCase{Job::Stream, true, "1 all bytes right", {}, 0},
                    ElsewhereCase{Job::Upload, false, "1", {FTPE_TIMEOUT}, 0}),
    [](const testing::TestParamInfo<ElsewhereCase>& info) {
        std::ostringstream name;
        PrintTo(info.param.job, &name);
        return name.str();
    });

// ---- Replies flooded without a line feed ----------------------------------------------

struct FloodCase {
    const char* name;
    Job job;
    bool inLogin;  // at the greeting; otherwise as the answer to the transfer command
    int limitMs;   // the limit that applies once the flood is over
    const char* result;
    std::vector<intptr_t> errors;
    int connections;  // ReadStream tries three times
};

class RepliesWithoutLineFeed : public testing::TestWithParam<FloodCase> {};

// 64 KiB of text that never forms a reply line: the reply fields keep the
// newest text within their size (AddressSanitizer watches), nothing is acted
// on, and once the flood is over the call ends at the step's limit.
TEST_P(RepliesWithoutLineFeed, FieldsHoldAndTheCallEndsAtTheLimit) {
    const FloodCase& param = GetParam();
    ClockOffsetGuard restoreClock;
    ScriptedFtpServer server(kServerTimeoutMs);
    const std::string flood(kFloodBytes, 'x');
    // Every connection, so that ReadStream's retries meet the same server.
    server.OnEveryConnection([&](ScriptedConnection& c) {
        if (!param.inLogin) {
            c.Login();
            std::shared_ptr<PassiveData> data = OpenTransfer(c, param.job);
            if (data != nullptr) data->StartHolding();
        }
        c.Send(flood);
        c.WaitForClientClose(kServerTimeoutMs);
    });
    HostRun host(server.Port(), param.limitMs + 5000);
    Outcome outcome = host.Run(param.job);
    EXPECT_EQ(param.result, outcome.result);
    EXPECT_EQ(param.errors, outcome.errors);
    EXPECT_EQ(0u, outcome.completes);
    EXPECT_EQ(param.connections, server.AcceptedCount());
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, RepliesWithoutLineFeed,
    testing::Values(FloodCase{"Login", Job::Size, true, 120000, "-1", {FTPE_TIMEOUT}, 1},
                    FloodCase{"SizeReply", Job::Size, false, 80000, "0", {}, 1},
                    FloodCase{"ListReply", Job::List, false, 80000, "", {}, 1},
                    FloodCase{"DownloadReply", Job::Download, false, 80000, "1 file wrong",
                              {FTPE_TIMEOUT}, 1},
                    FloodCase{"StreamReply", Job::Stream, false, 80000, "0 wrong bytes", {}, 3}),
    [](const testing::TestParamInfo<FloodCase>& info) { return std::string(info.param.name); });

// ---- Replies trickled a byte a second ---------------------------------------------------

struct TrickleCase {
    const char* name;
    bool inLogin;
    int limitMs;
    const char* result;
    std::vector<intptr_t> errors;
};

class RepliesTrickled : public testing::TestWithParam<TrickleCase> {};

// Each byte is activity: three bytes a second apart, with the clock moved
// 70 s after each, keep the call alive well past its limit in total. Once
// the bytes stop, the limit ends it.
TEST_P(RepliesTrickled, EachByteIsActivityUntilTheyStop) {
    const TrickleCase& param = GetParam();
    ClockOffsetGuard restoreClock;
    ScriptedFtpServer server(kServerTimeoutMs);
    std::atomic<bool> trickled{false};
    server.OnConnection(0, [&](ScriptedConnection& c) {
        if (!param.inLogin) {
            c.Login();
            OpenTransfer(c, Job::Size);
        }
        for (char byte : std::string(param.inLogin ? "220" : "213")) {
            c.Send(std::string(1, byte));
            c.Pause(1000);
            MoveClockBy(70000);
        }
        trickled = true;
        c.WaitForClientClose(kServerTimeoutMs);
    });
    HostRun host(server.Port(), param.limitMs + 5000);
    host.HoldClockUntil(&trickled);
    Outcome outcome = host.Run(Job::Size);
    EXPECT_FALSE(host.EndedWhileClockHeld());
    EXPECT_EQ(param.result, outcome.result);
    EXPECT_EQ(param.errors, outcome.errors);
}

// A session that ends while logging in answers the size request with -1;
// the size worker's own failure is 0.
INSTANTIATE_TEST_SUITE_P(Hostile, RepliesTrickled,
                         testing::Values(TrickleCase{"Greeting", true, 120000, "-1", {FTPE_TIMEOUT}},
                                         TrickleCase{"SizeReply", false, 80000, "0", {}}),
                         [](const testing::TestParamInfo<TrickleCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- A data connection the server never closes -------------------------------------------

struct OpenDataCase {
    Job job;
    const char* result;
    std::vector<intptr_t> errors;
    size_t completes;
};

class DataNeverClosed : public testing::TestWithParam<OpenDataCase> {};

// Everything is sent and confirmed with "226 ", but the data connection
// stays open. A download knows its size and a stream read its length, so
// both finish; a listing takes the confirmation as its end once the data
// connection has had a short while to deliver the rest.
TEST_P(DataNeverClosed, EveryTransferFinishesWithItsData) {
    const OpenDataCase& param = GetParam();
    ClockOffsetGuard restoreClock;
    ScriptedFtpServer server(kServerTimeoutMs);
    server.OnConnection(0, [&](ScriptedConnection& c) {
        c.Login();
        std::shared_ptr<PassiveData> data = OpenTransfer(c, param.job);
        SendAndConfirm(c, *data, param.job, DataEnd::KeepOpen);
    });
    HostRun host(server.Port(), 85000);
    Outcome outcome = host.Run(param.job);
    EXPECT_EQ(param.result, outcome.result);
    EXPECT_EQ(param.errors, outcome.errors);
    EXPECT_EQ(param.completes, outcome.completes);
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, DataNeverClosed,
    testing::Values(OpenDataCase{Job::List, "-rw-r--r-- 1 ftp ftp 100000 Jan 01 00:00 f.bin\r\n", {}, 0},
                    OpenDataCase{Job::Download, "1 file right", {}, 1},
                    OpenDataCase{Job::Stream, "1 all bytes right", {}, 0}),
    [](const testing::TestParamInfo<OpenDataCase>& info) {
        std::ostringstream name;
        PrintTo(info.param.job, &name);
        return name.str();
    });
