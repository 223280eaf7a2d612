// The peaks of the soak's open descriptors and threads, sampled every few
// milliseconds (the counts themselves: tools/common/ProcessCounts).
#pragma once

#include <atomic>
#include <thread>

class ProcessProbe {
public:
    // Samples every few milliseconds until Stop().
    void Start();
    void Stop();
    int PeakDescriptors() const { return m_PeakDescriptors.load(); }
    int PeakThreads() const { return m_PeakThreads.load(); }

private:
    void Sample();

    std::atomic<bool> m_Stop{false};
    std::atomic<int> m_PeakDescriptors{0};
    std::atomic<int> m_PeakThreads{0};
    std::thread m_Sampler;
};
