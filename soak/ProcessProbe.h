// What the soak watches of its own process (Linux /proc): open
// descriptors, threads and resident memory, with the peaks a sampler saw.
#pragma once

#include <atomic>
#include <thread>

class ProcessProbe {
public:
    static int OpenDescriptors();
    static int Threads();
    static long ResidentKiB();

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
