// One TCP connection of the library, control or data: the socket, the
// reading and writing of it, and TLS when the connection is protected.
// Every worker and the login go through it, never through a raw socket. A
// protected connection may hold bytes it has received and decrypted
// although its socket is not readable: every wait asks it
// (HasPendingInput) before it waits on the socket.
//
// Close may come from another thread than the one reading (a worker gives
// the control connection up while the session looks at it): the socket is
// taken out atomically and closed once.
#pragma once

#include <atomic>
#include <stddef.h>

#include "platform/Platform.h"
#include "platform/TlsChannel.h"
#include "session/FieldSizes.h"

class CFtpConnection {
public:
    // Receive's answer when a protected connection took bytes from its
    // socket that do not yet make a whole record: nothing to read yet, and
    // the connection is fine; wait for the socket again.
    static const int kNothingYet = -2;

    // What a protected connection trusts, kept for its data connections.
    struct TlsTrust {
        char caFile[kTextFieldSize];
        char pin[kTextFieldSize];
    };

    CFtpConnection();
    ~CFtpConnection() { Close(); }
    CFtpConnection(const CFtpConnection&) = delete;
    CFtpConnection& operator=(const CFtpConnection&) = delete;

    // Takes a connected socket (or INVALID_SOCKET); an earlier one is closed.
    // peerAddress: the IPv4 address the socket was connected to (kept for
    // the data connections of a control connection); peerName: the server
    // as the host named it (a DNS name or the address), which TLS verifies.
    void Attach(plat::SOCKET socket, const char* peerAddress = "", const char* peerName = nullptr);
    bool IsOpen() const { return m_hSocket.load() != INVALID_SOCKET; }
    // For waits only: what to select on.
    plat::SOCKET Socket() const { return m_hSocket.load(); }
    // Written by Attach only, while no other thread uses the connection.
    const char* PeerAddress() const { return m_szPeerAddress; }
    const char* PeerName() const { return m_szPeerName; }

    // ---- TLS ----
    // Runs the handshake on the open connection, as its client, until it is
    // done, fails, the socket closes, cancelEvent is set or limitMs pass.
    // resumeFrom: the connection whose TLS session to offer (a control
    // connection, for its data connections), or null. On failure the reason
    // in words goes into reason, and the connection stays as it was.
    bool StartTls(const TlsTrust& trust, const CFtpConnection* resumeFrom,
                  plat::HANDLE cancelEvent, uint32_t limitMs, char* reason, size_t reasonSize);
    bool IsProtected() const { return m_pTls != nullptr; }
    const TlsTrust& Trust() const { return m_Trust; }
    // Bytes held inside the connection, ready without the socket.
    bool HasPendingInput() { return m_pTls != nullptr && HasPendingPlaintext(); }

    // As recv: the byte count, 0 after an orderly close (a protected
    // connection: the server's close_notify, answered with ours, or the
    // end of the socket), below 0 on failure; kNothingYet, see above.
    int Receive(char* buffer, int capacity);
    // Sends every byte (blocking, each send bounded by the socket's send
    // time-out); false once a send fails or the connection is closed.
    bool SendAll(const char* data, int length);
    // The peer reads an end after the bytes sent so far: our close_notify on
    // a protected connection, then the socket's end of sending.
    void ShutdownSending();
    // Closes at once: a protected connection sends no close_notify (an
    // aborted transfer just closes).
    void Close();

    void SetNoDelay();
    // SO_LINGER on with the given seconds.
    void SetLinger(uint16_t seconds);
    void SetTimeouts(plat::DWORD milliseconds);

private:
    bool HasPendingPlaintext();
    bool SendRaw(const char* data, size_t length);
    bool SendCiphertext();
    int ReadPlaintext(char* buffer, int capacity);
    bool FeedFromSocket(int* received, char* scratch, int scratchSize);

    std::atomic<plat::SOCKET> m_hSocket;
    char m_szPeerAddress[kTextFieldSize];
    char m_szPeerName[kTextFieldSize];
    plat::TlsChannel* m_pTls;
    TlsTrust m_Trust;
    bool m_bCloseSent;  // our close_notify went out
};
