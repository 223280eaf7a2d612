#include "CallWatchdog.h"

#include <stdio.h>
#include <stdlib.h>

CallWatchdog::CallWatchdog(int slots, int limitSeconds, uint64_t seed)
    : m_LimitSeconds(limitSeconds), m_Seed(seed), m_Slots(slots) {
    m_Thread = std::thread([this] { Watch(); });
}

CallWatchdog::~CallWatchdog() {
    m_Stop = true;
    m_Thread.join();
}

void CallWatchdog::Begin(int slot, const char* call, uint64_t step) {
    std::lock_guard<std::mutex> hold(m_Slots[slot].lock);
    m_Slots[slot].call = call;
    m_Slots[slot].step = step;
    m_Slots[slot].since = std::chrono::steady_clock::now();
}

void CallWatchdog::End(int slot) {
    std::lock_guard<std::mutex> hold(m_Slots[slot].lock);
    m_Slots[slot].call = nullptr;
}

void CallWatchdog::Watch() {
    const auto limit = std::chrono::seconds(m_LimitSeconds);
    while (!m_Stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        auto now = std::chrono::steady_clock::now();
        for (size_t i = 0; i < m_Slots.size(); ++i) {
            std::lock_guard<std::mutex> hold(m_Slots[i].lock);
            if (m_Slots[i].call == nullptr || now - m_Slots[i].since < limit) continue;
            fprintf(stderr,
                    "WATCHDOG: host %zu has been in %s (step %llu) for over %d s; seed %llu\n", i,
                    m_Slots[i].call, (unsigned long long)m_Slots[i].step, m_LimitSeconds,
                    (unsigned long long)m_Seed);
            fflush(stderr);
            abort();
        }
    }
}
