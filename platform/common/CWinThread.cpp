// Thread objects and plain thread procedures. Threads are
// detached: nobody joins them, and an object may delete itself on its own
// thread (in ExitInstance), so the thread code must not touch it afterwards.
#include <cstdio>
#include <exception>
#include <functional>
#include <utility>

#include "PlatformInternal.h"
#include "Threads.h"

namespace plat {
namespace {

thread_local CWinThread* t_CurrentThread = nullptr;

// Reporting must not allocate: the exception may be std::bad_alloc.
void ReportEscapedException(const char* step, const char* description) {
    char text[256];
    std::snprintf(text, sizeof text, "%s threw: %s\n", step, description);
    OutputDebugStringA(text);
}

// An exception must not end the host process; it is reported and dropped.
void RunCatchingEverything(const char* step, const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& error) {
        ReportEscapedException(step, error.what());
    } catch (...) {
        ReportEscapedException(step, "an exception not derived from std::exception");
    }
}

void RunThreadObject(CWinThread* thread) {
    t_CurrentThread = thread;
    RunCatchingEverything("InitInstance", [thread] { thread->InitInstance(); });
    // ExitInstance may delete the object: it is the last use of it.
    RunCatchingEverything("ExitInstance", [thread] { thread->ExitInstance(); });
    t_CurrentThread = nullptr;
}

}  // namespace

CWinThread::CWinThread() : m_hMainWnd(nullptr) {}

// Runs on the thread itself when ExitInstance deletes the object.
CWinThread::~CWinThread() {
    if (t_CurrentThread == this) t_CurrentThread = nullptr;
}

// The library needs neither a suspended start nor a stack size: both
// arguments are accepted and ignored.
BOOL CWinThread::CreateThread(DWORD /*createFlags*/, unsigned /*stackSize*/) {
    return internal::StartDetachedThread([this] { RunThreadObject(this); });
}

int CWinThread::ExitInstance() { return 0; }

CWinThread* AfxGetThread() { return t_CurrentThread; }

BOOL AfxBeginThread(AFX_THREADPROC proc, void* param) {
    if (!proc) return FALSE;
    return internal::StartDetachedThread([proc, param] {
        RunCatchingEverything("thread procedure", [proc, param] { proc(param); });
    });
}

}  // namespace plat
