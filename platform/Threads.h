// Threads and locks in the manner the library was designed around: a thread
// object whose subclass does its work in InitInstance, after which
// ExitInstance runs (and usually deletes the object); a plain thread
// procedure started with AfxBeginThread; a re-entrant critical section.
// The same code serves both targets; only the start of a thread is each
// target's own.
#pragma once

#include <mutex>

#include "Platform.h"

namespace plat {

class CWinThread {
public:
    CWinThread();
    virtual ~CWinThread();

    // Starts the thread: InitInstance, then ExitInstance (whatever
    // InitInstance returned). Nothing throws out of the thread. Returns FALSE
    // when the thread could not be started; the object is then untouched.
    BOOL CreateThread(DWORD createFlags = 0, unsigned stackSize = 0);

    virtual BOOL InitInstance() = 0;
    // The default does nothing and returns 0; subclasses delete themselves here.
    virtual int ExitInstance();

    HWND GetMainWnd() const { return m_hMainWnd; }

protected:
    HWND m_hMainWnd;
};

// The thread object of the calling thread, or null for threads not started
// through CWinThread (the host's own threads).
CWinThread* AfxGetThread();

typedef unsigned (*AFX_THREADPROC)(void* param);
// Starts proc(param) on a new detached thread; FALSE when it cannot start.
BOOL AfxBeginThread(AFX_THREADPROC proc, void* param);

// Re-entrant like a Win32 critical section: the owning thread may enter again.
class CCriticalSection {
public:
    void Lock() { m_Mutex.lock(); }
    void Unlock() { m_Mutex.unlock(); }

private:
    std::recursive_mutex m_Mutex;
};

// Holds a critical section for a scope, with an early release.
class ScopedLock {
public:
    explicit ScopedLock(CCriticalSection& cs) : m_cs(cs), m_bHeld(true) { m_cs.Lock(); }
    ~ScopedLock() { Unlock(); }
    void Unlock() {
        if (m_bHeld) m_cs.Unlock();
        m_bHeld = false;
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CCriticalSection& m_cs;
    bool m_bHeld;
};

}  // namespace plat
