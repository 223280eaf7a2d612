// One case of the fault matrix: a request run by a host against a scripted
// server, and everything checked about how it ended.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <vector>

#include "tests/support/ScriptedFtpServer.h"
#include "tests/integration/HostDriver.h"

namespace faultcase {

struct Expected {
    const char* result;  // as hostdriver::Outcome words it; "N" stands for any count
    std::vector<intptr_t> errors;
    size_t completes;
    int connections;  // control connections the request opened
    int lastError = -1;  // GetLastErrorCode after the call; -1: not looked at
};

// Runs job against script (on every connection) and checks the outcome, the
// connections, that the server saw every command its script expected, and
// that the process is back to its threads and descriptors afterwards. While
// waiting, the clock moves on by clockStepMs, once faultInjected (when given)
// is set: a limit must not end an earlier step.
void RunAndCheck(hostdriver::Job job, const scripted::ConnectionScript& script, int clockStepMs,
                 const Expected& expected, const std::atomic<bool>* faultInjected = nullptr);

}  // namespace faultcase
