#include "../common/PlatformInternal.h"

namespace plat {
namespace internal {

// A FILETIME counts 100-nanosecond intervals since 1601-01-01 UTC.
int64_t RealUtcMillisecondsSince1601() {
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    const uint64_t intervals =
        (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(intervals / 10000);
}

// The performance counter runs from system start at a fixed frequency; split
// into whole seconds and the rest so that the product cannot overflow.
int64_t RealMonotonicMilliseconds() {
    static const int64_t frequency = [] {
        LARGE_INTEGER value = {};
        ::QueryPerformanceFrequency(&value);
        return static_cast<int64_t>(value.QuadPart);
    }();
    LARGE_INTEGER counter = {};
    ::QueryPerformanceCounter(&counter);
    const int64_t count = static_cast<int64_t>(counter.QuadPart);
    return count / frequency * 1000 + count % frequency * 1000 / frequency;
}

}  // namespace internal

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }

}  // namespace plat
