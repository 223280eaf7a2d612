// What the shared platform code needs from each target's own part. Not for
// library code: it reaches the platform only through Platform.h.
#pragma once

#include <stdint.h>

#include <functional>

#include "Platform.h"

namespace plat {
namespace internal {

// The real UTC clock, in milliseconds since 1601-01-01, without the offset.
int64_t RealUtcMillisecondsSince1601();

// The real monotonic clock in milliseconds since a fixed point, without the
// offset.
int64_t RealMonotonicMilliseconds();

// The calendar reading of a millisecond count since 1601-01-01.
SYSTEMTIME MillisecondsToSystemTime(int64_t milliseconds);

// Runs body on a new thread nobody joins. FALSE when no thread could start
// (body is then not run).
BOOL StartDetachedThread(std::function<void()> body);

// Where debug text goes on this target besides the test hook.
void WriteToDebugger(const char* text);

// A thread's way to be woken from a select: a descriptor of its own that
// turns readable when signalled (an eventfd on Linux, a loopback datagram
// socket on Windows). Signal may be called from any thread.
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    bool IsValid() const { return m_hSocket != INVALID_SOCKET; }
    SOCKET Handle() const { return m_hSocket; }
    void Signal();
    // Makes it unreadable again; signals after this wake the next select.
    void Drain();

private:
    SOCKET m_hSocket;
};

// Called by SetEvent once the event is set: wakes every wait that watches it.
void WakeWatchersOf(HANDLE event);

}  // namespace internal
}  // namespace plat
