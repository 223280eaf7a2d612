// One TCP connection of the library, control or data: the socket and the
// reading and writing of it. Every worker and the login go through it, never
// through a raw socket, so that a layer between the socket and the bytes
// (TLS) has one place to sit: a connection may then hold bytes it has
// received and decoded although its socket is not readable, and every wait
// asks it (HasPendingInput) before it waits on the socket.
//
// Close may come from another thread than the one reading (a worker gives
// the control connection up while the session looks at it): the socket is
// taken out atomically and closed once.
#pragma once

#include <atomic>

#include "platform/Platform.h"
#include "session/FieldSizes.h"

class CFtpConnection {
public:
    CFtpConnection() : m_hSocket(INVALID_SOCKET) { m_szPeerAddress[0] = '\0'; }
    ~CFtpConnection() { Close(); }
    CFtpConnection(const CFtpConnection&) = delete;
    CFtpConnection& operator=(const CFtpConnection&) = delete;

    // Takes a connected socket (or INVALID_SOCKET); an earlier one is closed.
    // peerAddress: the address the socket was connected to, as it was
    // given (kept for the data connections of a control connection).
    void Attach(plat::SOCKET socket, const char* peerAddress = "");
    // Written by Attach only, while no other thread uses the connection.
    const char* PeerAddress() const { return m_szPeerAddress; }
    bool IsOpen() const { return m_hSocket.load() != INVALID_SOCKET; }
    // For waits only: what to select on.
    plat::SOCKET Socket() const { return m_hSocket.load(); }
    // Bytes held inside the connection, ready without the socket.
    bool HasPendingInput() const { return false; }

    // As recv: the byte count, 0 after an orderly close, below 0 on failure.
    int Receive(char* buffer, int capacity);
    // Sends every byte (blocking, each send bounded by the socket's send
    // time-out); false once a send fails or the connection is closed.
    bool SendAll(const char* data, int length);
    // The peer reads an end after the bytes sent so far.
    void ShutdownSending();
    void Close();

    void SetNoDelay();
    // SO_LINGER on with the given seconds.
    void SetLinger(uint16_t seconds);
    void SetTimeouts(plat::DWORD milliseconds);

private:
    std::atomic<plat::SOCKET> m_hSocket;
    char m_szPeerAddress[kTextFieldSize];
};
