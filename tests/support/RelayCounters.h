// What the network relay has passed on and done, counted as it happens.
// Bytes are counted when the relay sent them on, not when it read them.
#pragma once

#include <atomic>
#include <cstdint>

namespace relay {

// A copy taken at one moment.
struct RelayCounts {
    uint64_t controlToServer = 0;
    uint64_t controlToClient = 0;
    uint64_t dataToServer = 0;
    uint64_t dataToClient = 0;
    int controlConnections = 0;  // paired with the server
    int dataConnections = 0;     // paired with the server
    int passiveRepliesRewritten = 0;
    int dataResets = 0;     // by RelayFaults::resetDataAfterBytes
    int controlCloses = 0;  // by RelayFaults::closeControlOnVerb
};

class RelayCounters {
public:
    RelayCounts Snapshot() const {
        RelayCounts counts;
        counts.controlToServer = controlToServer.load();
        counts.controlToClient = controlToClient.load();
        counts.dataToServer = dataToServer.load();
        counts.dataToClient = dataToClient.load();
        counts.controlConnections = controlConnections.load();
        counts.dataConnections = dataConnections.load();
        counts.passiveRepliesRewritten = passiveRepliesRewritten.load();
        counts.dataResets = dataResets.load();
        counts.controlCloses = controlCloses.load();
        return counts;
    }

    std::atomic<uint64_t> controlToServer{0};
    std::atomic<uint64_t> controlToClient{0};
    std::atomic<uint64_t> dataToServer{0};
    std::atomic<uint64_t> dataToClient{0};
    std::atomic<int> controlConnections{0};
    std::atomic<int> dataConnections{0};
    std::atomic<int> passiveRepliesRewritten{0};
    std::atomic<int> dataResets{0};
    std::atomic<int> controlCloses{0};
};

}  // namespace relay
