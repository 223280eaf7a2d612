// The message window a host gives the library (SetMessageWindow) and the
// pumping that hands the host what the library posts to it (WM_FTP_*).
// The window does nothing itself: every message goes to a handler of the
// host's.
//
// Messages posted to a window queue on the thread that made it. The
// library also posts to the calling thread's own queue when it has no
// window (its buffering notices); a pump reads both.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "IFtpClient.h"

// A window on the calling thread, read by that thread.
class HostMessageWindow {
public:
    using Handler = std::function<void(const MSG& msg)>;

    // The window is of class className, registered on first use, and has
    // the given title.
    HostMessageWindow(const char* className, const char* title);
    ~HostMessageWindow();
    HostMessageWindow(const HostMessageWindow&) = delete;
    HostMessageWindow& operator=(const HostMessageWindow&) = delete;

    // Null when the window could not be made.
    HWND Handle() const { return m_hWnd; }

    // Hands handler, in the order they were posted, every message queued
    // so far for the calling thread: its windows' and its own.
    void Drain(const Handler& handler);
    // Drains, then again after every interval, until done() says so (true)
    // or the limit has passed (false).
    bool PumpUntil(const Handler& handler, const std::function<bool()>& done,
                   std::chrono::milliseconds limit, std::chrono::milliseconds interval);

private:
    HWND m_hWnd;
};

// A window on a thread of its own that does nothing but pump it, for a host
// whose other threads block in library calls: handler sees every message on
// that thread, in the order they were posted.
class HostMessageThread {
public:
    HostMessageThread(const char* className, const char* title, HostMessageWindow::Handler handler);
    // Ends the pump; messages still queued are dropped.
    ~HostMessageThread();
    HostMessageThread(const HostMessageThread&) = delete;
    HostMessageThread& operator=(const HostMessageThread&) = delete;

    // Null when the window could not be made.
    HWND Handle() const { return m_hWnd; }

    // Waits until the handler has had every message posted to the window
    // before this call. False when there is no window or the pump did not
    // get there within limit (it is stuck).
    bool Settle(std::chrono::milliseconds limit);

private:
    void Pump(const char* className, const char* title);

    HostMessageWindow::Handler m_Handler;
    std::thread m_Thread;
    HWND m_hWnd = nullptr;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_bReady = false;
    unsigned long m_nPostedMarkers = 0;
    unsigned long m_nHandledMarkers = 0;
};
