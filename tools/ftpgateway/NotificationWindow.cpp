#include "NotificationWindow.h"

#include <chrono>

namespace {

// A pump that does not come through within this long is stuck; the caller
// then goes on without the notices.
const std::chrono::seconds kSettleLimit(5);

}  // namespace

NotificationWindow::NotificationWindow()
    : m_Pump("FtpGatewayNotifications", "ftpgateway",
             [this](const MSG& msg) { OnMessage(msg); }) {}

void NotificationWindow::OnMessage(const MSG& msg) {
    if (msg.message != WM_FTP_ERROR) {
        DispatchMessageA(&msg);
        return;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Errors[(IFtpClient*)msg.wParam] = (int)msg.lParam;
}

void NotificationWindow::Forget(IFtpClient* client) {
    m_Pump.Settle(kSettleLimit);
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Errors.erase(client);
}

int NotificationWindow::ErrorOf(IFtpClient* client) {
    m_Pump.Settle(kSettleLimit);
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto found = m_Errors.find(client);
    return found == m_Errors.end() ? 0 : found->second;
}
