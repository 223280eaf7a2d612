// How a client object's connections are protected, and what it trusts: the
// scheme a host puts before the server address ("ftp://", "ftpes://",
// "ftps://"), else the registry's Tls key; the authorities and the pinned
// certificates the registry adds.
#pragma once

#include <stddef.h>

enum TlsMode {
    kTlsOff = 0,
    kTlsExplicit = 1,  // "AUTH TLS" after the greeting, required
    kTlsImplicit = 2,  // the handshake first, on the port given
};

// Takes a scheme off the front of address (in place) and returns the mode
// it names; -1 when the address has none (it is left as it is).
int TakeAddressScheme(char* address);

// The registry's "Mode" under ...\Setting\Tls: 0 when absent or not 0-2.
int RegistryTlsMode();
// "CaFile" under ...\Setting\Tls (REG_SZ); empty when there is none.
void RegistryCaFile(char* out, size_t outSize);
// The value of ...\Setting\Tls\Pins named serverName (REG_SZ); empty when
// that server has no pin.
void RegistryPin(const char* serverName, char* out, size_t outSize);
