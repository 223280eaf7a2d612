// A TLS client connection without a socket: ciphertext that arrived is fed
// in, ciphertext to send is taken out, plaintext is read and written in
// between. The caller owns the socket and moves the bytes; the channel never
// blocks and never touches the network. OpenSSL with memory buffers on Linux,
// SChannel on Windows; both verify the server the same way (docs/tls.md).
//
// After every call that may produce ciphertext (Handshake, Read, Write,
// Shutdown, HasPlaintext) the caller sends what TakeOutput gives, until
// HasOutput is false: handshake messages, our answer to the server's key
// update, alerts and our close_notify all come out there.
//
// One thread uses a channel at a time. The only exception is resumeFrom:
// another channel may be created from a channel that its own thread is using.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace plat {

class TlsChannel;

enum class TlsFailure {
    kNone,
    // The handshake did not complete: the settings were unusable, the
    // server refused, or no common protocol or cipher.
    kHandshakeFailed,
    // The certificate chain does not lead to a trusted authority (neither the
    // system store nor the CA file).
    kUntrustedCertificate,
    // Trusted, but not issued for the name or address the host typed.
    kNameMismatch,
    // A pin was given and the server's certificate is another one.
    kPinMismatch,
    // After the handshake: a record that does not decrypt or does not belong.
    kProtocolError,
};

struct TlsSettings {
    // The server as the host typed it: a DNS name or a dotted IPv4 address.
    // A name is sent as SNI and must be a DNS name of the certificate; an
    // address must be one of its IP addresses.
    const char* peerName = nullptr;
    // Optional PEM file of authorities trusted besides the system store.
    const char* caFile = nullptr;
    // Optional SHA-256 of the server's certificate (DER), 64 hex digits in
    // either case, ':' between them ignored. With a pin the certificate is
    // accepted exactly when it matches; chain and name are not looked at.
    const char* pin = nullptr;
    // Optional channel whose TLS session this one offers to resume (a data
    // connection resumes its control connection's session). Read only while
    // Create runs. A server that does not resume gets a full handshake.
    const TlsChannel* resumeFrom = nullptr;
};

class TlsChannel {
public:
    enum HandshakeResult { kHandshakeDone, kHandshakeNeedsInput, kHandshakeFailed };
    enum ReadResult {
        kReadData,        // *got > 0 bytes of plaintext
        kReadNothingYet,  // feed more ciphertext first
        kReadClosed,      // the server sent close_notify: no more data will come
        kReadFailed,      // Failure() tells why
    };

    // Null only when memory runs out. Settings that cannot be used (no peer
    // name, a malformed pin, an unreadable CA file) give a channel that has
    // already failed with kHandshakeFailed and says why.
    static TlsChannel* Create(const TlsSettings& settings);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Ciphertext from the socket, any amount (one byte at a time works).
    // False when it could not be kept (memory); the channel has then failed.
    // The end of the stream is not fed: when the socket ends before Read
    // said kReadClosed, the caller judges whether data may be missing.
    bool Feed(const uint8_t* data, size_t length);
    // Ciphertext waiting to be sent; TakeOutput moves up to capacity bytes of
    // it into buffer and returns how many.
    bool HasOutput() const;
    size_t TakeOutput(uint8_t* buffer, size_t capacity);

    // One step of the handshake with what has been fed so far; call again
    // after every Feed until it is done or failed. Done once it has been done.
    HandshakeResult Handshake();
    // Plaintext, once the handshake is done. Messages that are not data (new
    // session tickets, key updates) are taken care of on the way.
    ReadResult Read(uint8_t* buffer, size_t capacity, size_t* got);
    // True when a Read now would not answer kReadNothingYet: decrypted bytes
    // are waiting inside, or the close or a failure is, although the socket
    // may have nothing more to read.
    bool HasPlaintext();
    // Encrypts all of it into the output. False (and failed) when it could
    // not, or when the handshake is not done.
    bool Write(const uint8_t* data, size_t length);
    // Queues our close_notify. The server's answer is not waited for. False
    // when there is no established connection to close.
    bool Shutdown();

    // True when the handshake resumed the session of resumeFrom.
    bool WasResumed() const;
    TlsFailure Failure() const;
    // A short English reason; empty while nothing failed.
    const char* FailureReason() const;

    struct Impl;

private:
    explicit TlsChannel(Impl* impl) : m_pImpl(impl) {}
    Impl* m_pImpl;
};

}  // namespace plat
