#include "session/TlsSetup.h"

#include <stdint.h>
#include <string.h>

#include "session/RegistryValues.h"

namespace {

const char kTlsKey[] = "SOFTWARE\\Pellacorde\\Ravelline\\Setting\\Tls";
const char kPinsKey[] = "SOFTWARE\\Pellacorde\\Ravelline\\Setting\\Tls\\Pins";

struct Scheme {
    const char* prefix;
    int mode;
};
const Scheme kSchemes[] = {
    {"ftp://", kTlsOff},
    {"ftpes://", kTlsExplicit},
    {"ftps://", kTlsImplicit},
};

bool StartsWithIgnoringCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        char c = *text;
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c != *prefix) return false;
    }
    return true;
}

}  // namespace

int TakeAddressScheme(char* address) {
    for (const Scheme& scheme : kSchemes) {
        if (!StartsWithIgnoringCase(address, scheme.prefix)) continue;
        size_t skip = strlen(scheme.prefix);
        memmove(address, address + skip, strlen(address + skip) + 1);
        return scheme.mode;
    }
    return -1;
}

int RegistryTlsMode() {
    uint32_t mode = kTlsOff;
    if (!ReadRegistryDword(kTlsKey, "Mode", &mode)) return kTlsOff;
    return mode <= kTlsImplicit ? (int)mode : kTlsOff;
}

void RegistryCaFile(char* out, size_t outSize) {
    ReadRegistryString(kTlsKey, "CaFile", out, outSize);
}

void RegistryPin(const char* serverName, char* out, size_t outSize) {
    ReadRegistryString(kPinsKey, serverName, out, outSize);
}
