#include "ProcessProbe.h"

#include "tools/common/ProcessCounts.h"

#include <chrono>

namespace {

void RaiseTo(std::atomic<int>& peak, int value) {
    int seen = peak.load();
    while (value > seen && !peak.compare_exchange_weak(seen, value)) {
    }
}

}  // namespace

void ProcessProbe::Start() {
    m_Sampler = std::thread([this] {
        while (!m_Stop.load()) {
            Sample();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

void ProcessProbe::Stop() {
    m_Stop = true;
    if (m_Sampler.joinable()) m_Sampler.join();
    Sample();
}

void ProcessProbe::Sample() {
    RaiseTo(m_PeakDescriptors, processcounts::OpenDescriptors());
    RaiseTo(m_PeakThreads, processcounts::Threads());
}
