// Windows and per-thread message queues inside one process (libwinmsg.so).
//
// One mutex guards every window, class and queue; window procedures run
// without it. Windows have no screen presence and receive no messages sent
// synchronously (no WM_CREATE or WM_DESTROY): only what is posted.
//
// Where Win32 leaves room, the behaviour follows what Wine was seen doing:
// FindWindowExA lists top-level windows newest first (each new top-level
// window goes to the top of the Z order) and child windows in creation order
// (a new child goes to the bottom); DestroyWindow also destroys child and
// owned windows and drops messages still queued for them; a message for a
// child window matches a PeekMessageA / GetMessageA filter naming its parent.
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "WinMessages.h"

namespace {

typedef uintptr_t WindowId;

// Class-name pointers below this value are atoms (MAKEINTATOM), as on Win32.
const uintptr_t kAtomLimit = 0x10000;
const ATOM kFirstAtom = 0xC000;

struct WindowClass {
    std::string name;
    WNDPROC procedure;
};

struct Window {
    ATOM classAtom;
    std::string title;
    WindowId parent;  // child windows only
    WindowId owner;   // top-level windows only; 0 for none
    std::thread::id thread;
};

struct MessageQueue {
    std::deque<MSG> posted;
    std::condition_variable arrived;
    bool quitPending = false;
    int quitCode = 0;
};

struct WindowState {
    std::mutex mutex;
    std::map<ATOM, WindowClass> classes;
    std::map<WindowId, Window> windows;  // ordered by id, that is by creation
    std::unordered_map<std::thread::id, MessageQueue> queues;
    ATOM nextAtom = kFirstAtom;
    WindowId nextWindow = 1;
};

// Never destroyed: threads may still post while statics are torn down.
WindowState& State() {
    static WindowState* state = new WindowState;
    return *state;
}

WindowId IdOf(HWND window) { return reinterpret_cast<WindowId>(window); }
HWND HandleOf(WindowId id) { return reinterpret_cast<HWND>(id); }

bool SameName(const std::string& name, const char* wanted) {
    return strcasecmp(name.c_str(), wanted) == 0;
}

DWORD TickCount() {
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
}

// All of the following run with the state mutex held.

const Window* FindWindowLocked(HWND window) {
    const auto found = State().windows.find(IdOf(window));
    return found == State().windows.end() ? nullptr : &found->second;
}

ATOM FindClassLocked(const char* nameOrAtom) {
    if (!nameOrAtom) return 0;
    const uintptr_t value = reinterpret_cast<uintptr_t>(nameOrAtom);
    if (value < kAtomLimit) {
        const ATOM atom = static_cast<ATOM>(value);
        return State().classes.count(atom) ? atom : 0;
    }
    for (const auto& entry : State().classes) {
        if (SameName(entry.second.name, nameOrAtom)) return entry.first;
    }
    return 0;
}

void ForgetThread(std::thread::id thread);

// A thread's windows are destroyed and its queue dropped when it ends, as
// on Win32; the first window or queue use of a thread arms this.
struct ThreadExitCleanup {
    ~ThreadExitCleanup() { ForgetThread(std::this_thread::get_id()); }
};

MessageQueue& OwnQueueLocked() {
    static thread_local ThreadExitCleanup cleanup;
    (void)cleanup;
    return State().queues[std::this_thread::get_id()];
}

WindowId TopLevelAncestorLocked(WindowId id) {
    while (const Window* window = FindWindowLocked(HandleOf(id))) {
        if (!window->parent) break;
        id = window->parent;
    }
    return id;
}

bool IsSelfOrDescendantLocked(WindowId id, WindowId ancestor) {
    while (id) {
        if (id == ancestor) return true;
        const Window* window = FindWindowLocked(HandleOf(id));
        if (!window) return false;
        id = window->parent;
    }
    return false;
}

// The window, its children and its owned windows, and theirs in turn.
std::vector<WindowId> WindowTreeLocked(WindowId root) {
    std::vector<WindowId> tree(1, root);
    for (size_t next = 0; next < tree.size(); ++next) {
        for (const auto& entry : State().windows) {
            const Window& window = entry.second;
            if (window.parent == tree[next] || window.owner == tree[next]) {
                tree.push_back(entry.first);
            }
        }
    }
    return tree;
}

void DropQueuedMessagesLocked(const Window& window, WindowId id) {
    const auto queue = State().queues.find(window.thread);
    if (queue == State().queues.end()) return;
    std::deque<MSG>& posted = queue->second.posted;
    posted.erase(std::remove_if(posted.begin(), posted.end(),
                                [id](const MSG& m) { return IdOf(m.hwnd) == id; }),
                 posted.end());
    // A GetMessageA filtered on the window must see that it is gone.
    queue->second.arrived.notify_all();
}

void DestroyTreeLocked(WindowId root) {
    for (WindowId id : WindowTreeLocked(root)) {
        const auto found = State().windows.find(id);
        if (found == State().windows.end()) continue;
        DropQueuedMessagesLocked(found->second, id);
        State().windows.erase(found);
    }
}

void ForgetThread(std::thread::id thread) {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::vector<WindowId> owned;
    for (const auto& entry : State().windows) {
        if (entry.second.thread == thread) owned.push_back(entry.first);
    }
    for (WindowId id : owned) DestroyTreeLocked(id);
    State().queues.erase(thread);
}

// Top-level windows newest first, child windows oldest first (see the top).
std::vector<WindowId> SiblingsLocked(WindowId parent) {
    std::vector<WindowId> siblings;
    for (const auto& entry : State().windows) {
        if (entry.second.parent == parent) siblings.push_back(entry.first);
    }
    if (!parent) std::reverse(siblings.begin(), siblings.end());
    return siblings;
}

bool MatchesSearch(const Window& window, ATOM classAtom, const char* windowName) {
    return (!classAtom || window.classAtom == classAtom) &&
           (!windowName || SameName(window.title, windowName));
}

bool MatchesFilter(const MSG& message, HWND window, UINT filterMin, UINT filterMax) {
    if (window && !IsSelfOrDescendantLocked(IdOf(message.hwnd), IdOf(window))) return false;
    if (filterMin == 0 && filterMax == 0) return true;
    return message.message >= filterMin && message.message <= filterMax;
}

// A pending quit comes after every posted message, whatever the filter.
bool TakeMessageLocked(MessageQueue& queue, MSG* message, HWND window, UINT filterMin,
                       UINT filterMax, bool remove) {
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if (!MatchesFilter(*it, window, filterMin, filterMax)) continue;
        *message = *it;
        if (remove) queue.posted.erase(it);
        return true;
    }
    if (!queue.quitPending) return false;
    *message = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, TickCount(), {0, 0}};
    if (remove) queue.quitPending = false;
    return true;
}

void PostLocked(MessageQueue& queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    queue.posted.push_back(MSG{window, message, wParam, lParam, TickCount(), {0, 0}});
    queue.arrived.notify_all();
}

}  // namespace

ATOM RegisterClassA(const WNDCLASSA* wc) {
    if (!wc || !wc->lpfnWndProc || reinterpret_cast<uintptr_t>(wc->lpszClassName) < kAtomLimit) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(State().mutex);
    if (FindClassLocked(wc->lpszClassName) || State().nextAtom == 0) return 0;
    const ATOM atom = State().nextAtom++;
    State().classes[atom] = WindowClass{wc->lpszClassName, wc->lpfnWndProc};
    return atom;
}

// A parent without WS_CHILD makes an owned top-level window; its owner is
// the parent's top-level ancestor, as on Win32.
HWND CreateWindowExA(DWORD /*exStyle*/, const char* className, const char* windowName,
                     DWORD style, int /*x*/, int /*y*/, int /*width*/, int /*height*/,
                     HWND parent, void* /*menu*/, HINSTANCE /*instance*/, void* /*param*/) {
    std::lock_guard<std::mutex> lock(State().mutex);
    const ATOM classAtom = FindClassLocked(className);
    const bool isChild = (style & WS_CHILD) != 0;
    if (!classAtom || (parent && !FindWindowLocked(parent)) || (isChild && !parent)) {
        return nullptr;
    }
    const WindowId parentId = isChild ? IdOf(parent) : 0;
    const WindowId ownerId = (!isChild && parent) ? TopLevelAncestorLocked(IdOf(parent)) : 0;
    OwnQueueLocked();
    const WindowId id = State().nextWindow++;
    State().windows[id] = Window{classAtom, windowName ? windowName : "", parentId, ownerId,
                                 std::this_thread::get_id()};
    return HandleOf(id);
}

// Only the thread that created a window may destroy it, as on Win32.
BOOL DestroyWindow(HWND hWnd) {
    std::lock_guard<std::mutex> lock(State().mutex);
    const Window* window = FindWindowLocked(hWnd);
    if (!window || window->thread != std::this_thread::get_id()) return FALSE;
    DestroyTreeLocked(IdOf(hWnd));
    return TRUE;
}

BOOL IsWindow(HWND hWnd) {
    std::lock_guard<std::mutex> lock(State().mutex);
    return FindWindowLocked(hWnd) ? TRUE : FALSE;
}

HWND FindWindowExA(HWND parent, HWND childAfter, const char* className,
                   const char* windowName) {
    std::lock_guard<std::mutex> lock(State().mutex);
    if (parent && !FindWindowLocked(parent)) return nullptr;
    const ATOM classAtom = FindClassLocked(className);
    if (className && !classAtom) return nullptr;
    const std::vector<WindowId> siblings = SiblingsLocked(IdOf(parent));
    auto next = siblings.begin();
    if (childAfter) {
        next = std::find(siblings.begin(), siblings.end(), IdOf(childAfter));
        if (next == siblings.end()) return nullptr;
        ++next;
    }
    for (; next != siblings.end(); ++next) {
        if (MatchesSearch(State().windows.at(*next), classAtom, windowName)) return HandleOf(*next);
    }
    return nullptr;
}

BOOL PostMessageA(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> lock(State().mutex);
    if (!hWnd) {
        PostLocked(OwnQueueLocked(), nullptr, msg, wParam, lParam);
        return TRUE;
    }
    const Window* window = FindWindowLocked(hWnd);
    if (!window) return FALSE;
    PostLocked(State().queues[window->thread], hWnd, msg, wParam, lParam);
    return TRUE;
}

BOOL PeekMessageA(MSG* msg, HWND hWnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
    if (!msg) return FALSE;
    std::lock_guard<std::mutex> lock(State().mutex);
    if (hWnd && !FindWindowLocked(hWnd)) return FALSE;
    return TakeMessageLocked(OwnQueueLocked(), msg, hWnd, filterMin, filterMax,
                             (removeMsg & PM_REMOVE) != 0);
}

// -1 (as on Win32) when the window filtered on is not, or no longer, a window.
BOOL GetMessageA(MSG* msg, HWND hWnd, UINT filterMin, UINT filterMax) {
    if (!msg) return -1;
    std::unique_lock<std::mutex> lock(State().mutex);
    MessageQueue& queue = OwnQueueLocked();
    bool windowGone = false;
    queue.arrived.wait(lock, [&] {
        windowGone = hWnd && !FindWindowLocked(hWnd);
        return windowGone || TakeMessageLocked(queue, msg, hWnd, filterMin, filterMax, true);
    });
    if (windowGone) return -1;
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

void PostQuitMessage(int exitCode) {
    std::lock_guard<std::mutex> lock(State().mutex);
    MessageQueue& queue = OwnQueueLocked();
    queue.quitPending = true;
    queue.quitCode = exitCode;
    queue.arrived.notify_all();
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (!msg || !msg->hwnd) return 0;
    WNDPROC procedure = nullptr;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        const Window* window = FindWindowLocked(msg->hwnd);
        if (!window) return 0;
        procedure = State().classes.at(window->classAtom).procedure;
    }
    return procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProcA(HWND /*hWnd*/, UINT /*msg*/, WPARAM /*wParam*/, LPARAM /*lParam*/) {
    return 0;
}
