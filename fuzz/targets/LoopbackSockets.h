// The socket steps the fuzz targets' server side needs, on 127.0.0.1 only
// and through the platform layer, so the regression tests replay the same
// code on every target. Every wait has a limit.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/Platform.h"

namespace loopback {

// A listener on 127.0.0.1 with a port the system chose; INVALID_SOCKET on failure.
plat::SOCKET Listen(uint16_t* port);
plat::SOCKET Connect(uint16_t port);
// The next connection, or INVALID_SOCKET when none came within timeoutMs.
// Small sends leave at once (TCP_NODELAY): a reply cut into pieces would
// otherwise wait for a delayed acknowledgement between them.
plat::SOCKET AcceptWithin(plat::SOCKET listener, int timeoutMs);
bool WaitReadable(plat::SOCKET s, int timeoutMs);
bool SendAll(plat::SOCKET s, const std::string& bytes);
// Appends what has arrived, without waiting. False once the other side has
// closed the connection or it failed.
bool ReceiveAvailable(plat::SOCKET s, std::string* out);
// Closes with a reset. Runs that close thousands of connections a minute
// must not leave them in TIME_WAIT, or the loopback ports run out.
void CloseAbortively(plat::SOCKET s);

}  // namespace loopback
