// One message window for every client object of the gateway, on a thread
// of its own that only pumps it. The library posts WM_FTP_ERROR with the
// client object in wParam; the window remembers the newest code per client.
//
// A request handler asks for a client's code only after the call that may
// have failed has returned. The library posts its notice before it answers
// the call, so once the pump has handled everything posted up to then
// (HostMessageThread::Settle), every notice of that call has been noted.
#pragma once

#include <map>
#include <mutex>

#include "IFtpClient.h"
#include "tools/common/HostMessageWindow.h"

class NotificationWindow {
public:
    NotificationWindow();
    NotificationWindow(const NotificationWindow&) = delete;
    NotificationWindow& operator=(const NotificationWindow&) = delete;

    // Null when the window could not be made.
    HWND Window() const { return m_Pump.Handle(); }

    // Before a call: notices still queued from earlier calls are handled
    // first, then the client's code is forgotten.
    void Forget(IFtpClient* client);
    // After a call: the FTPE_ code the library posted for client since
    // Forget, 0 when none.
    int ErrorOf(IFtpClient* client);

private:
    void OnMessage(const MSG& msg);

    std::mutex m_Mutex;
    std::map<IFtpClient*, int> m_Errors;
    // Last: its thread calls OnMessage until it is gone.
    HostMessageThread m_Pump;
};
