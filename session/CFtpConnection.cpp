#include "session/CFtpConnection.h"

#include <stdio.h>
#include <string.h>

#include "session/NetworkPrimitives.h"

namespace {

// One receive of ciphertext: a whole TLS record and then some.
const int kCipherReceiveSize = 32768;
// How long one wait of a handshake lasts before its limits are looked at.
const plat::DWORD kHandshakeWaitMs = 100;

}  // namespace

CFtpConnection::CFtpConnection()
    : m_hSocket(INVALID_SOCKET), m_pTls(nullptr), m_bCloseSent(false) {
    m_szPeerAddress[0] = '\0';
    m_szPeerName[0] = '\0';
    m_Trust.caFile[0] = '\0';
    m_Trust.pin[0] = '\0';
}

void CFtpConnection::Attach(plat::SOCKET socket, const char* peerAddress, const char* peerName) {
    snprintf(m_szPeerAddress, sizeof m_szPeerAddress, "%s", peerAddress);
    snprintf(m_szPeerName, sizeof m_szPeerName, "%s", peerName != nullptr ? peerName : peerAddress);
    plat::SOCKET earlier = m_hSocket.exchange(socket);
    if (earlier != INVALID_SOCKET) plat::closesocket(earlier);
    delete m_pTls;
    m_pTls = nullptr;
    m_bCloseSent = false;
}

// ---- TLS ----------------------------------------------------------------------

bool CFtpConnection::StartTls(const TlsTrust& trust, const CFtpConnection* resumeFrom,
                              plat::HANDLE cancelEvent, uint32_t limitMs, char* reason,
                              size_t reasonSize) {
    plat::TlsSettings settings;
    settings.peerName = m_szPeerName;
    settings.caFile = trust.caFile[0] != '\0' ? trust.caFile : nullptr;
    settings.pin = trust.pin[0] != '\0' ? trust.pin : nullptr;
    settings.resumeFrom = resumeFrom != nullptr ? resumeFrom->m_pTls : nullptr;
    plat::TlsChannel* channel = plat::TlsChannel::Create(settings);
    if (channel == nullptr) {
        snprintf(reason, reasonSize, "out of memory");
        return false;
    }
    m_pTls = channel;
    uint64_t start = plat::GetTickCount64();
    for (;;) {
        plat::TlsChannel::HandshakeResult step = channel->Handshake();
        bool sent = SendCiphertext();
        if (step == plat::TlsChannel::kHandshakeDone && sent) break;
        const char* failure = nullptr;
        if (step == plat::TlsChannel::kHandshakeFailed) failure = channel->FailureReason();
        if (!sent) failure = "the connection failed during the TLS handshake";
        if (failure == nullptr && IsOverLimit(start, limitMs)) {
            failure = "the server did not complete the TLS handshake in time";
        }
        plat::SocketWait wait = {m_hSocket.load(), true, false, false, false};
        plat::DWORD woke = failure != nullptr ? WAIT_TIMEOUT
                                              : plat::WaitForEventsAndSockets(
                                                    cancelEvent != nullptr ? 1 : 0, &cancelEvent,
                                                    &wait, 1, kHandshakeWaitMs);
        if (failure == nullptr && woke == WAIT_OBJECT_0 && cancelEvent != nullptr) {
            failure = "the TLS handshake was cancelled";
        }
        int received = 0;
        if (failure == nullptr && wait.readable && !FeedFromSocket(&received, nullptr, 0)) {
            failure = received == 0 ? "the server closed the connection during the TLS handshake"
                                    : "the connection failed during the TLS handshake";
        }
        if (failure != nullptr) {
            snprintf(reason, reasonSize, "%s", failure);
            m_pTls = nullptr;
            delete channel;
            return false;
        }
    }
    m_Trust = trust;
    return true;
}

// Every byte to the socket: plain text, or the channel's ciphertext.
bool CFtpConnection::SendRaw(const char* data, size_t length) {
    plat::SOCKET s = m_hSocket.load();
    if (s == INVALID_SOCKET) return false;
    for (size_t sent = 0; sent < length;) {
        int result = plat::send(s, data + sent, (int)(length - sent), 0);
        if (result <= 0) return false;
        sent += (size_t)result;
    }
    return true;
}

bool CFtpConnection::SendCiphertext() {
    uint8_t buffer[16384];
    while (m_pTls->HasOutput()) {
        size_t length = m_pTls->TakeOutput(buffer, sizeof buffer);
        if (!SendRaw((const char*)buffer, length)) return false;
    }
    return true;
}

// One receive from the socket into the channel, through scratch when it is
// larger than a receive of its own (a stream's buffer: one pass then takes
// as much as a plain receive would). False when the socket ended
// (*received 0) or failed (below 0), or the channel could not keep it.
bool CFtpConnection::FeedFromSocket(int* received, char* scratch, int scratchSize) {
    char cipher[kCipherReceiveSize];
    if (scratch == nullptr || scratchSize < (int)sizeof cipher) {
        scratch = cipher;
        scratchSize = (int)sizeof cipher;
    }
    *received = plat::recv(m_hSocket.load(), scratch, scratchSize, 0);
    if (*received <= 0) return false;
    if (m_pTls->Feed((const uint8_t*)scratch, (size_t)*received)) return true;
    *received = SOCKET_ERROR;
    return false;
}

bool CFtpConnection::HasPendingPlaintext() {
    bool held = m_pTls->HasPlaintext();
    SendCiphertext();
    return held;
}

// Everything decrypted so far, up to capacity; 0 when nothing is, 0 with
// the close answered, or SOCKET_ERROR. kNothingYet when no byte is waiting.
int CFtpConnection::ReadPlaintext(char* buffer, int capacity) {
    int total = 0;
    while (total < capacity) {
        size_t got = 0;
        plat::TlsChannel::ReadResult result =
            m_pTls->Read((uint8_t*)buffer + total, (size_t)(capacity - total), &got);
        if (!SendCiphertext()) return total > 0 ? total : SOCKET_ERROR;
        if (result == plat::TlsChannel::kReadData) {
            total += (int)got;
            continue;
        }
        if (total > 0) return total;
        if (result == plat::TlsChannel::kReadNothingYet) return kNothingYet;
        if (result == plat::TlsChannel::kReadFailed) return SOCKET_ERROR;
        // The server's close_notify, answered with ours: both ways closed.
        if (!m_bCloseSent && m_pTls->Shutdown()) SendCiphertext();
        m_bCloseSent = true;
        return 0;
    }
    return total;
}

int CFtpConnection::Receive(char* buffer, int capacity) {
    plat::SOCKET s = m_hSocket.load();
    if (s == INVALID_SOCKET) return SOCKET_ERROR;
    if (m_pTls == nullptr) return plat::recv(s, buffer, capacity, 0);
    int read = ReadPlaintext(buffer, capacity);
    if (read != kNothingYet) return read;
    int received = 0;
    // The ciphertext is in the channel before the plaintext overwrites it.
    if (!FeedFromSocket(&received, buffer, capacity)) return received;
    return ReadPlaintext(buffer, capacity);
}

bool CFtpConnection::SendAll(const char* data, int length) {
    if (m_hSocket.load() == INVALID_SOCKET) return false;
    if (m_pTls == nullptr) return SendRaw(data, (size_t)length);
    return m_pTls->Write((const uint8_t*)data, (size_t)length) && SendCiphertext();
}

void CFtpConnection::ShutdownSending() {
    plat::SOCKET s = m_hSocket.load();
    if (s == INVALID_SOCKET) return;
    if (m_pTls != nullptr && !m_bCloseSent) {
        if (m_pTls->Shutdown()) SendCiphertext();
        m_bCloseSent = true;
    }
    plat::shutdown(s, SD_SEND);
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
