#include "NotificationWindow.h"

#include <chrono>

namespace {

const char kWindowClass[] = "FtpGatewayNotifications";
const UINT kMarkerMessage = WM_USER + 0x51;
const UINT kStopMessage = WM_USER + 0x52;
// A pump that does not answer a marker within this long is stuck; the
// caller then goes on without the notices.
const std::chrono::seconds kSettleLimit(5);

LRESULT CALLBACK GatewayWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hWnd, message, wParam, lParam);
}

}  // namespace

NotificationWindow::NotificationWindow() {
    m_Thread = std::thread([this] { Pump(); });
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Changed.wait(lock, [this] { return m_bReady; });
}

NotificationWindow::~NotificationWindow() {
    if (m_hWnd != nullptr) PostMessageA(m_hWnd, kStopMessage, 0, 0);
    m_Thread.join();
}

// Messages queue on the thread that made the window, so it is made here.
void NotificationWindow::Pump() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = GatewayWindowProc;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, kWindowClass, "ftpgateway", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  nullptr, nullptr);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_hWnd = window;
        m_bReady = true;
    }
    m_Changed.notify_all();
    if (window == nullptr) return;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (msg.message == kStopMessage) break;
        OnMessage(msg);
    }
    DestroyWindow(window);
}

void NotificationWindow::OnMessage(const MSG& msg) {
    switch (msg.message) {
    case WM_FTP_ERROR: {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Errors[(IFtpClient*)msg.wParam] = (int)msg.lParam;
        break;
    }
    case kMarkerMessage: {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (msg.wParam > m_nHandledMarkers) m_nHandledMarkers = msg.wParam;
        m_Changed.notify_all();
        break;
    }
    default: DispatchMessageA(&msg); break;
    }
}

void NotificationWindow::Settle() {
    if (m_hWnd == nullptr) return;
    std::unique_lock<std::mutex> lock(m_Mutex);
    unsigned long marker = ++m_nPostedMarkers;
    if (!PostMessageA(m_hWnd, kMarkerMessage, (WPARAM)marker, 0)) return;
    m_Changed.wait_for(lock, kSettleLimit, [&] { return m_nHandledMarkers >= marker; });
}

void NotificationWindow::Forget(IFtpClient* client) {
    Settle();
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Errors.erase(client);
}

int NotificationWindow::ErrorOf(IFtpClient* client) {
    Settle();
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto found = m_Errors.find(client);
    return found == m_Errors.end() ? 0 : found->second;
}
