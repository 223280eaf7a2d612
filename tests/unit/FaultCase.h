// One case of the fault matrix: a request run by a host against a scripted
// server, and everything checked about how it ended.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "tests/support/ScriptedFtpServer.h"
#include "tests/unit/HostDriver.h"

namespace faultcase {

struct Expected {
    const char* result;  // as hostdriver::Outcome words it
    std::vector<intptr_t> errors;
    size_t completes;
    int connections;  // control connections the request opened
};

// Runs job against script (on every connection), moving the clock by
// clockStepMs while waiting, and checks the outcome, the connections, and
// that the process is back to its threads and descriptors afterwards.
void RunAndCheck(hostdriver::Job job, const scripted::ConnectionScript& script, int clockStepMs,
                 const Expected& expected);

}  // namespace faultcase
