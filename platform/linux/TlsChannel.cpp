// The TLS channel on OpenSSL 3. The SSL object reads from and writes to two
// memory BIOs that Feed and TakeOutput fill and empty: OpenSSL never sees
// the socket (its socket BIO writes with write(), and a server that closed
// first would end the host with SIGPIPE).
//
// Sessions: the context keeps no cache of its own; the new-session callback
// keeps the latest session the server gave this channel (with TLS 1.3 the
// tickets come after the handshake, whenever the channel reads). A channel
// that resumes it offers a copy: OpenSSL offers a TLS 1.3 session only once,
// and every data connection must offer it again.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <string.h>

#include <sys/stat.h>

#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "../common/TlsCommon.h"
#include "TlsChannel.h"

namespace plat {

struct TlsChannel::Impl {
    internal::TlsFailureNote failure;
    internal::TlsPeer peer = {};
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    BIO* input = nullptr;   // ciphertext fed, owned by ssl
    BIO* output = nullptr;  // ciphertext to send, owned by ssl
    bool established = false;
    bool pinMismatch = false;
    // The latest session of this channel, for channels that resume it;
    // written on this channel's thread, read on theirs.
    mutable std::mutex sessionLock;
    SSL_SESSION* latestSession = nullptr;

    ~Impl() {
        SSL_free(ssl);
        SSL_CTX_free(context);
        SSL_SESSION_free(latestSession);
    }

    bool Setup(const TlsSettings& settings);
    void ResumeSessionOf(const TlsChannel* other);
    // Notes why the handshake failed: the pin, the verification, or what
    // OpenSSL says.
    void NoteHandshakeFailure();
    void NoteOpenSslFailure(TlsFailure kind, const char* fallback);
};

namespace {

TlsChannel::Impl* ImplOf(const SSL* ssl) {
    return static_cast<TlsChannel::Impl*>(SSL_get_app_data(ssl));
}

// Keeps the session (the reference OpenSSL passes becomes ours: return 1).
int OnNewSession(SSL* ssl, SSL_SESSION* session) {
    TlsChannel::Impl* impl = ImplOf(ssl);
    std::lock_guard<std::mutex> lock(impl->sessionLock);
    SSL_SESSION_free(impl->latestSession);
    impl->latestSession = session;
    return 1;
}

// With a pin, the certificate itself decides, whatever the chain and the
// name: each call looks at the server's certificate, not the one of the
// chain it is about.
int VerifyByPin(int /*preverified*/, X509_STORE_CTX* store) {
    SSL* ssl = static_cast<SSL*>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TlsChannel::Impl* impl = ssl ? ImplOf(ssl) : nullptr;
    X509* certificate = X509_STORE_CTX_get0_cert(store);
    if (!impl || !certificate) return 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool matches = X509_digest(certificate, EVP_sha256(), digest, &length) == 1 &&
                         length == sizeof impl->peer.pin &&
                         memcmp(digest, impl->peer.pin, sizeof impl->peer.pin) == 0;
    if (!matches) {
        impl->pinMismatch = true;
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    }
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
}

// A context with the system store (it honours SSL_CERT_FILE and
// SSL_CERT_DIR) and the host's own authorities; null when the CA file cannot
// be read.
SSL_CTX* NewContext(const char* caFile) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) return nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, OnNewSession);
    SSL_CTX_set_default_verify_paths(context);
    if (caFile && SSL_CTX_load_verify_locations(context, caFile, nullptr) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

// Loading the system store takes 20-30 ms, which the control connection and
// every data connection (each seek) would pay: one context per CA file is
// made once and shared (OpenSSL contexts may be shared between threads). A
// CA file is known by its path, size and time of change, so a file
// rewritten in place is read again. The table lives as long as the process.
SSL_CTX* SharedContext(const char* caFile) {
    std::string key;
    if (caFile) {
        struct stat status;
        if (stat(caFile, &status) != 0) return nullptr;
        key = std::string(caFile) + "|" + std::to_string((long long)status.st_size) + "|" +
              std::to_string((long long)status.st_mtim.tv_sec) + "." +
              std::to_string((long long)status.st_mtim.tv_nsec);
    }
    static std::mutex* lock = new std::mutex;
    static std::map<std::string, SSL_CTX*>* contexts = new std::map<std::string, SSL_CTX*>;
    std::lock_guard<std::mutex> hold(*lock);
    SSL_CTX*& context = (*contexts)[key];
    if (!context) context = NewContext(caFile);
    if (context) SSL_CTX_up_ref(context);
    return context;
}

}  // namespace

bool TlsChannel::Impl::Setup(const TlsSettings& settings) {
    if (!internal::ReadTlsSettings(settings, &peer, &failure)) return false;
    context = SharedContext(peer.caFile);
    if (!context) {
        if (peer.caFile) {
            failure.Set(TlsFailure::kHandshakeFailed, "the CA file %s could not be read",
                        peer.caFile);
        } else {
            NoteOpenSslFailure(TlsFailure::kHandshakeFailed, "OpenSSL could not make a context");
        }
        return false;
    }

    ssl = SSL_new(context);
    input = BIO_new(BIO_s_mem());
    output = BIO_new(BIO_s_mem());
    if (!ssl || !input || !output) {
        BIO_free(input);
        BIO_free(output);
        input = output = nullptr;
        NoteOpenSslFailure(TlsFailure::kHandshakeFailed, "OpenSSL could not make a connection");
        return false;
    }
    // An empty input means "wait for more", not the end of the stream.
    BIO_set_mem_eof_return(input, -1);
    SSL_set_bio(ssl, input, output);
    SSL_set_app_data(ssl, this);
    SSL_set_connect_state(ssl);

    bool named = true;
    if (peer.hasPin) {
        SSL_set_verify(ssl, SSL_VERIFY_PEER, VerifyByPin);
    } else {
        SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
        if (peer.isAddress) {
            named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), peer.name) == 1;
        } else {
            SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            named = SSL_set1_host(ssl, peer.name) == 1;
        }
    }
    // An address is no server name: RFC 6066 leaves it out of SNI.
    if (named && !peer.isAddress) named = SSL_set_tlsext_host_name(ssl, peer.name) == 1;
    if (!named) {
        failure.Set(TlsFailure::kHandshakeFailed, "the server name %s cannot be used", peer.name);
        return false;
    }
    return true;
}

void TlsChannel::Impl::ResumeSessionOf(const TlsChannel* other) {
    if (!other || !other->m_pImpl) return;
    const Impl* source = other->m_pImpl;
    SSL_SESSION* copy = nullptr;
    {
        std::lock_guard<std::mutex> lock(source->sessionLock);
        if (source->latestSession && SSL_SESSION_is_resumable(source->latestSession)) {
            copy = SSL_SESSION_dup(source->latestSession);
        }
    }
    if (!copy) return;
    SSL_set_session(ssl, copy);  // takes a reference of its own
    SSL_SESSION_free(copy);
}

void TlsChannel::Impl::NoteOpenSslFailure(TlsFailure kind, const char* fallback) {
    const char* reason = ERR_reason_error_string(ERR_peek_error());
    failure.Set(kind, "%s", reason ? reason : fallback);
    ERR_clear_error();
}

void TlsChannel::Impl::NoteHandshakeFailure() {
    const long verification = SSL_get_verify_result(ssl);
    if (pinMismatch) {
        failure.Set(TlsFailure::kPinMismatch, "the server's certificate does not match the pin");
    } else if (verification == X509_V_ERR_HOSTNAME_MISMATCH ||
               verification == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        failure.Set(TlsFailure::kNameMismatch, "the server's certificate is not for %s",
                    peer.name);
    } else if (verification != X509_V_OK) {
        failure.Set(TlsFailure::kUntrustedCertificate,
                    "the server's certificate is not trusted: %s",
                    X509_verify_cert_error_string(verification));
    }
    NoteOpenSslFailure(TlsFailure::kHandshakeFailed, "the handshake failed");
}

TlsChannel::Impl* internal::NewTlsChannelImpl(const TlsSettings& settings) {
    TlsChannel::Impl* impl = new (std::nothrow) TlsChannel::Impl;
    if (!impl) return nullptr;
    ERR_clear_error();
    if (impl->Setup(settings)) impl->ResumeSessionOf(settings.resumeFrom);
    ERR_clear_error();
    return impl;
}

void internal::DeleteTlsChannelImpl(TlsChannel::Impl* impl) { delete impl; }

bool TlsChannel::Feed(const uint8_t* data, size_t length) {
    if (m_pImpl->failure.HasFailed()) return false;
    while (length > 0) {
        const int piece = static_cast<int>(
            length < static_cast<size_t>(std::numeric_limits<int>::max())
                ? length
                : static_cast<size_t>(std::numeric_limits<int>::max()));
        if (BIO_write(m_pImpl->input, data, piece) != piece) {
            m_pImpl->NoteOpenSslFailure(TlsFailure::kProtocolError,
                                        "no memory for the received bytes");
            return false;
        }
        data += piece;
        length -= static_cast<size_t>(piece);
    }
    return true;
}

bool TlsChannel::HasOutput() const {
    return m_pImpl->output && BIO_ctrl_pending(m_pImpl->output) > 0;
}

size_t TlsChannel::TakeOutput(uint8_t* buffer, size_t capacity) {
    if (!m_pImpl->output || capacity == 0) return 0;
    const int wanted = capacity < static_cast<size_t>(std::numeric_limits<int>::max())
                           ? static_cast<int>(capacity)
                           : std::numeric_limits<int>::max();
    const int taken = BIO_read(m_pImpl->output, buffer, wanted);
    return taken > 0 ? static_cast<size_t>(taken) : 0;
}

TlsChannel::HandshakeResult TlsChannel::Handshake() {
    if (m_pImpl->failure.HasFailed()) return kHandshakeFailed;
    if (m_pImpl->established) return kHandshakeDone;
    ERR_clear_error();
    const int result = SSL_do_handshake(m_pImpl->ssl);
    if (result == 1) {
        m_pImpl->established = true;
        return kHandshakeDone;
    }
    if (SSL_get_error(m_pImpl->ssl, result) == SSL_ERROR_WANT_READ) return kHandshakeNeedsInput;
    m_pImpl->NoteHandshakeFailure();
    return kHandshakeFailed;
}

TlsChannel::ReadResult TlsChannel::Read(uint8_t* buffer, size_t capacity, size_t* got) {
    *got = 0;
    if (m_pImpl->failure.HasFailed()) return kReadFailed;
    if (!m_pImpl->established || capacity == 0) return kReadNothingYet;
    ERR_clear_error();
    const int result = SSL_read_ex(m_pImpl->ssl, buffer, capacity, got);
    if (result == 1) return kReadData;
    switch (SSL_get_error(m_pImpl->ssl, result)) {
    case SSL_ERROR_WANT_READ: return kReadNothingYet;
    case SSL_ERROR_ZERO_RETURN: return kReadClosed;
    default:
        m_pImpl->NoteOpenSslFailure(TlsFailure::kProtocolError, "a record could not be read");
        return kReadFailed;
    }
}

bool TlsChannel::HasPlaintext() {
    if (m_pImpl->failure.HasFailed()) return true;
    if (!m_pImpl->established) return false;
    SSL* ssl = m_pImpl->ssl;
    if (SSL_pending(ssl) > 0) return true;
    if (BIO_ctrl_pending(m_pImpl->input) == 0 && !SSL_has_pending(ssl)) {
        // Nothing unread inside, unless the close has been read already.
        return (SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
    }
    // Whole records may be waiting undecrypted: a peek decrypts as far as the
    // first byte of data (taking care of tickets and key updates on the way).
    ERR_clear_error();
    uint8_t first;
    size_t peeked = 0;
    const int result = SSL_peek_ex(ssl, &first, 1, &peeked);
    if (result == 1) return true;
    const int error = SSL_get_error(ssl, result);
    ERR_clear_error();
    return error != SSL_ERROR_WANT_READ;
}

bool TlsChannel::Write(const uint8_t* data, size_t length) {
    if (m_pImpl->failure.HasFailed() || !m_pImpl->established) return false;
    if (length == 0) return true;
    ERR_clear_error();
    size_t written = 0;
    if (SSL_write_ex(m_pImpl->ssl, data, length, &written) == 1 && written == length) return true;
    m_pImpl->NoteOpenSslFailure(TlsFailure::kProtocolError, "the data could not be encrypted");
    return false;
}

bool TlsChannel::Shutdown() {
    if (m_pImpl->failure.HasFailed() || !m_pImpl->established) return false;
    ERR_clear_error();
    // 0: ours is queued and the server's not seen yet; 1: both.
    const bool queued = SSL_shutdown(m_pImpl->ssl) >= 0;
    ERR_clear_error();
    return queued;
}

bool TlsChannel::WasResumed() const {
    return m_pImpl->established && SSL_session_reused(m_pImpl->ssl) == 1;
}

TlsFailure TlsChannel::Failure() const { return m_pImpl->failure.Kind(); }

const char* TlsChannel::FailureReason() const { return m_pImpl->failure.Reason(); }

}  // namespace plat
