// The fault matrix: every request broken at every step of its conversation,
// in the ways a server lets a client down: it closes the control
// connection, it announces the end of its service ("421 ") and closes, it
// falls silent, or it refuses the command and keeps the connection. For
// each case: the exact result of the host's call, the exact notices, that
// the call returned (within its limit, reached by moving the clock), how
// many connections the request made, and that no thread or descriptor is
// left behind. docs/fault-matrix.md lists the cases.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "tests/support/ScriptedFtpServer.h"
#include "tests/integration/FaultCase.h"
#include "tests/integration/HostDriver.h"
#include "tests/integration/ServerConversation.h"

using conversation::Step;
using hostdriver::Job;
using scripted::ScriptedConnection;

namespace {

const int kServerTimeoutMs = 30000;
const int kBeyondEveryLimitMs = 125000;  // the login's 120 s and the workers' 80 s
// After a refusal the server keeps the connection longer than the host waits
// for the call (30 s): only the client can end the request in time.
const int kRefusalHoldMs = 40000;

// A refusal keeps the control connection: only the client can end the
// request then, and it must do so at once (the clock stays).
enum class Fault { Close, ServiceEnd, Silence, Refused4xx, Refused5xx, RefusedInPieces, NotLoggedIn };

// Whether the request ends as soon as it sees the fault, or only when its
// inactivity limit runs out (the test then moves the clock).
enum class Ends { AtOnce, AtLimit };

const size_t kGreeting = 0, kUser = 1, kPass = 2, kType = 3, kCwd = 4;
const size_t kFirstJobStep = 5;

struct MatrixCase {
    Job job;
    size_t step;  // in conversation::AllSteps(job)
    Fault fault;
    Ends ends;
    const char* result;  // as hostdriver::Outcome words it
    std::vector<intptr_t> errors;
    int connections;
    int lastError = -1;  // GetLastErrorCode on the calling thread; -1: not looked at
};

void Inject(ScriptedConnection& c, Fault fault) {
    switch (fault) {
    case Fault::Close:
        c.Close();
        break;
    case Fault::ServiceEnd:
        c.Reply("421 Service not available, closing control connection.");
        c.Silence(100);  // take what the client still sends, so the close is orderly
        c.Close();
        break;
    case Fault::Silence:
        c.WaitForClientClose(kServerTimeoutMs);
        break;
    case Fault::Refused4xx:
        c.Reply("451 Requested action aborted: local error in processing.");
        c.WaitForClientClose(kRefusalHoldMs);
        break;
    case Fault::Refused5xx:
        c.Reply("550 Requested action not taken.");
        c.WaitForClientClose(kRefusalHoldMs);
        break;
    case Fault::RefusedInPieces: {
        // A refusal longer than a receive, cut into 7-byte pieces.
        std::string refusal = "550 " + std::string(300, 'x') + "\r\n";
        std::vector<std::string> pieces;
        for (size_t at = 0; at < refusal.size(); at += 7) pieces.push_back(refusal.substr(at, 7));
        c.SendChunks(pieces, 2);
        c.WaitForClientClose(kRefusalHoldMs);
        break;
    }
    case Fault::NotLoggedIn:
        c.Reply("530 Not logged in.");
        c.WaitForClientClose(kRefusalHoldMs);
        break;
    }
}

std::string StepName(const Step& step) {
    if (step.command == nullptr) return "Greeting";
    std::string name;
    for (const char* p = step.command; *p != '\0' && *p != ' '; ++p) name += *p;
    return name.empty() ? "EmptyLine" : name + (std::string(step.command) == "TYPE A" ? "A" : "");
}

std::string CaseName(const testing::TestParamInfo<MatrixCase>& info) {
    const MatrixCase& param = info.param;
    const char* faults[] = {"Close",      "ServiceEnd",      "Silence",    "Refused4xx",
                            "Refused5xx", "RefusedInPieces", "NotLoggedIn"};
    Step step = conversation::AllSteps(param.job)[param.step];
    return std::string(hostdriver::JobName(param.job)) + "_" + StepName(step) + "_" +
           faults[(int)param.fault];
}

class FaultAtEveryStep : public testing::TestWithParam<MatrixCase> {};

TEST_P(FaultAtEveryStep, CallReturnsWithTheExactOutcomeAndLeavesNothingBehind) {
    const MatrixCase& param = GetParam();
    const std::vector<Step> steps = conversation::AllSteps(param.job);
    std::atomic<bool> injected{false};
    auto script = [&](ScriptedConnection& c) {
        conversation::PlaySteps(c, steps, param.step);
        conversation::AwaitCommand(c, steps[param.step]);
        injected = true;
        Inject(c, param.fault);
    };
    faultcase::RunAndCheck(param.job, script, param.ends == Ends::AtLimit ? kBeyondEveryLimitMs : 0,
                           {param.result, param.errors, 0, param.connections, param.lastError},
                           &injected);
}

const intptr_t kNotConnect = FTPE_NOTCONNECT, kBadReply = FTPE_BADREPLY, kTimeout = FTPE_TIMEOUT,
               kTransferFail = FTPE_TRANSFERFAIL, kLoginFail = FTPE_LOGINFAIL;
// GetLastErrorCode: a server that closed or announced its end is gone (2),
// whatever the notices say.
const int kGone = FTPE_NOTCONNECT, kSilent = FTPE_TIMEOUT, kRefusal = FTPE_BADREPLY,
          kMidway = FTPE_TRANSFERFAIL, kAccount = FTPE_LOGINFAIL;

// The login, driven by a size request. A session that ends while logging in
// answers it with -1.
INSTANTIATE_TEST_SUITE_P(
    Login, FaultAtEveryStep,
    testing::Values(
        MatrixCase{Job::Size, kGreeting, Fault::Close, Ends::AtOnce, "-1", {}, 1, kGone},
        MatrixCase{Job::Size, kGreeting, Fault::ServiceEnd, Ends::AtOnce, "-1", {}, 1, kGone},
        MatrixCase{Job::Size, kGreeting, Fault::Silence, Ends::AtLimit, "-1", {kTimeout}, 1, kSilent},
        MatrixCase{Job::Size, kUser, Fault::Close, Ends::AtOnce, "-1", {}, 1, kGone},
        MatrixCase{Job::Size, kUser, Fault::ServiceEnd, Ends::AtOnce, "-1", {kNotConnect}, 1, kGone},
        MatrixCase{Job::Size, kUser, Fault::Silence, Ends::AtLimit, "-1", {kTimeout}, 1, kSilent},
        MatrixCase{Job::Size, kPass, Fault::Close, Ends::AtOnce, "-1", {}, 1, kGone},
        MatrixCase{Job::Size, kPass, Fault::ServiceEnd, Ends::AtOnce, "-1", {}, 1, kGone},
        MatrixCase{Job::Size, kPass, Fault::Silence, Ends::AtLimit, "-1", {kTimeout}, 1, kSilent},
        MatrixCase{Job::Size, kType, Fault::Close, Ends::AtOnce, "-1", {}, 1, kGone},
        MatrixCase{Job::Size, kType, Fault::ServiceEnd, Ends::AtOnce, "-1", {kNotConnect}, 1, kGone},
        MatrixCase{Job::Size, kType, Fault::Silence, Ends::AtLimit, "-1", {kTimeout}, 1, kSilent},
        MatrixCase{Job::Size, kCwd, Fault::Close, Ends::AtOnce, "-1", {}, 1, kGone},
        MatrixCase{Job::Size, kCwd, Fault::ServiceEnd, Ends::AtOnce, "-1", {kBadReply}, 1, kRefusal},
        MatrixCase{Job::Size, kCwd, Fault::Silence, Ends::AtLimit, "-1", {kTimeout}, 1, kSilent},
        // A refused account or type ends the login at once.
        MatrixCase{Job::Size, kUser, Fault::NotLoggedIn, Ends::AtOnce, "-1", {kLoginFail}, 1, kAccount},
        MatrixCase{Job::Size, kType, Fault::Refused5xx, Ends::AtOnce, "-1", {kBadReply}, 1, kRefusal},
        // A stream read retries what ended with a time-out, on a new session.
        MatrixCase{Job::Stream, kGreeting, Fault::Silence, Ends::AtLimit, "0 no bytes", {kTimeout, kTimeout, kTimeout}, 3, kSilent},
        MatrixCase{Job::Stream, kPass, Fault::Close, Ends::AtOnce, "0 no bytes", {}, 1, kGone}),
    CaseName);

// The synchronous requests' single command.
INSTANTIATE_TEST_SUITE_P(
    Requests, FaultAtEveryStep,
    testing::Values(
        MatrixCase{Job::Size, kFirstJobStep, Fault::Close, Ends::AtOnce, "-1", {}, 1, kGone},
        MatrixCase{Job::Size, kFirstJobStep, Fault::ServiceEnd, Ends::AtOnce, "-1", {}, 1, kGone},
        MatrixCase{Job::Size, kFirstJobStep, Fault::Silence, Ends::AtLimit, "-1", {}, 1, kSilent},
        MatrixCase{Job::Delete, kFirstJobStep, Fault::Close, Ends::AtOnce, "0", {}, 1, kGone},
        MatrixCase{Job::Delete, kFirstJobStep, Fault::ServiceEnd, Ends::AtOnce, "0", {kBadReply}, 1, kGone},
        MatrixCase{Job::Delete, kFirstJobStep, Fault::Silence, Ends::AtLimit, "0", {kTimeout}, 1, kSilent},
        MatrixCase{Job::MakeDir, kFirstJobStep, Fault::Close, Ends::AtOnce, "0", {}, 1, kGone},
        MatrixCase{Job::MakeDir, kFirstJobStep, Fault::ServiceEnd, Ends::AtOnce, "0", {}, 1, kGone},
        MatrixCase{Job::MakeDir, kFirstJobStep, Fault::Silence, Ends::AtLimit, "0", {}, 1, kSilent},
        MatrixCase{Job::RemoveDir, kFirstJobStep, Fault::Close, Ends::AtOnce, "0", {}, 1, kGone},
        MatrixCase{Job::RemoveDir, kFirstJobStep, Fault::ServiceEnd, Ends::AtOnce, "0", {}, 1, kGone},
        MatrixCase{Job::RemoveDir, kFirstJobStep, Fault::Silence, Ends::AtLimit, "0", {}, 1, kSilent}),
    CaseName);

// The listing: TYPE A, TYPE I, PASV, LIST. A failed listing is an empty text.
INSTANTIATE_TEST_SUITE_P(
    List, FaultAtEveryStep,
    testing::Values(
        MatrixCase{Job::List, kFirstJobStep, Fault::Close, Ends::AtOnce, "", {}, 1, kGone},
        MatrixCase{Job::List, kFirstJobStep, Fault::ServiceEnd, Ends::AtOnce, "", {}, 1, kGone},
        MatrixCase{Job::List, kFirstJobStep, Fault::Silence, Ends::AtLimit, "", {}, 1, kSilent},
        MatrixCase{Job::List, kFirstJobStep + 1, Fault::Close, Ends::AtOnce, "", {}, 1, kGone},
        MatrixCase{Job::List, kFirstJobStep + 1, Fault::ServiceEnd, Ends::AtOnce, "", {}, 1, kGone},
        MatrixCase{Job::List, kFirstJobStep + 1, Fault::Silence, Ends::AtLimit, "", {}, 1, kSilent},
        MatrixCase{Job::List, kFirstJobStep + 2, Fault::Close, Ends::AtOnce, "", {}, 1, kGone},
        MatrixCase{Job::List, kFirstJobStep + 2, Fault::ServiceEnd, Ends::AtOnce, "", {}, 1, kGone},
        MatrixCase{Job::List, kFirstJobStep + 2, Fault::Silence, Ends::AtLimit, "", {}, 1, kSilent},
        MatrixCase{Job::List, kFirstJobStep + 3, Fault::Close, Ends::AtOnce, "", {}, 1, kGone},
        MatrixCase{Job::List, kFirstJobStep + 3, Fault::ServiceEnd, Ends::AtOnce, "", {}, 1, kGone},
        MatrixCase{Job::List, kFirstJobStep + 3, Fault::Silence, Ends::AtLimit, "", {}, 1, kSilent},
        // Refusals end it at once, however the reply arrives.
        MatrixCase{Job::List, kFirstJobStep, Fault::Refused5xx, Ends::AtOnce, "", {}, 1, kRefusal},
        MatrixCase{Job::List, kFirstJobStep + 1, Fault::Refused5xx, Ends::AtOnce, "", {}, 1, kRefusal},
        MatrixCase{Job::List, kFirstJobStep + 2, Fault::Refused4xx, Ends::AtOnce, "", {}, 1, kRefusal},
        MatrixCase{Job::List, kFirstJobStep + 2, Fault::Refused5xx, Ends::AtOnce, "", {}, 1, kRefusal},
        MatrixCase{Job::List, kFirstJobStep + 3, Fault::RefusedInPieces, Ends::AtOnce, "", {}, 1, kRefusal}),
    CaseName);

// The download: SIZE, PASV, REST, RETR. The local file is created empty first.
INSTANTIATE_TEST_SUITE_P(
    Download, FaultAtEveryStep,
    testing::Values(
        MatrixCase{Job::Download, kFirstJobStep, Fault::Close, Ends::AtOnce, "1 file no bytes", {kTransferFail}, 1},
        MatrixCase{Job::Download, kFirstJobStep, Fault::ServiceEnd, Ends::AtOnce, "1 file no bytes", {kBadReply}, 1},
        MatrixCase{Job::Download, kFirstJobStep, Fault::Silence, Ends::AtLimit, "1 file no bytes", {kTimeout}, 1},
        MatrixCase{Job::Download, kFirstJobStep + 1, Fault::Close, Ends::AtOnce, "1 file no bytes", {kTransferFail}, 1},
        MatrixCase{Job::Download, kFirstJobStep + 1, Fault::ServiceEnd, Ends::AtOnce, "1 file no bytes", {kBadReply}, 1},
        MatrixCase{Job::Download, kFirstJobStep + 1, Fault::Silence, Ends::AtLimit, "1 file no bytes", {kTimeout}, 1},
        MatrixCase{Job::Download, kFirstJobStep + 2, Fault::Close, Ends::AtOnce, "1 file no bytes", {kTransferFail}, 1},
        MatrixCase{Job::Download, kFirstJobStep + 2, Fault::ServiceEnd, Ends::AtOnce, "1 file no bytes", {kTransferFail}, 1},
        MatrixCase{Job::Download, kFirstJobStep + 2, Fault::Silence, Ends::AtLimit, "1 file no bytes", {kTimeout}, 1},
        MatrixCase{Job::Download, kFirstJobStep + 3, Fault::Close, Ends::AtOnce, "1 file no bytes", {kTransferFail}, 1},
        MatrixCase{Job::Download, kFirstJobStep + 3, Fault::ServiceEnd, Ends::AtOnce, "1 file no bytes", {kBadReply}, 1},
        MatrixCase{Job::Download, kFirstJobStep + 3, Fault::Silence, Ends::AtLimit, "1 file no bytes", {kTimeout}, 1},
        // A refused PASV ends it at once (a refused "REST 0" does not:
        // Download/DownloadRefusedRestart).
        MatrixCase{Job::Download, kFirstJobStep + 1, Fault::Refused4xx, Ends::AtOnce, "1 file no bytes", {kBadReply}, 1},
        MatrixCase{Job::Download, kFirstJobStep + 1, Fault::Refused5xx, Ends::AtOnce, "1 file no bytes", {kBadReply}, 1}),
    CaseName);

// The upload: SIZE, PASV, STOR. It cannot finish without the control
// connection, so a lost one fails it at once.
INSTANTIATE_TEST_SUITE_P(
    Upload, FaultAtEveryStep,
    testing::Values(
        MatrixCase{Job::Upload, kFirstJobStep, Fault::Close, Ends::AtOnce, "1", {kTransferFail}, 1},
        MatrixCase{Job::Upload, kFirstJobStep, Fault::ServiceEnd, Ends::AtOnce, "1", {kBadReply}, 1},
        MatrixCase{Job::Upload, kFirstJobStep, Fault::Silence, Ends::AtLimit, "1", {kTimeout}, 1},
        MatrixCase{Job::Upload, kFirstJobStep + 1, Fault::Close, Ends::AtOnce, "1", {kTransferFail}, 1},
        MatrixCase{Job::Upload, kFirstJobStep + 1, Fault::ServiceEnd, Ends::AtOnce, "1", {kBadReply}, 1},
        MatrixCase{Job::Upload, kFirstJobStep + 1, Fault::Silence, Ends::AtLimit, "1", {kTimeout}, 1},
        MatrixCase{Job::Upload, kFirstJobStep + 2, Fault::Close, Ends::AtOnce, "1", {kTransferFail}, 1},
        MatrixCase{Job::Upload, kFirstJobStep + 2, Fault::ServiceEnd, Ends::AtOnce, "1", {kBadReply}, 1},
        MatrixCase{Job::Upload, kFirstJobStep + 2, Fault::Silence, Ends::AtLimit, "1", {kTimeout}, 1},
        // A refused PASV ends it at once.
        MatrixCase{Job::Upload, kFirstJobStep + 1, Fault::Refused4xx, Ends::AtOnce, "1", {kBadReply}, 1},
        MatrixCase{Job::Upload, kFirstJobStep + 1, Fault::Refused5xx, Ends::AtOnce, "1", {kBadReply}, 1}),
    CaseName);

// The stream: an empty line, PASV, REST, RETR. A read that failed with a
// lost connection (code 7) or a time-out (4) is tried three times in all,
// each on a new session, and so is a transient refusal (4xx, such as "421 ");
// other failures are not retried.
INSTANTIATE_TEST_SUITE_P(
    Stream, FaultAtEveryStep,
    testing::Values(
        MatrixCase{Job::Stream, kFirstJobStep, Fault::Close, Ends::AtOnce, "0 no bytes", {}, 3, kMidway},
        MatrixCase{Job::Stream, kFirstJobStep, Fault::ServiceEnd, Ends::AtOnce, "0 no bytes", {}, 3, kMidway},
        MatrixCase{Job::Stream, kFirstJobStep, Fault::Silence, Ends::AtLimit, "0 no bytes", {}, 3, kSilent},
        MatrixCase{Job::Stream, kFirstJobStep + 1, Fault::Close, Ends::AtOnce, "0 no bytes", {}, 3, kMidway},
        MatrixCase{Job::Stream, kFirstJobStep + 1, Fault::ServiceEnd, Ends::AtOnce, "0 no bytes", {}, 3, kMidway},
        MatrixCase{Job::Stream, kFirstJobStep + 1, Fault::Silence, Ends::AtLimit, "0 no bytes", {}, 3, kSilent},
        MatrixCase{Job::Stream, kFirstJobStep + 2, Fault::Close, Ends::AtOnce, "0 no bytes", {}, 3, kMidway},
        MatrixCase{Job::Stream, kFirstJobStep + 2, Fault::ServiceEnd, Ends::AtOnce, "0 no bytes", {}, 3, kMidway},
        MatrixCase{Job::Stream, kFirstJobStep + 2, Fault::Silence, Ends::AtLimit, "0 no bytes", {}, 3, kSilent},
        MatrixCase{Job::Stream, kFirstJobStep + 3, Fault::Close, Ends::AtOnce, "0 no bytes", {}, 3, kMidway},
        MatrixCase{Job::Stream, kFirstJobStep + 3, Fault::ServiceEnd, Ends::AtOnce, "0 no bytes", {}, 3, kMidway},
        MatrixCase{Job::Stream, kFirstJobStep + 3, Fault::Silence, Ends::AtLimit, "0 no bytes", {}, 3, kSilent},
        // A refusal ends each attempt at once; a final one (5xx) is not
        // retried, a transient one (4xx) is. ("REST 0" refused goes on with
        // RETR; REST inside the file: Matrix/StreamRestartRefused.)
        MatrixCase{Job::Stream, kFirstJobStep + 1, Fault::Refused4xx, Ends::AtOnce, "0 no bytes", {}, 3, kMidway},
        MatrixCase{Job::Stream, kFirstJobStep + 1, Fault::Refused5xx, Ends::AtOnce, "0 no bytes", {}, 1, kRefusal},
        MatrixCase{Job::Stream, kFirstJobStep + 3, Fault::Refused4xx, Ends::AtOnce, "0 no bytes", {}, 3, kMidway}),
    CaseName);

}  // namespace
