// One message window for every client object of the gateway, on a thread
// of its own that only pumps it. The library posts WM_FTP_ERROR with the
// client object in wParam; the window remembers the newest code per client.
//
// A request handler asks for a client's code only after the call that may
// have failed has returned. The library posts its notice before it answers
// the call, and a window's messages are handled in the order they were
// posted, so a marker posted after the call and seen handled by the pump
// means every notice of that call has been noted (Settle).
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "IFtpClient.h"

class NotificationWindow {
public:
    NotificationWindow();
    ~NotificationWindow();
    NotificationWindow(const NotificationWindow&) = delete;
    NotificationWindow& operator=(const NotificationWindow&) = delete;

    // Null when the window could not be made.
    HWND Window() const { return m_hWnd; }

    // Before a call: notices still queued from earlier calls are handled
    // first, then the client's code is forgotten.
    void Forget(IFtpClient* client);
    // After a call: the FTPE_ code the library posted for client since
    // Forget, 0 when none.
    int ErrorOf(IFtpClient* client);

private:
    void Pump();
    // Waits until everything posted to the window so far has been handled.
    void Settle();
    void OnMessage(const MSG& msg);

    std::thread m_Thread;
    HWND m_hWnd = nullptr;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_bReady = false;
    unsigned long m_nPostedMarkers = 0;
    unsigned long m_nHandledMarkers = 0;
    std::map<IFtpClient*, int> m_Errors;
};
