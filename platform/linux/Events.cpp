// Win32 events on std::mutex / std::condition_variable.
//
// All event state is guarded by one mutex, and every change wakes every
// waiter, which then rechecks its own events. The library runs a handful of
// threads, so the extra wake-ups cost nothing measurable, and a wait on
// several events needs no per-waiter bookkeeping.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "../common/PlatformInternal.h"
#include "HandleTable.h"
#include "Platform.h"

namespace plat {
namespace {

const DWORD kMaximumWaitObjects = 64;  // MAXIMUM_WAIT_OBJECTS on Win32
const int kNoneSignaled = -1;
const int kHandleClosed = -2;

struct Event {
    bool manualReset;
    bool signaled;
    bool closed;
    // Counts SetEvent calls: a waiter on a manual-reset event that was set
    // and reset again before the waiter ran is still released, as on Win32.
    uint64_t setCount;
};

struct WaitTarget {
    std::shared_ptr<Event> event;
    uint64_t setCountAtStart;
};

struct EventState {
    std::mutex mutex;
    std::condition_variable changed;
    HandleTable<Event> handles;
};

// Never destroyed: detached threads may still wait while statics are torn down.
EventState& State() {
    static EventState* state = new EventState;
    return *state;
}

uintptr_t IdOf(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

template <typename Change>
BOOL ChangeEvent(HANDLE handle, Change change) {
    const std::shared_ptr<Event> event = State().handles.Find(IdOf(handle));
    if (!event) return FALSE;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        change(*event);
    }
    State().changed.notify_all();
    return TRUE;
}

bool IsSatisfied(const WaitTarget& target) {
    const Event& event = *target.event;
    return event.signaled || (event.manualReset && event.setCount != target.setCountAtStart);
}

// Called with the state mutex held. An auto-reset event is consumed by the
// one waiter it releases.
int TakeFirstSignaled(std::vector<WaitTarget>& targets) {
    for (const WaitTarget& target : targets) {
        if (target.event->closed) return kHandleClosed;
    }
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!IsSatisfied(targets[i])) continue;
        if (!targets[i].event->manualReset) targets[i].event->signaled = false;
        return static_cast<int>(i);
    }
    return kNoneSignaled;
}

bool ResolveTargets(DWORD count, const HANDLE* handles, std::vector<WaitTarget>* targets) {
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<Event> event = State().handles.Find(IdOf(handles[i]));
        if (!event) return false;
        targets->push_back(WaitTarget{std::move(event), 0});
    }
    return true;
}

DWORD WaitForAny(DWORD count, const HANDLE* handles, DWORD milliseconds) {
    std::vector<WaitTarget> targets;
    if (!ResolveTargets(count, handles, &targets)) return WAIT_FAILED;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(State().mutex);
    for (WaitTarget& target : targets) target.setCountAtStart = target.event->setCount;
    int taken = kNoneSignaled;
    const auto isDone = [&] { return (taken = TakeFirstSignaled(targets)) != kNoneSignaled; };
    if (milliseconds == 0) {
        // A poll: look, never sleep in the kernel for an expired deadline.
        if (!isDone()) return WAIT_TIMEOUT;
    } else if (milliseconds == INFINITE) {
        State().changed.wait(lock, isDone);
    } else if (!State().changed.wait_until(lock, deadline, isDone)) {
        return WAIT_TIMEOUT;
    }
    return taken == kHandleClosed ? WAIT_FAILED : WAIT_OBJECT_0 + static_cast<DWORD>(taken);
}

}  // namespace

HANDLE CreateEventA(void* /*securityAttributes*/, BOOL manualReset, BOOL initialState,
                    const char* name) {
    if (name) return nullptr;
    const uintptr_t id = State().handles.Insert(std::make_shared<Event>(
        Event{manualReset != FALSE, initialState != FALSE, false, 0}));
    return reinterpret_cast<HANDLE>(id);
}

BOOL SetEvent(HANDLE event) {
    const BOOL changed = ChangeEvent(event, [](Event& e) {
        e.signaled = true;
        ++e.setCount;
    });
    if (changed) internal::WakeWatchersOf(event);
    return changed;
}

BOOL ResetEvent(HANDLE event) {
    return ChangeEvent(event, [](Event& e) { e.signaled = false; });
}

BOOL CloseHandle(HANDLE handle) {
    const std::shared_ptr<Event> event = State().handles.Remove(IdOf(handle));
    if (!event) return FALSE;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        event->closed = true;
    }
    State().changed.notify_all();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForAny(1, &handle, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
    if (waitAll || !handles || count == 0 || count > kMaximumWaitObjects) return WAIT_FAILED;
    return WaitForAny(count, handles, milliseconds);
}

}  // namespace plat
