// Every call into the library must return. Each host thread marks the call
// it is in; a watchdog thread ends the whole run with a report when one has
// lasted longer than the limit, instead of letting the soak hang.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CallWatchdog {
public:
    CallWatchdog(int slots, int limitSeconds, uint64_t seed);
    ~CallWatchdog();

    void Begin(int slot, const char* call, uint64_t step);
    void End(int slot);

private:
    struct Slot {
        std::mutex lock;
        const char* call = nullptr;
        uint64_t step = 0;
        std::chrono::steady_clock::time_point since;
    };
    void Watch();

    const int m_LimitSeconds;
    const uint64_t m_Seed;
    std::vector<Slot> m_Slots;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};
