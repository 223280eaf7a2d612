#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "../common/PlatformInternal.h"

namespace plat {
namespace {

const int64_t kMillisecondsFrom1601To1970 = 11644473600000LL;

}  // namespace

namespace internal {

int64_t RealUtcMillisecondsSince1601() {
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return kMillisecondsFrom1601To1970 + static_cast<int64_t>(now.tv_sec) * 1000 +
           now.tv_nsec / 1000000;
}

int64_t RealMonotonicMilliseconds() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace internal

// Sleep(0) gives up the rest of the time slice, as on Win32.
void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

}  // namespace plat
