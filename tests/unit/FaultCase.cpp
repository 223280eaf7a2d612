#include "tests/unit/FaultCase.h"

#include <gtest/gtest.h>

namespace faultcase {

namespace {

const int kServerTimeoutMs = 30000;
const int kResourcesSettleMs = 10000;

}  // namespace

void RunAndCheck(hostdriver::Job job, const scripted::ConnectionScript& script, int clockStepMs,
                 const Expected& expected) {
    hostdriver::ClockOffsetGuard restoreClock;
    const hostdriver::ProcessResources before = hostdriver::CountProcessResources();
    hostdriver::Outcome outcome;
    int connections = 0;
    {
        scripted::ScriptedFtpServer server(kServerTimeoutMs);
        server.OnEveryConnection(script);
        {
            hostdriver::HostRun host(server.Port(), clockStepMs);
            outcome = host.Run(job);
        }
        connections = server.AcceptedCount();
        EXPECT_TRUE(server.WaitForScripts(kServerTimeoutMs)) << server.Describe();
    }
    EXPECT_EQ(expected.result, outcome.result);
    EXPECT_EQ(expected.errors, outcome.errors);
    EXPECT_EQ(expected.completes, outcome.completes);
    EXPECT_EQ(expected.connections, connections);
    hostdriver::ProcessResources after;
    EXPECT_TRUE(hostdriver::ResourcesBackTo(before, kResourcesSettleMs, &after))
        << "threads " << before.threads << " -> " << after.threads << ", descriptors "
        << before.descriptors << " -> " << after.descriptors;
}

}  // namespace faultcase
