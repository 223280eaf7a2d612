#include "tests/integration/FaultCase.h"

#include <gtest/gtest.h>

#include <string>

namespace faultcase {

namespace {

const int kServerTimeoutMs = 30000;
const int kResourcesSettleMs = 10000;

// result with a count of bytes written as "N" when the expected text has one.
std::string AsExpected(const std::string& result, const std::string& expected) {
    size_t at = expected.find(" N bytes");
    if (at == std::string::npos) return result;
    size_t digits = result.find_first_not_of("0123456789", at + 1);
    if (result.compare(0, at + 1, expected, 0, at + 1) != 0 || digits == at + 1) return result;
    return result.substr(0, at + 1) + "N" + result.substr(digits);
}

}  // namespace

void RunAndCheck(hostdriver::Job job, const scripted::ConnectionScript& script, int clockStepMs,
                 const Expected& expected, const std::atomic<bool>* faultInjected) {
    hostdriver::ClockOffsetGuard restoreClock;
    const hostdriver::ProcessResources before = hostdriver::CountProcessResources();
    ASSERT_GT(before.threads, 0);
    if (hostdriver::DescriptorsCountable()) {
        ASSERT_GT(before.descriptors, 0);
    }
    hostdriver::Outcome outcome;
    int connections = 0;
    {
        scripted::ScriptedFtpServer server(kServerTimeoutMs);
        server.OnEveryConnection(script);
        {
            hostdriver::HostRun host(server.Port(), clockStepMs);
            if (faultInjected != nullptr) host.HoldClockUntil(faultInjected);
            outcome = host.Run(job);
        }
        connections = server.AcceptedCount();
        EXPECT_TRUE(server.WaitForScripts(kServerTimeoutMs)) << server.Describe();
        EXPECT_TRUE(server.Failures().empty()) << server.Describe();
    }
    EXPECT_EQ(expected.result, AsExpected(outcome.result, expected.result));
    EXPECT_EQ(expected.errors, outcome.errors);
    EXPECT_EQ(expected.completes, outcome.completes);
    EXPECT_EQ(expected.connections, connections);
    if (expected.lastError >= 0) {
        EXPECT_EQ(expected.lastError, outcome.lastError);
    }
    hostdriver::ProcessResources after;
    EXPECT_TRUE(hostdriver::ResourcesBackTo(before, kResourcesSettleMs, &after))
        << "threads " << before.threads << " -> " << after.threads << ", descriptors "
        << before.descriptors << " -> " << after.descriptors;
}

}  // namespace faultcase
