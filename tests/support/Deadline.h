// Time limits for the scripted server's waits. Every wait is cut into short
// slices so that a stop request (the server shutting down, a data side told
// to close) is noticed promptly and no wait outlives its limit.
#pragma once

#include <chrono>
#include <functional>

namespace scripted {

// Answers true once the waiting should end early.
using StopCheck = std::function<bool()>;

class Deadline {
public:
    explicit Deadline(int milliseconds);

    bool Passed() const;
    int RemainingMs() const;
    // The next single wait: the time left, at most one slice.
    int NextSliceMs() const;

    static constexpr int kSliceMs = 20;

private:
    std::chrono::steady_clock::time_point m_End;
};

// Sleeps unless stop() turns true first; false when it did.
bool SleepUnless(int milliseconds, const StopCheck& stop);

}  // namespace scripted
