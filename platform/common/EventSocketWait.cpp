// Waiting for "an event is set, or a socket is ready" in one wait. Events
// are not descriptors on either target, so a wait that watches events
// registers its thread's waker with them; SetEvent signals the wakers
// registered for its event, and the waker's descriptor, selected beside
// the sockets, ends the wait.
//
// No wake-up can be lost: a wait registers before it looks at its events,
// and SetEvent changes the event before it looks for watchers. Either the
// look sees the event set, or the setter sees the registration.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "PlatformInternal.h"

namespace plat {
namespace {

// Without a waker (no descriptor to be had) events are looked at this often.
const DWORD kEventSliceWithoutWakerMs = 1;

struct Watch {
    HANDLE event;
    internal::Waker* waker;
};

std::mutex g_WatchLock;
std::vector<Watch> g_Watches;
std::atomic<int> g_nWatches(0);

// Registered for the scope of one wait.
class WatchScope {
public:
    WatchScope(DWORD count, const HANDLE* events, internal::Waker* waker)
        : m_nCount(waker != nullptr ? count : 0), m_pWaker(waker) {
        if (m_nCount == 0) return;
        std::lock_guard<std::mutex> lock(g_WatchLock);
        for (DWORD i = 0; i < m_nCount; ++i) g_Watches.push_back(Watch{events[i], waker});
        g_nWatches += (int)m_nCount;
    }
    ~WatchScope() {
        if (m_nCount == 0) return;
        std::lock_guard<std::mutex> lock(g_WatchLock);
        g_Watches.erase(std::remove_if(g_Watches.begin(), g_Watches.end(),
                                       [this](const Watch& w) { return w.waker == m_pWaker; }),
                        g_Watches.end());
        g_nWatches -= (int)m_nCount;
    }
    WatchScope(const WatchScope&) = delete;
    WatchScope& operator=(const WatchScope&) = delete;

private:
    const DWORD m_nCount;
    internal::Waker* const m_pWaker;
};

// The thread's waker, made at its first wait; null when none can be made.
internal::Waker* WakerOfThisThread() {
    thread_local std::unique_ptr<internal::Waker> waker;
    if (!waker) waker.reset(new internal::Waker);
    return waker->IsValid() ? waker.get() : nullptr;
}

DWORD TakeSetEvent(DWORD count, const HANDLE* events) {
    if (count == 0) return WAIT_TIMEOUT;
    return WaitForMultipleObjects(count, events, FALSE, 0);
}

// Fills the sockets' found flags; true when any was found ready.
bool NoteReadySockets(const SocketSet& readSet, const SocketSet& writeSet, SocketWait* sockets,
                      DWORD count) {
    bool any = false;
    for (DWORD i = 0; i < count; ++i) {
        sockets[i].readable = sockets[i].read && readSet.Contains(sockets[i].socket);
        sockets[i].writable = sockets[i].write && writeSet.Contains(sockets[i].socket);
        any = any || sockets[i].readable || sockets[i].writable;
    }
    return any;
}

class Deadline {
public:
    explicit Deadline(DWORD milliseconds)
        : m_bInfinite(milliseconds == INFINITE),
          m_End(std::chrono::steady_clock::now() + std::chrono::milliseconds(
                                                       m_bInfinite ? 0 : milliseconds)) {}
    // Rounded up: a part of a millisecond left is a millisecond's wait, not
    // none (rounded down, a wait of 1 ms polled without waiting at all, and
    // a worker waiting that long spun on its sockets).
    DWORD Remaining() const {
        if (m_bInfinite) return INFINITE;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            m_End - std::chrono::steady_clock::now());
        return left.count() > 0 ? (DWORD)left.count() : 0;
    }

private:
    const bool m_bInfinite;
    const std::chrono::steady_clock::time_point m_End;
};

}  // namespace

namespace internal {

void WakeWatchersOf(HANDLE event) {
    if (g_nWatches.load() == 0) return;
    std::lock_guard<std::mutex> lock(g_WatchLock);
    for (const Watch& watch : g_Watches) {
        if (watch.event == event) watch.waker->Signal();
    }
}

}  // namespace internal

DWORD WaitForEventsAndSockets(DWORD eventCount, const HANDLE* events, SocketWait* sockets,
                              DWORD socketCount, DWORD milliseconds) {
    for (DWORD i = 0; i < socketCount; ++i) sockets[i].readable = sockets[i].writable = false;
    internal::Waker* waker = eventCount > 0 ? WakerOfThisThread() : nullptr;
    WatchScope watch(eventCount, events, waker);
    const Deadline deadline(milliseconds);
    for (;;) {
        if (waker != nullptr) waker->Drain();
        DWORD taken = TakeSetEvent(eventCount, events);
        if (taken != WAIT_TIMEOUT) return taken;
        SocketSet readSet;
        SocketSet writeSet;
        for (DWORD i = 0; i < socketCount; ++i) {
            if (sockets[i].read) readSet.Add(sockets[i].socket);
            if (sockets[i].write) writeSet.Add(sockets[i].socket);
        }
        DWORD slice = deadline.Remaining();
        if (readSet.Count() + writeSet.Count() == 0) {
            if (eventCount == 0) {
                Sleep(slice);
                return WAIT_TIMEOUT;
            }
            return WaitForMultipleObjects(eventCount, events, FALSE, slice);
        }
        if (waker != nullptr) {
            readSet.Add(waker->Handle());
        } else if (eventCount > 0) {
            slice = std::min(slice, kEventSliceWithoutWakerMs);
        }
        if (select(&readSet, &writeSet, nullptr, slice) < 0) return WAIT_FAILED;
        bool ready = NoteReadySockets(readSet, writeSet, sockets, socketCount);
        taken = TakeSetEvent(eventCount, events);
        if (taken != WAIT_TIMEOUT) return taken;
        if (ready) return kWaitSocketsReady;
        if (deadline.Remaining() == 0) return WAIT_TIMEOUT;
    }
}

}  // namespace plat
