#include "tests/unit/TestHost.h"

#include <chrono>
#include <thread>

#include "session/CFtpClientThread.h"

namespace testhost {

namespace {

const char kWindowClass[] = "FtpClientTestHostWindow";

#ifdef _WIN32
LRESULT CALLBACK HostWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hWnd, message, wParam, lParam);
}
#else
LRESULT HostWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hWnd, message, wParam, lParam);
}
#endif

void RegisterHostClass() {
    static bool registered = false;
    if (registered) return;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = HostWindowProc;
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    registered = true;
}

}  // namespace

MessageWindow::MessageWindow() {
    RegisterHostClass();
    m_hWnd = CreateWindowExA(0, kWindowClass, "test host", 0, 0, 0, 0, 0, nullptr, nullptr,
                             nullptr, nullptr);
}

MessageWindow::~MessageWindow() {
    DestroyWindow(m_hWnd);
}

std::vector<Notice> MessageWindow::Drain() {
    std::vector<Notice> fresh;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        Notice notice = {msg.message, (uintptr_t)msg.wParam, (intptr_t)msg.lParam};
        fresh.push_back(notice);
        m_Collected.push_back(notice);
    }
    return fresh;
}

bool MessageWindow::WaitFor(unsigned message, int timeoutMs) {
    return WaitUntil(
        [&] {
            Drain();
            for (const Notice& n : m_Collected) {
                if (n.message == message) return true;
            }
            return false;
        },
        timeoutMs);
}

std::vector<intptr_t> MessageWindow::ParametersOf(unsigned message) const {
    std::vector<intptr_t> values;
    for (const Notice& n : m_Collected) {
        if (n.message == message) values.push_back(n.lParam);
    }
    return values;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

Client::Client() : m_pClient(static_cast<CFtpClient*>(CreateFtpClientInstance(0))) {}

Client::~Client() {
    Release();
}

void Client::ConnectTo(uint16_t port, const char* user, const char* password) {
    m_pClient->SetConnectParameter("127.0.0.1", user, password, port, 1, 1, "", 1);
}

bool Client::OperationEnded() const {
    CFtpClientThread* session = m_pClient->AcquireSession();
    if (session == nullptr) return true;
    session->m_cs.Lock();
    bool ended = session->m_nOperation.load() == kOperationNone;
    session->m_cs.Unlock();
    session->ReleaseRef();
    return ended;
}

bool Client::WaitSessionGone(int timeoutMs) const {
    return WaitUntil([&] { return !HasSession(); }, timeoutMs);
}

void Client::Release() {
    if (m_pClient != nullptr) m_pClient->Release();
    m_pClient = nullptr;
}

}  // namespace testhost
