#include "TimedSocket.h"

#include <algorithm>
#include <utility>

namespace scripted {

namespace {

// Small pieces keep a blocking send from waiting long on a full buffer;
// the send time-out bounds it when it still does.
constexpr int kSendPieceBytes = 8192;
constexpr plat::DWORD kSendBackstopMs = 1000;
constexpr int kShutdownSend = 1;  // SD_SEND / SHUT_WR
// Bounds the drain before a close when the peer keeps sending.
constexpr int kDiscardLimitMs = 100;

sockaddr_in LoopbackAddress(const char* host, uint16_t port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = plat::htons(port);
    address.sin_addr.s_addr = plat::inet_addr(host);
    return address;
}

void ConfigureAccepted(plat::SOCKET socket) {
    // Without this, a pause between two small pieces could be swallowed by
    // the delayed-ACK wait and the pieces would arrive as one segment.
    int noDelay = 1;
    plat::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                     sizeof noDelay);
    plat::DWORD sendTimeout = kSendBackstopMs;
    plat::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout),
                     sizeof sendTimeout);
}

bool IsSendTimeout(int error) {
    return error == WSAETIMEDOUT || error == WSAEWOULDBLOCK;
}

}  // namespace

TimedSocket::TimedSocket(plat::SOCKET socket) : m_Socket(socket) {}

TimedSocket::~TimedSocket() {
    Close();
}

TimedSocket::TimedSocket(TimedSocket&& other) noexcept : m_Socket(other.m_Socket) {
    other.m_Socket = INVALID_SOCKET;
}

TimedSocket& TimedSocket::operator=(TimedSocket&& other) noexcept {
    if (this != &other) {
        Close();
        std::swap(m_Socket, other.m_Socket);
    }
    return *this;
}

TimedSocket TimedSocket::ListenOnLoopback(const char* host, uint16_t port) {
    TimedSocket listener(plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener.IsOpen()) return listener;
    sockaddr_in address = LoopbackAddress(host, port);
    if (plat::bind(listener.m_Socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        plat::listen(listener.m_Socket, 16) != 0) {
        listener.Close();
    }
    return listener;
}

uint16_t TimedSocket::LocalPort() const {
    sockaddr_in address = {};
    int length = sizeof address;
    if (plat::getsockname(m_Socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return plat::ntohs(address.sin_port);
}

WaitResult TimedSocket::WaitReadable(int timeoutMs, const StopCheck& stop) const {
    return WaitFor(false, timeoutMs, stop);
}

WaitResult TimedSocket::WaitFor(bool writable, int timeoutMs, const StopCheck& stop) const {
    if (!IsOpen()) return WaitResult::Failed;
    Deadline deadline(timeoutMs);
    for (;;) {
        if (stop()) return WaitResult::Stopped;
        plat::SocketSet set;
        set.Add(m_Socket);
        int ready = plat::select(writable ? nullptr : &set, writable ? &set : nullptr, nullptr,
                                 static_cast<plat::DWORD>(deadline.NextSliceMs()));
        if (ready > 0) return WaitResult::Ready;
        if (ready == SOCKET_ERROR) return WaitResult::Failed;
        if (deadline.Passed()) return WaitResult::TimedOut;
    }
}

TimedSocket TimedSocket::Accept(int timeoutMs, const StopCheck& stop) const {
    if (WaitReadable(timeoutMs, stop) != WaitResult::Ready) return TimedSocket();
    TimedSocket client(plat::accept(m_Socket, nullptr, nullptr));
    if (client.IsOpen()) ConfigureAccepted(client.m_Socket);
    return client;
}

int TimedSocket::ReceiveSome(char* buffer, int capacity) {
    return plat::recv(m_Socket, buffer, capacity, 0);
}

SendResult TimedSocket::SendAll(const char* data, size_t length, int timeoutMs, const StopCheck& stop,
                                size_t* sent) {
    *sent = 0;
    Deadline deadline(timeoutMs);
    while (*sent < length) {
        WaitResult wait = WaitFor(true, deadline.RemainingMs(), stop);
        if (wait == WaitResult::Stopped) return SendResult::Stopped;
        if (wait == WaitResult::TimedOut) return SendResult::TimedOut;
        if (wait == WaitResult::Failed) return SendResult::PeerGone;
        int piece = static_cast<int>(std::min<size_t>(length - *sent, kSendPieceBytes));
        int result = plat::send(m_Socket, data + *sent, piece, 0);
        if (result > 0) {
            *sent += static_cast<size_t>(result);
        } else if (!IsSendTimeout(plat::WSAGetLastError())) {
            return SendResult::PeerGone;
        } else if (deadline.Passed()) {
            return SendResult::TimedOut;
        }
    }
    return SendResult::Complete;
}

void TimedSocket::Close() {
    if (!IsOpen()) return;
    plat::shutdown(m_Socket, kShutdownSend);
    DiscardPendingInput();
    plat::closesocket(m_Socket);
    m_Socket = INVALID_SOCKET;
}

void TimedSocket::DiscardPendingInput() {
    char buffer[4096];
    Deadline deadline(kDiscardLimitMs);
    const StopCheck late = [&deadline] { return deadline.Passed(); };
    while (WaitFor(false, 0, late) == WaitResult::Ready && ReceiveSome(buffer, sizeof buffer) > 0) {
    }
}

void TimedSocket::Reset() {
    if (!IsOpen()) return;
    plat::WinsockLinger linger = {1, 0};
    plat::setsockopt(m_Socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&linger), sizeof linger);
    plat::closesocket(m_Socket);
    m_Socket = INVALID_SOCKET;
}

}  // namespace scripted
