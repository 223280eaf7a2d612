#include "fuzz/targets/LoopbackSockets.h"

#include <string.h>

namespace loopback {

namespace {

sockaddr_in LoopbackEndpoint(uint16_t port) {
    sockaddr_in endpoint;
    memset(&endpoint, 0, sizeof endpoint);
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = plat::htons(port);
    endpoint.sin_addr.s_addr = plat::inet_addr("127.0.0.1");
    return endpoint;
}

}  // namespace

plat::SOCKET Listen(uint16_t* port) {
    plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    sockaddr_in endpoint = LoopbackEndpoint(0);
    int length = sizeof endpoint;
    if (plat::bind(s, (const sockaddr*)&endpoint, sizeof endpoint) != 0 ||
        plat::listen(s, 8) != 0 || plat::getsockname(s, (sockaddr*)&endpoint, &length) != 0) {
        plat::closesocket(s);
        return INVALID_SOCKET;
    }
    *port = plat::ntohs(endpoint.sin_port);
    return s;
}

plat::SOCKET Connect(uint16_t port) {
    plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    sockaddr_in endpoint = LoopbackEndpoint(port);
    if (plat::connect(s, (const sockaddr*)&endpoint, sizeof endpoint) != 0) {
        plat::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

plat::SOCKET AcceptWithin(plat::SOCKET listener, int timeoutMs) {
    if (!WaitReadable(listener, timeoutMs)) return INVALID_SOCKET;
    plat::SOCKET s = plat::accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    int one = 1;
    plat::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof one);
    return s;
}

bool WaitReadable(plat::SOCKET s, int timeoutMs) {
    if (s == INVALID_SOCKET) return false;
    plat::SocketSet readSet;
    readSet.Add(s);
    return plat::select(&readSet, nullptr, nullptr, (plat::DWORD)timeoutMs) > 0;
}

bool SendAll(plat::SOCKET s, const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        int result = plat::send(s, bytes.data() + sent, (int)(bytes.size() - sent), 0);
        if (result <= 0) return false;
        sent += (size_t)result;
    }
    return true;
}

bool ReceiveAvailable(plat::SOCKET s, std::string* out) {
    char buffer[4096];
    while (WaitReadable(s, 0)) {
        int received = plat::recv(s, buffer, sizeof buffer, 0);
        if (received <= 0) return false;
        out->append(buffer, (size_t)received);
    }
    return true;
}

void CloseAbortively(plat::SOCKET s) {
    if (s == INVALID_SOCKET) return;
    plat::WinsockLinger reset = {1, 0};
    plat::setsockopt(s, SOL_SOCKET, SO_LINGER, (const char*)&reset, sizeof reset);
    plat::closesocket(s);
}

}  // namespace loopback
