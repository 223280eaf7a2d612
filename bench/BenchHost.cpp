#include "BenchHost.h"

namespace bench {

namespace {

const char* g_pServerAddress = "127.0.0.1";

}  // namespace

void BenchHost::SetServerAddress(const char* address) {
    g_pServerAddress = address;
}

BenchHost::BenchHost(unsigned short port)
    : m_Window("FtpBenchHostWindow", "ftpbench"),
      m_pClient(CreateFtpClientInstance(0)),
      m_nLastError(0),
      m_bCompleted(false) {
    if (m_pClient == nullptr) return;
    m_pClient->SetMessageWindow(m_Window.Handle());
    m_pClient->SetConnectParameter(g_pServerAddress, "ftp", "secret", port, 1, 0, "", 0);
}

BenchHost::~BenchHost() {
    if (m_pClient != nullptr) m_pClient->Release();
    Drain();
}

void BenchHost::Handle(const MSG& msg) {
    if (msg.message == WM_FTP_COMPLETE) m_bCompleted = true;
    if (msg.message == WM_FTP_ERROR) m_nLastError = (int)msg.lParam;
}

bool BenchHost::Drain() {
    m_bCompleted = false;
    m_Window.Drain([this](const MSG& msg) { Handle(msg); });
    return m_bCompleted;
}

bool BenchHost::WaitForCompletion(int limitMs) {
    m_nLastError = 0;
    m_bCompleted = false;
    return m_Window.PumpUntil([this](const MSG& msg) { Handle(msg); },
                              [this] { return m_bCompleted || m_nLastError != 0; },
                              std::chrono::milliseconds(limitMs), std::chrono::milliseconds(1)) &&
           m_bCompleted;
}

}  // namespace bench
