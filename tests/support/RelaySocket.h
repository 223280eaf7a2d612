// An owned TCP socket of the network relay, on the plat:: calls only, so the
// relay runs in the Linux tests and in the Windows tests under Wine alike.
// The relay waits on several sockets at once with plat::select, so unlike
// scripted::TimedSocket it hands out its handle; every call here returns at
// once or within the send back-stop.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

namespace relay {

class RelaySocket {
public:
    RelaySocket() = default;
    ~RelaySocket();
    RelaySocket(RelaySocket&& other) noexcept;
    RelaySocket& operator=(RelaySocket&& other) noexcept;
    RelaySocket(const RelaySocket&) = delete;
    RelaySocket& operator=(const RelaySocket&) = delete;

    // A listener on address:port (network byte order address; port 0: one
    // the system chooses); not open when that failed. reuseAddress lets a
    // fixed port be taken again while connections of an earlier listener
    // on it linger in TIME_WAIT (Linux only: on Windows the option would let
    // two listeners share the port).
    static RelaySocket Listen(uint32_t address, uint16_t port = 0, bool reuseAddress = false);
    // A connection to address:port (network byte order address); not open
    // when refused.
    static RelaySocket Connect(uint32_t address, uint16_t port);

    bool IsOpen() const { return m_Socket != INVALID_SOCKET; }
    plat::SOCKET Handle() const { return m_Socket; }
    uint16_t LocalPort() const;

    // Readable within timeoutMs (a listener: a client waits).
    bool WaitReadable(int timeoutMs) const;
    // The next client of a listener, once WaitReadable said so.
    RelaySocket Accept() const;

    // plat::recv: the byte count, 0 after an orderly close, SOCKET_ERROR.
    int Receive(char* buffer, int capacity);
    // One plat::send: the count sent, or SOCKET_ERROR.
    int Send(const char* data, int length);
    // After Receive gave 0: whether that was really a reset. Wine reads a
    // reset that came while no recv was pending as an orderly end; a
    // zero-length send still fails after a reset. Only meaningful while
    // this side has not shut down its sending.
    bool PeerReset();

    // Passes the end of stream on (FIN) and keeps receiving.
    void ShutdownSend();
    // Orderly close.
    void Close();
    // Abortive close: SO_LINGER with time 0, so the peer sees a reset.
    void Reset();

private:
    explicit RelaySocket(plat::SOCKET socket) : m_Socket(socket) {}
    void Configure();

    plat::SOCKET m_Socket = INVALID_SOCKET;
};

}  // namespace relay
