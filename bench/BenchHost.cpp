#include "BenchHost.h"

#include <chrono>
#include <thread>

namespace bench {

namespace {

const char kWindowClass[] = "FtpBenchHostWindow";

LRESULT CALLBACK HostWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hWnd, message, wParam, lParam);
}

HWND CreateHostWindow() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = HostWindowProc;
        wc.lpszClassName = kWindowClass;
        RegisterClassA(&wc);
        registered = true;
    }
    return CreateWindowExA(0, kWindowClass, "ftpbench", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                           nullptr);
}

}  // namespace

BenchHost::BenchHost(unsigned short port)
    : m_hWnd(CreateHostWindow()), m_pClient(CreateFtpClientInstance(0)), m_nLastError(0) {
    if (m_pClient == nullptr) return;
    m_pClient->SetMessageWindow(m_hWnd);
    m_pClient->SetConnectParameter("127.0.0.1", "ftp", "secret", port, 1, 0, "", 0);
}

BenchHost::~BenchHost() {
    if (m_pClient != nullptr) m_pClient->Release();
    Drain();
    if (m_hWnd != nullptr) DestroyWindow(m_hWnd);
}

bool BenchHost::Drain() {
    bool completed = false;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_FTP_COMPLETE) completed = true;
        if (msg.message == WM_FTP_ERROR) m_nLastError = (int)msg.lParam;
    }
    return completed;
}

bool BenchHost::WaitForCompletion(int limitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    m_nLastError = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Drain()) return true;
        if (m_nLastError != 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace bench
