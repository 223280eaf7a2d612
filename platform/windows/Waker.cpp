// The Windows waker: a datagram socket on 127.0.0.1 that sends to itself.
// Winsock selects only sockets, and a socket of this kind needs nothing
// beyond Winsock 1.1. It is non-blocking, so a drain never waits. It holds
// a Winsock start of its own: a host (or a test) that stops Winsock while
// the thread lives must not leave it with a dead socket.
#include "../common/PlatformInternal.h"

namespace plat {
namespace internal {

Waker::Waker() : m_hSocket(INVALID_SOCKET) {
    WSADATA data;
    if (::WSAStartup(0x0101, &data) != 0) return;
    m_hSocket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (m_hSocket == INVALID_SOCKET) {
        ::WSACleanup();
        return;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
    u_long nonBlocking = 1;
    if (::bind(m_hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::ioctlsocket(m_hSocket, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(m_hSocket);
        m_hSocket = INVALID_SOCKET;
        ::WSACleanup();
    }
}

Waker::~Waker() {
    if (!IsValid()) return;
    ::closesocket(m_hSocket);
    ::WSACleanup();
}

// Sent to the address it is bound to, read back by the waiting thread.
void Waker::Signal() {
    sockaddr_in self = {};
    int length = sizeof self;
    if (::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&self), &length) != 0) return;
    const char one = 1;
    ::sendto(m_hSocket, &one, 1, 0, reinterpret_cast<const sockaddr*>(&self), length);
}

void Waker::Drain() {
    char bytes[64];
    while (::recv(m_hSocket, bytes, sizeof bytes, 0) > 0) {
    }
}

}  // namespace internal
}  // namespace plat
