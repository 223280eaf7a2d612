// What the tests need of a host: a message window whose posted
// notifications can be collected, and a client object released on scope exit.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "IFtpClient.h"
#include "client/CFtpClient.h"
#include "platform/Platform.h"
#include "tools/common/HostMessageWindow.h"

namespace testhost {

struct Notice {
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
};

// A top-level window of its own class on the calling thread.
class MessageWindow {
public:
    MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    plat::HWND Handle() const { return m_Window.Handle(); }
    // Everything posted so far (to the window and to this thread's queue).
    std::vector<Notice> Drain();
    // Pumps until a notice with message arrives (kept in Collected()).
    bool WaitFor(unsigned message, int timeoutMs);
    const std::vector<Notice>& Collected() const { return m_Collected; }
    std::vector<intptr_t> ParametersOf(unsigned message) const;

private:
    void Collect(const MSG& msg, std::vector<Notice>* fresh);

    HostMessageWindow m_Window;
    std::vector<Notice> m_Collected;
};

// Polls condition every few milliseconds for at most timeoutMs.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

// A client object that is released when the test ends.
class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    CFtpClient* operator->() const { return m_pClient; }
    CFtpClient* get() const { return m_pClient; }
    // Points the client at 127.0.0.1:port with the test account.
    void ConnectTo(uint16_t port, const char* user = "tester", const char* password = "secret");
    bool HasSession() const { return m_pClient->m_pSessionThread.load() != nullptr; }
    // No operation under way: the session has gone, or its worker has ended
    // (a worker ends holding the session lock, after everything it posts).
    bool OperationEnded() const;
    // Waits until the session object has gone.
    bool WaitSessionGone(int timeoutMs = 5000) const;
    void Release();
    // Forgets the object without releasing it: for a test whose call never
    // returned from it.
    void Abandon() { m_pClient = nullptr; }

private:
    CFtpClient* m_pClient;
};

}  // namespace testhost
