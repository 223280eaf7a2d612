// How many stream buffers the library allocated, seen from the host's side:
// the library allocates each buffer with a nothrow new[] of the block size,
// and on Linux that call binds to this process's replacement, which counts
// them. Not available in the Windows build (its run time is linked in).
#pragma once

#include <stddef.h>

// Allocations of exactly the default block size so far; -1 when not counted.
long StreamBufferAllocations();
