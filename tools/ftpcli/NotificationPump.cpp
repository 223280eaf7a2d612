#include "NotificationPump.h"

#include <signal.h>

#include <atomic>

namespace {

const char kWindowClass[] = "FtpCliNotifications";

std::atomic<bool> g_Interrupted(false);

LRESULT CALLBACK NotificationWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hWnd, message, wParam, lParam);
}

HWND CreateNotificationWindow() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = NotificationWindowProc;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, kWindowClass, "ftpcli", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                           nullptr);
}

void OnInterruptSignal(int) {
    g_Interrupted = true;
}

}  // namespace

NotificationPump::NotificationPump()
    : m_hWnd(CreateNotificationWindow()), m_nErrorCode(0), m_bCompleted(false) {}

NotificationPump::~NotificationPump() {
    if (m_hWnd != nullptr) DestroyWindow(m_hWnd);
}

void NotificationPump::Reset() {
    m_nErrorCode = 0;
    m_bCompleted = false;
}

// A null window filter reads the window's messages and the thread's own
// queue, where the library posts buffering notices when it has no window.
void NotificationPump::Drain() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) Handle(msg);
}

void NotificationPump::Handle(const MSG& msg) {
    switch (msg.message) {
    case WM_FTP_PROGRESS:
        if (m_OnProgress) m_OnProgress((int)msg.lParam);
        break;
    case WM_FTP_BUFFERING:
        if (m_OnBuffering) m_OnBuffering((int)msg.wParam);
        break;
    case WM_FTP_COMPLETE: m_bCompleted = true; break;
    case WM_FTP_ERROR: m_nErrorCode = (int)msg.lParam; break;
    default: DispatchMessageA(&msg); break;
    }
}

NotificationPump::Outcome NotificationPump::WaitForOutcome(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        Drain();
        if (m_nErrorCode != 0) return kFailed;
        if (m_bCompleted) return kCompleted;
        if (Interrupted()) return kInterrupted;
        if (std::chrono::steady_clock::now() >= deadline) return kTimedOut;
        std::this_thread::sleep_for(kPumpInterval);
    }
}

void NotificationPump::CatchInterrupts() {
    signal(SIGINT, OnInterruptSignal);
}

bool NotificationPump::Interrupted() {
    return g_Interrupted;
}
