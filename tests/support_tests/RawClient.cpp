#include "RawClient.h"

#include <chrono>
#include <cstdio>

RawClient::RawClient() : m_Socket(INVALID_SOCKET) {}

RawClient::~RawClient() {
    Close();
}

bool RawClient::Connect(uint16_t port) {
    Close();
    m_Socket = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = plat::htons(port);
    address.sin_addr.s_addr = plat::inet_addr("127.0.0.1");
    return m_Socket != INVALID_SOCKET &&
           plat::connect(m_Socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool RawClient::SendText(const std::string& text) {
    return plat::send(m_Socket, text.data(), static_cast<int>(text.size()), 0) ==
           static_cast<int>(text.size());
}

bool RawClient::WaitReadable(int timeoutMs) {
    plat::SocketSet readable;
    readable.Add(m_Socket);
    return plat::select(&readable, nullptr, nullptr, static_cast<plat::DWORD>(timeoutMs)) == 1;
}

std::string RawClient::ReceiveOnce(int timeoutMs) {
    if (!m_Buffered.empty()) return std::move(m_Buffered);
    char buffer[65536];
    if (!WaitReadable(timeoutMs)) return std::string();
    int count = plat::recv(m_Socket, buffer, sizeof buffer, 0);
    return count > 0 ? std::string(buffer, static_cast<size_t>(count)) : std::string();
}

std::string RawClient::ReceiveLine(int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t lineEnd;
    while ((lineEnd = m_Buffered.find("\r\n")) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end) return std::string();
        char buffer[4096];
        if (!WaitReadable(50)) continue;
        int count = plat::recv(m_Socket, buffer, sizeof buffer, 0);
        if (count <= 0) return std::string();
        m_Buffered.append(buffer, static_cast<size_t>(count));
    }
    std::string line = m_Buffered.substr(0, lineEnd + 2);
    m_Buffered.erase(0, lineEnd + 2);
    return line;
}

std::string RawClient::ReceiveAll(int timeoutMs, StreamEnd* streamEnd) {
    std::string received = std::move(m_Buffered);
    m_Buffered.clear();
    char buffer[65536];
    for (;;) {
        if (!WaitReadable(timeoutMs)) {
            *streamEnd = StreamEnd::TimedOut;
            return received;
        }
        int count = plat::recv(m_Socket, buffer, sizeof buffer, 0);
        if (count <= 0) {
            *streamEnd = count == 0 && !WasReset() ? StreamEnd::Closed : StreamEnd::Reset;
            return received;
        }
        received.append(buffer, static_cast<size_t>(count));
    }
}

// Under Wine a reset that arrives while no recv is pending reads as an
// orderly end of stream (recv returns 0). A zero-length send still tells the
// two apart: it succeeds after an orderly close and fails after a reset.
bool RawClient::WasReset() {
    return plat::send(m_Socket, "", 0, 0) == SOCKET_ERROR;
}

void RawClient::Close() {
    if (m_Socket == INVALID_SOCKET) return;
    plat::closesocket(m_Socket);
    m_Socket = INVALID_SOCKET;
    m_Buffered.clear();
}

uint16_t PortOfPasvReply(const std::string& reply) {
    unsigned h1, h2, h3, h4, p1, p2;
    size_t open = reply.find('(');
    if (open == std::string::npos ||
        std::sscanf(reply.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h1, &h2, &h3, &h4, &p1, &p2) != 6) {
        return 0;
    }
    return static_cast<uint16_t>(p1 * 256 + p2);
}

std::string PatternBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}
