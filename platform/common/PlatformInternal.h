// What the shared platform code needs from each target's own part. Not for
// library code: it reaches the platform only through Platform.h.
#pragma once

#include <stdint.h>

#include "Platform.h"

namespace plat {
namespace internal {

// The real UTC clock, in milliseconds since 1601-01-01, without the offset.
int64_t RealUtcMillisecondsSince1601();

// The real monotonic clock in milliseconds since a fixed point, without the
// offset.
int64_t RealMonotonicMilliseconds();

// The calendar reading of a millisecond count since 1601-01-01.
SYSTEMTIME MillisecondsToSystemTime(int64_t milliseconds);

// Where debug text goes on this target besides the test hook.
void WriteToDebugger(const char* text);

}  // namespace internal
}  // namespace plat
