#include "tools/common/HostMessageWindow.h"

namespace {

// The pump thread's own messages, outside the library's WM_FTP_ range.
const UINT kMarkerMessage = WM_USER + 0x51;
const UINT kStopMessage = WM_USER + 0x52;

LRESULT CALLBACK HostWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hWnd, message, wParam, lParam);
}

// A second registration of the same name is refused, and the window is
// made of the class registered first, with the same procedure.
HWND CreateHostWindow(const char* className, const char* title) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, className, title, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                           nullptr);
}

}  // namespace

HostMessageWindow::HostMessageWindow(const char* className, const char* title)
    : m_hWnd(CreateHostWindow(className, title)) {}

HostMessageWindow::~HostMessageWindow() {
    if (m_hWnd != nullptr) DestroyWindow(m_hWnd);
}

void HostMessageWindow::Drain(const Handler& handler) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) handler(msg);
}

bool HostMessageWindow::PumpUntil(const Handler& handler, const std::function<bool()>& done,
                                  std::chrono::milliseconds limit,
                                  std::chrono::milliseconds interval) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        Drain(handler);
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);
    }
}

HostMessageThread::HostMessageThread(const char* className, const char* title,
                                     HostMessageWindow::Handler handler)
    : m_Handler(std::move(handler)) {
    m_Thread = std::thread([this, className, title] { Pump(className, title); });
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Changed.wait(lock, [this] { return m_bReady; });
}

HostMessageThread::~HostMessageThread() {
    if (m_hWnd != nullptr) PostMessageA(m_hWnd, kStopMessage, 0, 0);
    m_Thread.join();
}

// Messages queue on the thread that made the window, so it is made here.
void HostMessageThread::Pump(const char* className, const char* title) {
    HostMessageWindow window(className, title);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_hWnd = window.Handle();
        m_bReady = true;
    }
    m_Changed.notify_all();
    if (window.Handle() == nullptr) return;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (msg.message == kStopMessage) break;
        if (msg.message != kMarkerMessage) {
            m_Handler(msg);
            continue;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (msg.wParam > m_nHandledMarkers) m_nHandledMarkers = msg.wParam;
        m_Changed.notify_all();
    }
}

// The pump hands on messages in the order they were posted, so once the
// marker posted here has come through, so has everything before it.
bool HostMessageThread::Settle(std::chrono::milliseconds limit) {
    if (m_hWnd == nullptr) return false;
    std::unique_lock<std::mutex> lock(m_Mutex);
    unsigned long marker = ++m_nPostedMarkers;
    if (!PostMessageA(m_hWnd, kMarkerMessage, (WPARAM)marker, 0)) return false;
    return m_Changed.wait_for(lock, limit, [&] { return m_nHandledMarkers >= marker; });
}
