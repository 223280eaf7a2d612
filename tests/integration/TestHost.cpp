#include "tests/integration/TestHost.h"

#include <chrono>
#include <thread>

#include "session/CFtpClientThread.h"

namespace testhost {

namespace {

const std::chrono::milliseconds kPollInterval(2);

}  // namespace

MessageWindow::MessageWindow() : m_Window("FtpClientTestHostWindow", "test host") {}

void MessageWindow::Collect(const MSG& msg, std::vector<Notice>* fresh) {
    Notice notice = {msg.message, (uintptr_t)msg.wParam, (intptr_t)msg.lParam};
    if (fresh != nullptr) fresh->push_back(notice);
    m_Collected.push_back(notice);
}

std::vector<Notice> MessageWindow::Drain() {
    std::vector<Notice> fresh;
    m_Window.Drain([&](const MSG& msg) { Collect(msg, &fresh); });
    return fresh;
}

bool MessageWindow::WaitFor(unsigned message, int timeoutMs) {
    return m_Window.PumpUntil([&](const MSG& msg) { Collect(msg, nullptr); },
                              [&] {
                                  for (const Notice& n : m_Collected) {
                                      if (n.message == message) return true;
                                  }
                                  return false;
                              },
                              std::chrono::milliseconds(timeoutMs), kPollInterval);
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
        std::this_thread::sleep_for(kPollInterval);
    }
}

Client::Client() : m_pClient(CFtpClient::FromHost(CreateFtpClientInstance(0))) {}

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
