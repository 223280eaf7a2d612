#include "module/CFtpModule.h"

#include <atomic>

#include "platform/Platform.h"

namespace {

std::atomic<int> g_nStarts(0);
std::atomic<int> g_nStops(0);

// The one application object, constructed at load and destroyed at unload.
CFtpModule g_Module;

}  // namespace

CFtpModule::CFtpModule() {
    // The result is not examined: without sockets every connect fails and
    // is reported through the operations' own failure paths.
    plat::WSAStartup(0x0101);
    g_nStarts.fetch_add(1);
}

CFtpModule::~CFtpModule() {
    plat::WSACleanup();
    g_nStops.fetch_add(1);
}

int CFtpModule::StartCount() {
    return g_nStarts.load();
}

int CFtpModule::StopCount() {
    return g_nStops.load();
}

#ifdef _WIN32
// The platform's entry point carries no logic of ours: static construction
// and destruction of the application object do the work.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
#endif
