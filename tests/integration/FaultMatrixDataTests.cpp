// The fault matrix, continued: passive replies that cannot be used, data
// connections that end early, by a reset or late, reply texts that are
// overlong, carry NUL bytes or name other codes in their text, replies cut
// into small pieces, and a stream's refused restart point. Same checks as the step-by-step cases: the
// exact result, the exact notices, the call's return, and nothing left
// behind. docs/fault-matrix.md lists the cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ScriptedFtpServer.h"
#include "tests/integration/FaultCase.h"
#include "tests/integration/HostDriver.h"
#include "tests/integration/ServerConversation.h"

using conversation::Step;
using hostdriver::Job;
using scripted::DataEnd;
using scripted::DataSendPlan;
using scripted::PassiveData;
using scripted::ScriptedConnection;

namespace {

const int kServerTimeoutMs = 30000;
const size_t kHalf = 50000;  // of the 100000-byte file

using faultcase::Expected;
using faultcase::RunAndCheck;

const intptr_t kBadReply = FTPE_BADREPLY, kTimeout = FTPE_TIMEOUT, kTransferFail = FTPE_TRANSFERFAIL;

// ---- Passive replies that cannot be used -----------------------------------------------

enum class Pasv { NoParentheses, TooFewCommas, NotNumbers, PortAbove65535 };

std::string PasvText(Pasv kind, uint16_t port) {
    const std::string hi = std::to_string(port / 256), lo = std::to_string(port % 256);
    switch (kind) {
    case Pasv::NoParentheses:
        return "227 Entering Passive Mode 127,0,0,1," + hi + "," + lo + "\r\n";
    case Pasv::TooFewCommas:
        return "227 Entering Passive Mode (127,0,0,1," + hi + ")\r\n";
    case Pasv::NotNumbers:
        return "227 Entering Passive Mode (a,b,c,d,e,f)\r\n";
    case Pasv::PortAbove65535:
        // The high byte plus 256: the port wraps round to the real one.
        return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256 + 256) + "," + lo +
               ")\r\n";
    }
    return {};
}

struct PasvCase {
    Job job;
    Pasv kind;
    Expected expected;
};

class UnusablePassiveReply : public testing::TestWithParam<PasvCase> {};

// A reply that cannot be parsed ends the request at once: no transfer
// command goes out without a data connection (an upload would leave an
// empty file behind). A port above 65535 wraps round.
TEST_P(UnusablePassiveReply, EndsAtTheRefusalOrWrapsThePort) {
    const PasvCase& param = GetParam();
    auto script = [&](ScriptedConnection& c) {
        c.Login();
        const std::vector<Step> steps = conversation::JobSteps(param.job);
        size_t pasv = 0;
        while (!conversation::IsPassive(steps[pasv])) ++pasv;
        conversation::PlaySteps(c, steps, pasv);
        conversation::AwaitCommand(c, steps[pasv]);
        std::shared_ptr<PassiveData> data = c.OpenPassive();
        c.Send(PasvText(param.kind, data->Port()));
        if (param.kind != Pasv::PortAbove65535) {
            c.WaitForClientClose(kServerTimeoutMs);
            return;
        }
        // The steps after PASV, up to the transfer command.
        const std::vector<Step> rest(steps.begin() + pasv + 1, steps.end() - 1);
        conversation::PlaySteps(c, rest, rest.size());
        conversation::AwaitCommand(c, steps.back());
        conversation::SendAndConfirm(c, *data, param.job, DataEnd::Close);
    };
    RunAndCheck(param.job, script, 0, param.expected);
}

std::string PasvCaseName(const testing::TestParamInfo<PasvCase>& info) {
    const char* kinds[] = {"NoParentheses", "TooFewCommas", "NotNumbers", "PortAbove65535"};
    return std::string(hostdriver::JobName(info.param.job)) + "_" + kinds[(int)info.param.kind];
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, UnusablePassiveReply,
    testing::Values(
        PasvCase{Job::List, Pasv::NoParentheses, {"", {}, 0, 1}},
        PasvCase{Job::List, Pasv::TooFewCommas, {"", {}, 0, 1}},
        PasvCase{Job::List, Pasv::NotNumbers, {"", {}, 0, 1}},
        PasvCase{Job::List, Pasv::PortAbove65535, {hostdriver::kListing, {}, 0, 1}},
        PasvCase{Job::Download, Pasv::NoParentheses, {"1 file no bytes", {kBadReply}, 0, 1}},
        PasvCase{Job::Download, Pasv::TooFewCommas, {"1 file no bytes", {kBadReply}, 0, 1}},
        PasvCase{Job::Download, Pasv::NotNumbers, {"1 file no bytes", {kBadReply}, 0, 1}},
        PasvCase{Job::Download, Pasv::PortAbove65535, {"1 file all bytes right", {}, 1, 1}},
        PasvCase{Job::Upload, Pasv::NoParentheses, {"1", {kBadReply}, 0, 1}},
        PasvCase{Job::Upload, Pasv::TooFewCommas, {"1", {kBadReply}, 0, 1}},
        PasvCase{Job::Upload, Pasv::NotNumbers, {"1", {kBadReply}, 0, 1}},
        PasvCase{Job::Upload, Pasv::PortAbove65535, {"1", {}, 1, 1}},
        PasvCase{Job::Stream, Pasv::NoParentheses, {"0 no bytes", {}, 0, 1}},
        PasvCase{Job::Stream, Pasv::TooFewCommas, {"0 no bytes", {}, 0, 1}},
        PasvCase{Job::Stream, Pasv::NotNumbers, {"0 no bytes", {}, 0, 1}},
        PasvCase{Job::Stream, Pasv::PortAbove65535, {"1 all bytes right", {}, 0, 1}}),
    PasvCaseName);

// ---- Data connections that end early, by a reset, or late -------------------------------

enum class DataFault { EarlyClose, EarlyReset, LateClose, EarlyCloseThenAborted };

struct DataCase {
    Job job;
    DataFault fault;
    Expected expected;
};

class DataConnectionFault : public testing::TestWithParam<DataCase> {};

// Early: half the file (20 bytes of a listing), then the data connection
// ends and the server claims success ("226 ") after a close, or reports the
// reset ("426 "), or closes in order and then reports the transfer aborted
// ("426 "). Late: all of it and "226 ", and the data connection ends a
// second later. (After a reset, how much of what came before it the client
// still reads is the system's affair: any count of the file's first bytes.)
// A download knows its size and never completes short; a
// stream read has no size to hold the data against and is served with what
// came, as at the end of a file.
TEST_P(DataConnectionFault, ShortDataIsNeverComplete) {
    const DataCase& param = GetParam();
    auto script = [&](ScriptedConnection& c) {
        c.Login();
        std::shared_ptr<PassiveData> data = conversation::PlayUpToLastReply(c, param.job);
        DataSendPlan plan;
        plan.bytes = param.job == Job::List ? std::string(hostdriver::kListing) : hostdriver::kContent;
        if (param.fault != DataFault::LateClose) plan.endAfterBytes = param.job == Job::List ? 20 : kHalf;
        bool closes = param.fault == DataFault::EarlyClose || param.fault == DataFault::EarlyCloseThenAborted;
        plan.end = closes ? DataEnd::Close : DataEnd::KeepOpen;
        data->StartSending(plan);
        c.Reply("150 Opening BINARY mode data connection.");
        data->WaitDone(kServerTimeoutMs);
        if (param.fault == DataFault::EarlyReset) {
            // The client reads what came before the reset, and meets the
            // reset before the reply that reports it.
            c.Pause(300);
            data->Reset();
            c.Pause(300);
            c.Reply("426 Connection reset; transfer aborted.");
        } else if (param.fault == DataFault::EarlyCloseThenAborted) {
            c.Pause(300);
            c.Reply("426 Connection closed; transfer aborted.");
        } else {
            c.Reply("226 Transfer complete.");
        }
        if (param.fault == DataFault::LateClose) {
            c.Pause(1000);
            data->Close();
        }
        c.WaitForClientClose(kServerTimeoutMs);
    };
    RunAndCheck(param.job, script, 0, param.expected);
}

std::string DataCaseName(const testing::TestParamInfo<DataCase>& info) {
    const char* faults[] = {"EarlyClose", "EarlyReset", "LateClose", "EarlyCloseThenAborted"};
    return std::string(hostdriver::JobName(info.param.job)) + "_" + faults[(int)info.param.fault];
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, DataConnectionFault,
    testing::Values(
        DataCase{Job::List, DataFault::EarlyClose, {"-rw-r--r-- 1 ftp ftp", {}, 0, 1}},
        DataCase{Job::List, DataFault::EarlyReset, {"", {}, 0, 1}},
        DataCase{Job::List, DataFault::LateClose, {hostdriver::kListing, {}, 0, 1}},
        DataCase{Job::Download, DataFault::EarlyClose, {"1 file 50000 bytes right", {kTransferFail}, 0, 1}},
        DataCase{Job::Download, DataFault::EarlyReset, {"1 file N bytes right", {kTransferFail}, 0, 1}},
        DataCase{Job::Download, DataFault::LateClose, {"1 file all bytes right", {}, 1, 1}},
        DataCase{Job::Stream, DataFault::EarlyClose, {"1 50000 bytes right", {}, 0, 1}},
        // A reset is no end of the file: the read fails, and each retry
        // (a new connection) meets the same reset.
        DataCase{Job::Stream, DataFault::EarlyReset, {"0 no bytes", {}, 0, 3}},
        DataCase{Job::Stream, DataFault::LateClose, {"1 all bytes right", {}, 0, 1}},
        // An orderly close is no end of the file either when the server then
        // reports the transfer aborted: a transient failure, retried.
        DataCase{Job::Stream, DataFault::EarlyCloseThenAborted, {"0 no bytes", {}, 0, 3}}),
    DataCaseName);

// ---- Reply texts: overlong, and with NUL bytes ---------------------------------------------

struct TextCase {
    const char* name;
    Job job;
    bool atGreeting;    // the text is the greeting; otherwise the answer to the request's first command
    std::string reply;  // sent as it stands
    Expected expected;
};

class ReplyText : public testing::TestWithParam<TextCase> {};

// Text is judged by what it says, however long and whatever bytes it holds,
// at once (the clock stays, so a reply not understood would leave the
// request running); the reply fields hold (AddressSanitizer watches).
TEST_P(ReplyText, IsJudgedByItsCodeWhateverItsLengthOrBytes) {
    const TextCase& param = GetParam();
    auto script = [&](ScriptedConnection& c) {
        if (param.atGreeting) {
            c.Send(param.reply);
            const std::vector<Step> steps = conversation::AllSteps(param.job);
            const std::vector<Step> afterGreeting(steps.begin() + 1, steps.end());
            conversation::PlaySteps(c, afterGreeting, afterGreeting.size());
        } else {
            c.Login();
            conversation::AwaitCommand(c, conversation::JobSteps(param.job).front());
            c.Send(param.reply);
        }
        c.WaitForClientClose(kServerTimeoutMs);
    };
    RunAndCheck(param.job, script, 0, param.expected);
}

const std::string kLong(400, 'x');
const std::string kNul(1, '\0');

INSTANTIATE_TEST_SUITE_P(
    Matrix, ReplyText,
    testing::Values(
        TextCase{"LongGreetingLines", Job::Size, true,
                 "220-" + kLong + "\r\n220-" + kLong + "\r\n220 ready\r\n", {"100000", {}, 0, 1}},
        TextCase{"LongGreetingLine", Job::Size, true, "220 " + kLong + "\r\n", {"100000", {}, 0, 1}},
        TextCase{"NulInGreeting", Job::Size, true, "220 ready" + kNul + "ok\r\n", {"100000", {}, 0, 1}},
        TextCase{"LongSizeLine", Job::Size, false, "213 100000 " + kLong + "\r\n", {"100000", {}, 0, 1}},
        TextCase{"LongLinesBeforeSize", Job::Size, false, "213-" + kLong + "\r\n213 100000\r\n", {"100000", {}, 0, 1}},
        TextCase{"NulBeforeSize", Job::Size, false, kNul + "213 100000\r\n", {"100000", {}, 0, 1}},
        TextCase{"NulInSizeLine", Job::Size, false, "213 100000" + kNul + "\r\n", {"100000", {}, 0, 1}},
        TextCase{"LongDeleteLine", Job::Delete, false, "250 " + kLong + "\r\n", {"1", {}, 1, 1}},
        TextCase{"NulInDeleteLine", Job::Delete, false, "250 Deleted" + kNul + "\r\n", {"1", {}, 1, 1}},
        TextCase{"LongRefusalLine", Job::Delete, false, "550 " + kLong + "\r\n", {"0", {kBadReply}, 0, 1}},
        TextCase{"LongMakeDirLine", Job::MakeDir, false, "257 \"/d\" " + kLong + "\r\n", {"1", {}, 0, 1}},
        // Sizes the 32-bit result cannot or must not carry as a file's size:
        // one beyond its range is given as its largest value.
        TextCase{"SizeZero", Job::Size, false, "213 0\r\n", {"0", {}, 0, 1}},
        TextCase{"SizeNegative", Job::Size, false, "213 -5\r\n", {"-1", {}, 0, 1}},
        TextCase{"SizeBeyond31Bits", Job::Size, false, "213 3000000000\r\n", {"2147483647", {}, 0, 1}},
        TextCase{"DownloadSizeZero", Job::Download, false, "213 0\r\n", {"1 file no bytes", {kBadReply}, 0, 1}},
        TextCase{"DownloadSizeNegative", Job::Download, false, "213 -5\r\n", {"1 file no bytes", {kBadReply}, 0, 1}},
        // Refusals whose text holds what looks like another code (media
        // names carry numbers): only the code at the line's start counts.
        TextCase{"SizeRefusalNamingASize", Job::Size, false, "550 /tv/Show 213 12.mkv: No such file\r\n", {"-1", {}, 0, 1}},
        TextCase{"DeleteRefusalNamingADeletion", Job::Delete, false, "550 Can't delete /tv/Episode 250 .mkv\r\n", {"0", {kBadReply}, 0, 1}},
        TextCase{"RemoveDirRefusalNamingARemoval", Job::RemoveDir, false, "550 /tv/Show 250 x: Directory not empty\r\n", {"0", {}, 0, 1}},
        TextCase{"MakeDirRefusalNamingACreation", Job::MakeDir, false, "451 /tv/Show 257 x: try later\r\n", {"0", {}, 0, 1}}),
    [](const testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

// ---- Replies cut into 7-byte pieces ----------------------------------------------------

// A slow or busy link can deliver a reply in pieces of any size: every reply
// of the conversation, the login's included, goes out 7 bytes at a time.
const size_t kPieceBytes = 7;
const int kPiecePauseMs = 2;

void SendInPieces(ScriptedConnection& c, const std::string& text) {
    std::vector<std::string> pieces;
    for (size_t at = 0; at < text.size(); at += kPieceBytes) pieces.push_back(text.substr(at, kPieceBytes));
    c.SendChunks(pieces, kPiecePauseMs);
}

struct PieceCase {
    Job job;
    Expected expected;
};

class RepliesInPieces : public testing::TestWithParam<PieceCase> {};

// Each reply is acted on once its line has ended, never on its first piece
// (a "227 " acted on early has no address yet). The upload's data is
// compared on the server, which answers "226 " only when every byte is
// right.
TEST_P(RepliesInPieces, EveryRequestGetsItsOutcome) {
    const PieceCase& param = GetParam();
    auto script = [&](ScriptedConnection& c) {
        const std::vector<Step> steps = conversation::AllSteps(param.job);
        bool transfer = steps.back().reply.empty();
        size_t answered = transfer ? steps.size() - 1 : steps.size();
        std::shared_ptr<PassiveData> data;
        for (size_t i = 0; i < answered; ++i) {
            conversation::AwaitCommand(c, steps[i]);
            if (conversation::IsPassive(steps[i])) {
                data = c.OpenPassive();
                SendInPieces(c, data->PasvReply());
            } else if (!steps[i].reply.empty()) {
                SendInPieces(c, steps[i].reply + "\r\n");
            }
        }
        if (transfer && data != nullptr) {
            conversation::AwaitCommand(c, steps.back());
            if (param.job == Job::Upload) {
                data->StartReceiving({});
            } else {
                DataSendPlan plan;
                plan.bytes = param.job == Job::List ? std::string(hostdriver::kListing) : hostdriver::kContent;
                data->StartSending(plan);
            }
            SendInPieces(c, "150 Opening BINARY mode data connection.\r\n");
            data->WaitDone(kServerTimeoutMs);
            bool right = param.job != Job::Upload || data->Received() == hostdriver::kContent;
            SendInPieces(c, right ? "226 Transfer complete.\r\n" : "451 Bytes differ.\r\n");
        }
        c.WaitForClientClose(kServerTimeoutMs);
    };
    RunAndCheck(param.job, script, 0, param.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, RepliesInPieces,
    testing::Values(PieceCase{Job::List, {hostdriver::kListing, {}, 0, 1}},
                    PieceCase{Job::Download, {"1 file all bytes right", {}, 1, 1}},
                    PieceCase{Job::Upload, {"1", {}, 1, 1}}),
    [](const testing::TestParamInfo<PieceCase>& info) {
        return std::string(hostdriver::JobName(info.param.job));
    });

// ---- A stream's restart point refused ----------------------------------------------------

struct RestartCase {
    const char* name;
    const char* refusal;
    int connections;
};

class StreamRestartRefused : public testing::TestWithParam<RestartCase> {};

// A read inside the file cannot go on without its restart point: the
// refusal ends each attempt at once. The RETR sent together with REST is
// served from the file's start, as a server does; none of those bytes may
// reach the read. A final refusal (5xx) is not retried, a transient one
// (4xx) is, on a new connection each time.
TEST_P(StreamRestartRefused, EndsEachAttemptWithoutTakingAByte) {
    const RestartCase& param = GetParam();
    const unsigned kStart = 1000;
    const std::string rest = "REST " + std::to_string(kStart);
    hostdriver::ClockOffsetGuard restoreClock;
    hostdriver::Outcome outcome;
    scripted::ScriptedFtpServer server(kServerTimeoutMs);
    server.OnEveryConnection([&](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("");
        c.ExpectLine("PASV");
        std::shared_ptr<PassiveData> data = c.OpenPassive();
        c.Send(data->PasvReply());
        c.ExpectLine(rest);
        // The file's start may well be on the data connection before the
        // client has read the refusal.
        std::vector<std::string> together = c.Silence(0);
        if (!together.empty() && together.front() == "RETR f.bin") {
            DataSendPlan plan;
            plan.bytes = hostdriver::kContent;
            plan.end = scripted::DataEnd::KeepOpen;
            data->StartSending(plan);
            data->WaitDone(kServerTimeoutMs);
        }
        c.Reply(param.refusal);
        if (!together.empty()) c.Reply("150 Opening BINARY mode data connection.");
        c.WaitForClientClose(kServerTimeoutMs);
    });
    {
        hostdriver::HostRun host(server.Port(), 0);
        host.StartStreamAt(kStart);
        outcome = host.Run(Job::Stream);
    }
    EXPECT_EQ("0 no bytes", outcome.result);
    EXPECT_EQ(std::vector<intptr_t>(), outcome.errors);
    EXPECT_EQ(param.connections, server.AcceptedCount());
    ASSERT_TRUE(server.WaitForScripts(kServerTimeoutMs)) << server.Describe();
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
    for (int i = 0; i < server.AcceptedCount(); ++i) {
        std::vector<std::string> commands = server.Commands(i);
        auto restAt = std::find(commands.begin(), commands.end(), rest);
        ASSERT_TRUE(restAt != commands.end()) << server.Describe();
        EXPECT_LE(commands.end() - restAt, 2) << server.Describe();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, StreamRestartRefused,
    testing::Values(RestartCase{"Final", "502 REST not implemented.", 1},
                    RestartCase{"Transient", "450 Restart not possible now.", 3}),
    [](const testing::TestParamInfo<RestartCase>& info) { return std::string(info.param.name); });

}  // namespace
