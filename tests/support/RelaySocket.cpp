#include "RelaySocket.h"

#include <utility>

namespace relay {

namespace {

// A send into a peer that does not read gives up after this long; the relay
// tries again later, so this only keeps one send from blocking its thread.
constexpr plat::DWORD kSendBackstopMs = 1000;

sockaddr_in AddressOf(uint32_t address, uint16_t port) {
    sockaddr_in result = {};
    result.sin_family = AF_INET;
    result.sin_port = plat::htons(port);
    result.sin_addr.s_addr = address;
    return result;
}

}  // namespace

RelaySocket::~RelaySocket() {
    Close();
}

RelaySocket::RelaySocket(RelaySocket&& other) noexcept : m_Socket(other.m_Socket) {
    other.m_Socket = INVALID_SOCKET;
}

RelaySocket& RelaySocket::operator=(RelaySocket&& other) noexcept {
    if (this != &other) {
        Close();
        std::swap(m_Socket, other.m_Socket);
    }
    return *this;
}

RelaySocket RelaySocket::Listen(uint32_t at, uint16_t port, bool reuseAddress) {
    RelaySocket listener(plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener.IsOpen()) return listener;
#ifndef _WIN32
    int reuse = reuseAddress ? 1 : 0;
    plat::setsockopt(listener.m_Socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                     sizeof reuse);
#else
    (void)reuseAddress;
#endif
    sockaddr_in address = AddressOf(at, port);
    if (plat::bind(listener.m_Socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        plat::listen(listener.m_Socket, 16) != 0) {
        listener.Close();
    }
    return listener;
}

RelaySocket RelaySocket::Connect(uint32_t address, uint16_t port) {
    RelaySocket connection(plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!connection.IsOpen()) return connection;
    sockaddr_in target = AddressOf(address, port);
    if (plat::connect(connection.m_Socket, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        connection.Reset();
        return connection;
    }
    connection.Configure();
    return connection;
}

uint16_t RelaySocket::LocalPort() const {
    sockaddr_in address = {};
    int length = sizeof address;
    if (plat::getsockname(m_Socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return plat::ntohs(address.sin_port);
}

bool RelaySocket::WaitReadable(int timeoutMs) const {
    if (!IsOpen()) return false;
    plat::SocketSet set;
    set.Add(m_Socket);
    return plat::select(&set, nullptr, nullptr, static_cast<plat::DWORD>(timeoutMs)) > 0;
}

RelaySocket RelaySocket::Accept() const {
    RelaySocket client(plat::accept(m_Socket, nullptr, nullptr));
    if (client.IsOpen()) client.Configure();
    return client;
}

// No delayed sends: each piece the relay cuts must leave as its own segment.
void RelaySocket::Configure() {
    int noDelay = 1;
    plat::setsockopt(m_Socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                     sizeof noDelay);
    plat::DWORD sendTimeout = kSendBackstopMs;
    plat::setsockopt(m_Socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout),
                     sizeof sendTimeout);
}

int RelaySocket::Receive(char* buffer, int capacity) {
    return plat::recv(m_Socket, buffer, capacity, 0);
}

int RelaySocket::Send(const char* data, int length) {
    return plat::send(m_Socket, data, length, 0);
}

bool RelaySocket::PeerReset() {
    return plat::send(m_Socket, "", 0, 0) == SOCKET_ERROR;
}

void RelaySocket::ShutdownSend() {
    if (IsOpen()) plat::shutdown(m_Socket, SD_SEND);
}

void RelaySocket::Close() {
    if (!IsOpen()) return;
    plat::shutdown(m_Socket, SD_SEND);
    plat::closesocket(m_Socket);
    m_Socket = INVALID_SOCKET;
}

void RelaySocket::Reset() {
    if (!IsOpen()) return;
    plat::WinsockLinger linger = {1, 0};
    plat::setsockopt(m_Socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&linger), sizeof linger);
    plat::closesocket(m_Socket);
    m_Socket = INVALID_SOCKET;
}

}  // namespace relay
