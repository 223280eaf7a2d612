// Servers that mean harm, or behave as if they did: a passive reply that
// points elsewhere, replies flooded without a line feed, replies trickled a
// byte a second, and a data connection that never closes. For each: the
// exact result the host's call returns, the exact notices posted, that the
// call ends within the library's limits (the clock hook moves time), and,
// under AddressSanitizer, that no reply field is overrun.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ScriptedFtpServer.h"
#include "tests/integration/HostDriver.h"
#include "tests/integration/ServerConversation.h"

using conversation::PlayUpToLastReply;
using conversation::SendAndConfirm;
using hostdriver::ClockOffsetGuard;
using hostdriver::HostRun;
using hostdriver::Job;
using hostdriver::MoveClockBy;
using hostdriver::Outcome;
using scripted::DataEnd;
using scripted::PassiveData;
using scripted::ScriptedConnection;
using scripted::ScriptedFtpServer;

namespace {

const int kServerTimeoutMs = 30000;
const size_t kFloodBytes = 64 * 1024;  // 250 times the reply field
// Loopback, where a decoy accepts and closes every connection at once.
const char kElsewhere[] = "127.0.0.2";

void PrintTo(Job job, std::ostream* os) {
    *os << hostdriver::JobName(job);
}

}  // namespace

// ---- A passive reply that announces another address -------------------------------

struct ElsewhereCase {
    Job job;
    const char* result;
    std::vector<intptr_t> errors;
    size_t completes;
};

class AnnouncedElsewhere : public testing::TestWithParam<ElsewhereCase> {};

// Every data connection takes the announced port at the server's own
// address: the decoy at the announced address is never reached, so it can
// neither cut a transfer short nor have its bytes taken for the file.
TEST_P(AnnouncedElsewhere, EveryRequestReachesTheServersOwnAddress) {
    const ElsewhereCase& param = GetParam();
    ClockOffsetGuard restoreClock;
    ScriptedFtpServer server(kServerTimeoutMs);
    std::shared_ptr<PassiveData> data;
    server.OnConnection(0, [&](ScriptedConnection& c) {
        c.Login();
        data = PlayUpToLastReply(c, param.job, kElsewhere);
        SendAndConfirm(c, *data, param.job, DataEnd::Close);
    });
    Outcome outcome;
    {
        HostRun host(server.Port(), 0);
        outcome = host.Run(param.job);
    }
    EXPECT_EQ(param.result, outcome.result);
    EXPECT_EQ(param.errors, outcome.errors);
    EXPECT_EQ(param.completes, outcome.completes);
    ASSERT_TRUE(server.WaitForScripts(kServerTimeoutMs)) << server.Describe();
    ASSERT_NE(nullptr, data);
    EXPECT_TRUE(data->WaitAccepted(0));
    EXPECT_EQ(0u, data->DecoyConnections());
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, AnnouncedElsewhere,
    testing::Values(ElsewhereCase{Job::List, hostdriver::kListing, {}, 0},
                    ElsewhereCase{Job::Download, "1 file all bytes right", {}, 1},
                    ElsewhereCase{Job::Stream, "1 all bytes right", {}, 0},
                    ElsewhereCase{Job::Upload, "1", {}, 1}),
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

// 64 KiB of text that never forms a reply line: the reply fields stay within
// their size (AddressSanitizer watches), nothing is acted
// on, and once the flood is over the call ends at the step's limit.
TEST_P(RepliesWithoutLineFeed, FieldsHoldAndTheCallEndsAtTheLimit) {
    const FloodCase& param = GetParam();
    ClockOffsetGuard restoreClock;
    ScriptedFtpServer server(kServerTimeoutMs);
    const std::string flood(kFloodBytes, 'x');
    // The clock moves only once this connection's flood is out: a login the
    // machine's load has slowed would otherwise meet its own limit first.
    std::atomic<bool> flooded{false};
    // Every connection, so that ReadStream's retries meet the same server.
    server.OnEveryConnection([&](ScriptedConnection& c) {
        flooded = false;
        if (!param.inLogin) {
            c.Login();
            std::shared_ptr<PassiveData> data = PlayUpToLastReply(c, param.job);
            if (data != nullptr) data->StartHolding();
        }
        c.Send(flood);
        flooded = true;
        c.WaitForClientClose(kServerTimeoutMs);
    });
    HostRun host(server.Port(), param.limitMs + 5000);
    host.HoldClockUntil(&flooded);
    Outcome outcome = host.Run(param.job);
    EXPECT_EQ(param.result, outcome.result);
    EXPECT_EQ(param.errors, outcome.errors);
    EXPECT_EQ(0u, outcome.completes);
    EXPECT_EQ(param.connections, server.AcceptedCount());
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, RepliesWithoutLineFeed,
    testing::Values(FloodCase{"Login", Job::Size, true, 120000, "-1", {FTPE_TIMEOUT}, 1},
                    FloodCase{"SizeReply", Job::Size, false, 80000, "-1", {}, 1},
                    FloodCase{"ListReply", Job::List, false, 80000, "", {}, 1},
                    FloodCase{"DownloadReply", Job::Download, false, 80000, "1 file no bytes",
                              {FTPE_TIMEOUT}, 1},
                    FloodCase{"StreamReply", Job::Stream, false, 80000, "0 no bytes", {}, 3}),
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
            PlayUpToLastReply(c, Job::Size);
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
                                         TrickleCase{"SizeReply", false, 80000, "-1", {}}),
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
        std::shared_ptr<PassiveData> data = PlayUpToLastReply(c, param.job);
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
                    OpenDataCase{Job::Download, "1 file all bytes right", {}, 1},
                    OpenDataCase{Job::Stream, "1 all bytes right", {}, 0}),
    [](const testing::TestParamInfo<OpenDataCase>& info) {
        std::ostringstream name;
        PrintTo(info.param.job, &name);
        return name.str();
    });
