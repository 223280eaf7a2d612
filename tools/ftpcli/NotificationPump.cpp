#include "NotificationPump.h"

#include <signal.h>

#include <atomic>

namespace {

std::atomic<bool> g_Interrupted(false);

void OnInterruptSignal(int) {
    g_Interrupted = true;
}

}  // namespace

NotificationPump::NotificationPump()
    : m_Window("FtpCliNotifications", "ftpcli"), m_nErrorCode(0), m_bCompleted(false) {}

void NotificationPump::Reset() {
    m_nErrorCode = 0;
    m_bCompleted = false;
}

void NotificationPump::Drain() {
    m_Window.Drain([this](const MSG& msg) { Handle(msg); });
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
    m_Window.PumpUntil([this](const MSG& msg) { Handle(msg); },
                       [this] { return m_nErrorCode != 0 || m_bCompleted || Interrupted(); },
                       limit, kPumpInterval);
    if (m_nErrorCode != 0) return kFailed;
    if (m_bCompleted) return kCompleted;
    if (Interrupted()) return kInterrupted;
    return kTimedOut;
}

void NotificationPump::CatchInterrupts() {
    signal(SIGINT, OnInterruptSignal);
}

bool NotificationPump::Interrupted() {
    return g_Interrupted;
}
