#include "session/CFtpConnection.h"

#include <stdio.h>

void CFtpConnection::Attach(plat::SOCKET socket, const char* peerAddress) {
    snprintf(m_szPeerAddress, sizeof m_szPeerAddress, "%s", peerAddress);
    plat::SOCKET earlier = m_hSocket.exchange(socket);
    if (earlier != INVALID_SOCKET) plat::closesocket(earlier);
}

int CFtpConnection::Receive(char* buffer, int capacity) {
    plat::SOCKET s = m_hSocket.load();
    if (s == INVALID_SOCKET) return SOCKET_ERROR;
    return plat::recv(s, buffer, capacity, 0);
}

bool CFtpConnection::SendAll(const char* data, int length) {
    plat::SOCKET s = m_hSocket.load();
    if (s == INVALID_SOCKET) return false;
    for (int sent = 0; sent < length;) {
        int result = plat::send(s, data + sent, length - sent, 0);
        if (result <= 0) return false;
        sent += result;
    }
    return true;
}

void CFtpConnection::ShutdownSending() {
    plat::SOCKET s = m_hSocket.load();
    if (s != INVALID_SOCKET) plat::shutdown(s, SD_SEND);
}

void CFtpConnection::Close() {
    Attach(INVALID_SOCKET);
}

void CFtpConnection::SetNoDelay() {
    int one = 1;
    plat::setsockopt(m_hSocket.load(), IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof one);
}

void CFtpConnection::SetLinger(uint16_t seconds) {
    plat::WinsockLinger linger = {1, seconds};
    plat::setsockopt(m_hSocket.load(), SOL_SOCKET, SO_LINGER, (const char*)&linger, sizeof linger);
}

void CFtpConnection::SetTimeouts(plat::DWORD milliseconds) {
    plat::SOCKET s = m_hSocket.load();
    plat::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&milliseconds, sizeof milliseconds);
    plat::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char*)&milliseconds, sizeof milliseconds);
}
