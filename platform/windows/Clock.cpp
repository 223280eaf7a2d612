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

}  // namespace internal

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

}  // namespace plat
