// What a test, the soak or the benchmark reads of its own process: threads,
// open descriptors (handles on Windows) and memory figures. -1 where the
// system gives no figure.
#pragma once

namespace processcounts {

int Threads();
int OpenDescriptors();
// A "Vm..." line of /proc/self/status in KiB, e.g. "VmRSS" (Linux only).
long MemoryKiB(const char* field);

}  // namespace processcounts
