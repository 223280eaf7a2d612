// Opening TCP connections (directly, or racing two addresses), the
// configured local bind address, and time limits.
// IPv4 only; addresses are dotted-decimal texts, never names.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/Platform.h"

// Connects to serverAddress:port, bound to localAddress when it is non-empty
// (otherwise to the registry's HostIP, when set). With a secondAddress both
// are raced and the first to connect wins; when the second wins, its text is
// copied over serverAddress (which must hold kTextFieldSize bytes), so the
// caller remembers the address that answered. Returns INVALID_SOCKET on
// failure. Sockets returned carry SO_LINGER (on, 1 s) and 2000 ms send and
// receive time-outs.
plat::SOCKET ConnectToServer(char* serverAddress, uint16_t port, const char* localAddress,
                             const char* secondAddress, uint16_t secondPort);

// The registry's HostIP in network byte order; 0 when absent or not a
// 4-byte number.
uint32_t GetBindAddress();

// Time limits are measured on the tick count (plat::GetTickCount64), which
// never steps: mark the start with `start = plat::GetTickCount64()` and ask
// IsOverLimit(start, limit). The system time (SYSTEMTIME) is calendar time,
// which can be set back or forward at any moment; it is not for limits.
//
// True when more than limitMs have passed since the tick count read
// startMs. A start later than now (only a test offset moved back can do
// that) counts as no time passed.
bool IsOverLimit(uint64_t startMs, uint32_t limitMs);

const uint32_t kConnectRaceLimitMs = 60000;
// Tests shorten the race's wait; 0 restores the normal limit.
void SetConnectRaceLimitForTesting(uint32_t milliseconds);
