// The tool's message window and its message loop. The library posts its
// notifications (WM_FTP_*) to this window; the pump reads them on the thread
// that created it, the tool's main thread, and remembers the outcome of the
// running operation. A blocking library call can run on a second thread
// while the main thread pumps, as a media host's player thread reads while
// its window thread shows the buffering state.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "IFtpClient.h"
#include "tools/common/HostMessageWindow.h"

class NotificationPump {
public:
    enum Outcome { kCompleted, kFailed, kTimedOut, kInterrupted };

    NotificationPump();
    NotificationPump(const NotificationPump&) = delete;
    NotificationPump& operator=(const NotificationPump&) = delete;

    // Null when the window could not be created.
    HWND Window() const { return m_Window.Handle(); }

    void OnProgress(std::function<void(int percent)> handler) { m_OnProgress = std::move(handler); }
    void OnBuffering(std::function<void(int percent)> handler) {
        m_OnBuffering = std::move(handler);
    }

    // Handles every message queued so far.
    void Drain();
    // Pumps until a completion or error notice, the limit, or Ctrl-C.
    Outcome WaitForOutcome(std::chrono::milliseconds limit);
    // Runs call on a thread of its own and pumps until it returns.
    template <typename Call>
    auto RunWhilePumping(Call call) -> decltype(call());

    // The FTPE_ code of the newest WM_FTP_ERROR, 0 when none came.
    int ErrorCode() const { return m_nErrorCode; }
    bool Completed() const { return m_bCompleted; }
    // Forgets the outcome before the next operation.
    void Reset();

    // Ctrl-C sets the flag every wait looks at; the tool then releases its
    // client object on the ordinary way out.
    static void CatchInterrupts();
    static bool Interrupted();

private:
    static constexpr std::chrono::milliseconds kPumpInterval{5};

    void Handle(const MSG& msg);

    HostMessageWindow m_Window;
    std::function<void(int)> m_OnProgress;
    std::function<void(int)> m_OnBuffering;
    int m_nErrorCode;
    bool m_bCompleted;
};

// The wait ends as soon as the call returns, so the time a read is seen to
// take is its own.
template <typename Call>
auto NotificationPump::RunWhilePumping(Call call) -> decltype(call()) {
    std::packaged_task<decltype(call())()> task(std::move(call));
    std::future<decltype(call())> result = task.get_future();
    std::thread caller(std::move(task));
    while (result.wait_for(kPumpInterval) != std::future_status::ready) Drain();
    caller.join();
    Drain();
    return result.get();
}
