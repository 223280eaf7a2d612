// Name resolution, the same call on both targets (getaddrinfo).
#include "platform/Platform.h"

#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#endif

namespace plat {

bool ResolveIPv4(const char* hostName, char* out, size_t outSize) {
    if (hostName == nullptr || hostName[0] == '\0' || outSize == 0) return false;
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(hostName, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    const sockaddr_in* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&address->sin_addr);
    snprintf(out, outSize, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    ::freeaddrinfo(found);
    return true;
}

}  // namespace plat
