#include "Deadline.h"

#include <algorithm>
#include <thread>

namespace scripted {

Deadline::Deadline(int milliseconds)
    : m_End(std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0))) {}

bool Deadline::Passed() const {
    return std::chrono::steady_clock::now() >= m_End;
}

int Deadline::RemainingMs() const {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_End - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

int Deadline::NextSliceMs() const {
    return std::min(RemainingMs(), kSliceMs);
}

bool SleepUnless(int milliseconds, const StopCheck& stop) {
    Deadline deadline(milliseconds);
    while (!stop()) {
        if (deadline.Passed()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(deadline.NextSliceMs(), 1)));
    }
    return false;
}

}  // namespace scripted
