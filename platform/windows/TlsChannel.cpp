// The TLS channel on SChannel (secur32) with our own certificate checks
// (crypt32). SChannel is told to leave the server's certificate to us
// (ISC_REQ_MANUAL_CRED_VALIDATION): a pin, a CA file besides the system
// store and IP addresses are rules of ours, and Wine's SSL policy refuses IP
// addresses outright. After the handshake: the pin against the SHA-256 of the
// certificate, or the chain (through an engine whose roots are the system's
// and the CA file's) and the SSL policy for a name, our own comparison with
// the certificate's iPAddress names for an address.
//
// Records are decrypted in place in the input buffer; what follows a record
// (SECBUFFER_EXTRA) stays there for the next call, and a record that is not
// complete yet (SEC_E_INCOMPLETE_MESSAGE) waits for more bytes.
//
// Resumption: SChannel keeps sessions per credential handle and target
// name, so a channel that resumes another shares that one's credential
// handle. Wine never resumes (and negotiates TLS 1.2 only); real Windows does.
#include "Platform.h"

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <stddef.h>
#include <string.h>
#include <wincrypt.h>

#include <new>
#include <vector>

#include "../common/TlsCommon.h"
#include "TlsChannel.h"

namespace plat {
namespace {

const unsigned long kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                    ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                    ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                    ISC_REQ_MANUAL_CRED_VALIDATION;
const uint8_t kAlertRecord = 21;
// SECURITY_FLAG_IGNORE_CERT_CN_INVALID of wininet.h: the SSL policy leaves
// the name alone (an address is compared by us).
const DWORD kPolicyIgnoresName = 0x00001000;
// Rounds of one handshake step on bytes already there (several handshake
// messages in one read, a request for a client certificate).
const int kMaxHandshakeRounds = 16;

// Bytes in order: appended at the end, consumed from the front.
class ByteQueue {
public:
    uint8_t* Data() { return m_Bytes.data() + m_nStart; }
    size_t Size() const { return m_Bytes.size() - m_nStart; }
    bool Append(const void* data, size_t length) {
        if (length == 0) return true;
        try {
            if (m_nStart > 0 && m_nStart >= m_Bytes.size() / 2) Compact();
            const uint8_t* bytes = static_cast<const uint8_t*>(data);
            m_Bytes.insert(m_Bytes.end(), bytes, bytes + length);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    void Consume(size_t length) {
        m_nStart += length < Size() ? length : Size();
        if (m_nStart == m_Bytes.size()) {
            m_Bytes.clear();
            m_nStart = 0;
        }
    }
    void KeepLast(size_t length) { Consume(Size() - (length < Size() ? length : Size())); }
    size_t Take(void* buffer, size_t capacity) {
        const size_t length = capacity < Size() ? capacity : Size();
        memcpy(buffer, Data(), length);
        Consume(length);
        return length;
    }

private:
    void Compact() {
        m_Bytes.erase(m_Bytes.begin(), m_Bytes.begin() + static_cast<ptrdiff_t>(m_nStart));
        m_nStart = 0;
    }
    std::vector<uint8_t> m_Bytes;
    size_t m_nStart = 0;
};

// A credential handle shared by a channel and the channels that resume it.
struct SharedCredential {
    CredHandle handle;
    LONG references;
};

SharedCredential* AcquireCredential() {
    SharedCredential* credential = new (std::nothrow) SharedCredential;
    if (!credential) return nullptr;
    SCHANNEL_CRED settings = {};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry;
    char package[] = UNISP_NAME_A;
    if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &settings,
                                  nullptr, nullptr, &credential->handle, &expiry) != SEC_E_OK) {
        delete credential;
        return nullptr;
    }
    credential->references = 1;
    return credential;
}

void ReleaseCredential(SharedCredential* credential) {
    if (credential && InterlockedDecrement(&credential->references) == 0) {
        FreeCredentialsHandle(&credential->handle);
        delete credential;
    }
}

SecBuffer MakeBuffer(unsigned long type, void* data = nullptr, unsigned long length = 0) {
    SecBuffer buffer;
    buffer.cbBuffer = length;
    buffer.BufferType = type;
    buffer.pvBuffer = data;
    return buffer;
}

SecBufferDesc Describe(SecBuffer* buffers, unsigned long count) {
    SecBufferDesc description;
    description.ulVersion = SECBUFFER_VERSION;
    description.cBuffers = count;
    description.pBuffers = buffers;
    return description;
}

const SecBuffer* FindBuffer(const SecBuffer* buffers, int count, unsigned long type) {
    for (int i = 0; i < count; ++i) {
        if (buffers[i].BufferType == type) return &buffers[i];
    }
    return nullptr;
}

// The certificates of a PEM file, in a memory store; null when the file
// cannot be read or holds none.
HCERTSTORE LoadPemCertificates(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    std::vector<char> text;
    char chunk[4096];
    DWORD got = 0;
    bool read = true;
    try {
        while ((read = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0) {
            text.insert(text.end(), chunk, chunk + got);
        }
        text.push_back('\0');
    } catch (const std::bad_alloc&) {
        read = false;
    }
    ::CloseHandle(file);
    if (!read) return nullptr;

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store) return nullptr;
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static const char kEnd[] = "-----END CERTIFICATE-----";
    int added = 0;
    for (const char* at = strstr(text.data(), kBegin); at; at = strstr(at, kBegin)) {
        const char* end = strstr(at, kEnd);
        if (!end) break;
        end += sizeof kEnd - 1;
        const DWORD length = static_cast<DWORD>(end - at);
        DWORD size = 0;
        if (CryptStringToBinaryA(at, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                 nullptr)) {
            std::vector<BYTE> der(size);
            if (CryptStringToBinaryA(at, length, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                                     nullptr, nullptr) &&
                CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                 CERT_STORE_ADD_ALWAYS, nullptr)) {
                ++added;
            }
        }
        at = end;
    }
    if (added == 0) {
        CertCloseStore(store, 0);
        return nullptr;
    }
    return store;
}

bool HasAddressName(PCCERT_CONTEXT certificate, const uint8_t address[4]) {
    const CERT_INFO* info = certificate->pCertInfo;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!extension) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                             &size)) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
                memcmp(entry.IPAddress.pbData, address, 4) == 0;
    }
    LocalFree(names);
    return found;
}

}  // namespace

struct TlsChannel::Impl {
    internal::TlsFailureNote failure;
    internal::TlsPeer peer = {};
    SharedCredential* credential = nullptr;
    CtxtHandle context;
    bool hasContext = false;
    bool established = false;
    // A handshake after the handshake (SEC_I_RENEGOTIATE: a TLS 1.2 server's
    // new handshake, a ticket or key update where SChannel speaks TLS 1.3):
    // the records after it wait until the context has taken it in.
    enum { kNoRenegotiation, kRenegotiationAsked, kRenegotiationNeedsInput } renegotiation =
        kNoRenegotiation;
    bool closed = false;
    bool resumeOffered = false;
    HCERTSTORE authorities = nullptr;  // the CA file's certificates
    SecPkgContext_StreamSizes sizes = {};
    ByteQueue input;      // ciphertext not used yet
    ByteQueue output;     // ciphertext to send
    ByteQueue plaintext;  // decrypted, not read yet

    ~Impl() {
        if (hasContext) DeleteSecurityContext(&context);
        ReleaseCredential(credential);
        if (authorities) CertCloseStore(authorities, 0);
    }

    bool Setup(const TlsSettings& settings);
    // Handshake steps on the input until done, failed or short of bytes; the
    // first step even without input when firstStepWithoutInput.
    HandshakeResult Negotiate(bool firstStepWithoutInput);
    bool TakeToken(SecBuffer* token);
    void OnHandshakeDone();
    void VerifyServer(PCCERT_CONTEXT certificate);
    void VerifyChain(PCCERT_CONTEXT certificate);
    void VerifyPin(PCCERT_CONTEXT certificate);
    // One record out of the input. False when a whole record is not there yet
    // or the channel has failed or is closed.
    bool DecryptRecord();
    void Fail(TlsFailure kind, const char* what, SECURITY_STATUS status) {
        failure.Set(kind, "%s (0x%08lx)", what, static_cast<unsigned long>(status));
    }
};

bool TlsChannel::Impl::Setup(const TlsSettings& settings) {
    if (!internal::ReadTlsSettings(settings, &peer, &failure)) return false;
    if (peer.caFile) {
        authorities = LoadPemCertificates(peer.caFile);
        if (!authorities) {
            failure.Set(TlsFailure::kHandshakeFailed,
                        "the CA file %s could not be read or holds no certificate", peer.caFile);
            return false;
        }
    }
    const TlsChannel* other = settings.resumeFrom;
    if (other && other->m_pImpl && other->m_pImpl->credential) {
        credential = other->m_pImpl->credential;
        InterlockedIncrement(&credential->references);
        resumeOffered = true;
    } else {
        credential = AcquireCredential();
    }
    if (!credential) {
        failure.Set(TlsFailure::kHandshakeFailed, "SChannel gave no credential handle");
        return false;
    }
    return true;
}

bool TlsChannel::Impl::TakeToken(SecBuffer* token) {
    if (!token->pvBuffer) return true;
    const bool kept = output.Append(token->pvBuffer, token->cbBuffer);
    FreeContextBuffer(token->pvBuffer);
    token->pvBuffer = nullptr;
    if (!kept) failure.Set(TlsFailure::kHandshakeFailed, "no memory for the handshake");
    return kept;
}

TlsChannel::HandshakeResult TlsChannel::Impl::Negotiate(bool firstStepWithoutInput) {
    for (int round = 0; round < kMaxHandshakeRounds; ++round) {
        const bool withoutInput = round == 0 && firstStepWithoutInput;
        if (hasContext && input.Size() == 0 && !withoutInput) return kHandshakeNeedsInput;
        SecBuffer in[2] = {MakeBuffer(SECBUFFER_TOKEN, input.Data(),
                                      static_cast<unsigned long>(input.Size())),
                           MakeBuffer(SECBUFFER_EMPTY)};
        SecBuffer out[1] = {MakeBuffer(SECBUFFER_TOKEN)};
        SecBufferDesc inDescription = Describe(in, 2);
        SecBufferDesc outDescription = Describe(out, 1);
        unsigned long attributes = 0;
        const SECURITY_STATUS status = InitializeSecurityContextA(
            &credential->handle, hasContext ? &context : nullptr, const_cast<char*>(peer.name),
            kContextFlags, 0, 0, hasContext ? &inDescription : nullptr, 0, &context,
            &outDescription, &attributes, nullptr);
        // A failure may still come with an alert for the server.
        if (!TakeToken(&out[0])) return kHandshakeFailed;
        if (status == SEC_E_INCOMPLETE_MESSAGE) return kHandshakeNeedsInput;
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED &&
            status != SEC_I_INCOMPLETE_CREDENTIALS) {
            Fail(TlsFailure::kHandshakeFailed, "the handshake failed", status);
            return kHandshakeFailed;
        }
        if (!hasContext) {
            hasContext = true;
            if (status == SEC_I_CONTINUE_NEEDED) return kHandshakeNeedsInput;
        }
        // The server asked for a certificate: go on without one, same input.
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) continue;
        const SecBuffer* extra = FindBuffer(in, 2, SECBUFFER_EXTRA);
        input.KeepLast(extra ? extra->cbBuffer : 0);
        if (status == SEC_E_OK) return kHandshakeDone;
    }
    Fail(TlsFailure::kHandshakeFailed, "the handshake did not advance", SEC_E_INTERNAL_ERROR);
    return kHandshakeFailed;
}

void TlsChannel::Impl::OnHandshakeDone() {
    const SECURITY_STATUS status =
        QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (status != SEC_E_OK) {
        Fail(TlsFailure::kHandshakeFailed, "SChannel gave no record sizes", status);
        return;
    }
    PCCERT_CONTEXT certificate = nullptr;
    const SECURITY_STATUS found =
        QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (found != SEC_E_OK || !certificate) {
        Fail(TlsFailure::kHandshakeFailed, "the server sent no certificate", found);
        return;
    }
    VerifyServer(certificate);
    CertFreeCertificateContext(certificate);
    if (!failure.HasFailed()) established = true;
}

void TlsChannel::Impl::VerifyServer(PCCERT_CONTEXT certificate) {
    if (peer.hasPin) {
        VerifyPin(certificate);
    } else {
        VerifyChain(certificate);
    }
}

void TlsChannel::Impl::VerifyPin(PCCERT_CONTEXT certificate) {
    BYTE digest[32];
    DWORD length = sizeof digest;
    if (!CryptHashCertificate2(L"SHA256", 0, nullptr, certificate->pbCertEncoded,
                               certificate->cbCertEncoded, digest, &length) ||
        length != sizeof digest) {
        failure.Set(TlsFailure::kHandshakeFailed, "the certificate's SHA-256 could not be made");
    } else if (memcmp(digest, peer.pin, sizeof digest) != 0) {
        failure.Set(TlsFailure::kPinMismatch, "the server's certificate does not match the pin");
    }
}

void TlsChannel::Impl::VerifyChain(PCCERT_CONTEXT certificate) {
    // With a CA file: an engine whose roots are the system's and the file's.
    HCERTCHAINENGINE engine = nullptr;
    HCERTSTORE roots = nullptr;
    if (authorities) {
        roots = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
        HCERTSTORE system = CertOpenSystemStoreA(0, "ROOT");
        if (roots) {
            if (system) CertAddStoreToCollection(roots, system, 0, 0);
            CertAddStoreToCollection(roots, authorities, 0, 1);
            CERT_CHAIN_ENGINE_CONFIG config = {};
            // The Windows 7 form, up to hExclusiveTrustedPeople: later
            // Windows take it too, and Wine takes no other with hExclusiveRoot.
            config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
            config.hExclusiveRoot = roots;
            if (!CertCreateCertificateChainEngine(&config, &engine)) engine = nullptr;
        }
        if (system) CertCloseStore(system, 0);
        if (!engine) {
            if (roots) CertCloseStore(roots, 0);
            failure.Set(TlsFailure::kHandshakeFailed, "no chain engine for the CA file");
            return;
        }
    }

    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA chainSettings = {};
    chainSettings.cbSize = sizeof chainSettings;
    chainSettings.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainSettings.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainSettings.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(engine, certificate, nullptr, certificate->hCertStore,
                                 &chainSettings, 0, nullptr, &chain)) {
        failure.Set(TlsFailure::kUntrustedCertificate, "no certificate chain could be built");
    } else {
        // The SSL policy checks a name; an address is compared below.
        wchar_t name[256] = {};
        MultiByteToWideChar(CP_UTF8, 0, peer.name, -1, name, 255);
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.fdwChecks = peer.isAddress ? kPolicyIgnoresName : 0;
        ssl.pwszServerName = peer.isAddress ? nullptr : name;
        CERT_CHAIN_POLICY_PARA policy = {};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof status;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
            failure.Set(TlsFailure::kUntrustedCertificate, "the SSL policy could not be applied");
        } else if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
            failure.Set(TlsFailure::kNameMismatch, "the server's certificate is not for %s",
                        peer.name);
        } else if (status.dwError != 0) {
            Fail(TlsFailure::kUntrustedCertificate, "the server's certificate is not trusted",
                 static_cast<SECURITY_STATUS>(status.dwError));
        } else if (peer.isAddress && !HasAddressName(certificate, peer.address)) {
            failure.Set(TlsFailure::kNameMismatch, "the server's certificate is not for %s",
                        peer.name);
        }
        CertFreeCertificateChain(chain);
    }
    if (engine) CertFreeCertificateChainEngine(engine);
    if (roots) CertCloseStore(roots, 0);
}

bool TlsChannel::Impl::DecryptRecord() {
    if (failure.HasFailed() || closed) return false;
    if (renegotiation != kNoRenegotiation) {
        const HandshakeResult result = Negotiate(renegotiation == kRenegotiationAsked);
        if (result == kHandshakeNeedsInput) renegotiation = kRenegotiationNeedsInput;
        if (result != kHandshakeDone) return false;
        renegotiation = kNoRenegotiation;
    }
    if (input.Size() == 0) return false;
    const uint8_t contentType = input.Data()[0];
    SecBuffer buffers[4] = {
        MakeBuffer(SECBUFFER_DATA, input.Data(), static_cast<unsigned long>(input.Size())),
        MakeBuffer(SECBUFFER_EMPTY), MakeBuffer(SECBUFFER_EMPTY), MakeBuffer(SECBUFFER_EMPTY)};
    SecBufferDesc description = Describe(buffers, 4);
    const SECURITY_STATUS status = DecryptMessage(&context, &description, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return false;
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
        Fail(TlsFailure::kProtocolError, "a record could not be decrypted", status);
        return false;
    }
    const SecBuffer* data = FindBuffer(buffers, 4, SECBUFFER_DATA);
    const SecBuffer* extra = FindBuffer(buffers, 4, SECBUFFER_EXTRA);
    const size_t dataLength = data ? data->cbBuffer : 0;
    if (dataLength > 0 && !plaintext.Append(data->pvBuffer, dataLength)) {
        failure.Set(TlsFailure::kProtocolError, "no memory for the received data");
        return false;
    }
    input.KeepLast(extra ? extra->cbBuffer : 0);
    // The server's close_notify: SEC_I_CONTEXT_EXPIRED on Windows; Wine
    // reports it as an alert record that decrypted to nothing.
    if (status == SEC_I_CONTEXT_EXPIRED || (dataLength == 0 && contentType == kAlertRecord)) {
        closed = true;
    } else if (status == SEC_I_RENEGOTIATE) {
        renegotiation = kRenegotiationAsked;
    }
    return true;
}

TlsChannel::Impl* internal::NewTlsChannelImpl(const TlsSettings& settings) {
    TlsChannel::Impl* impl = new (std::nothrow) TlsChannel::Impl;
    if (impl) impl->Setup(settings);
    return impl;
}

void internal::DeleteTlsChannelImpl(TlsChannel::Impl* impl) { delete impl; }

bool TlsChannel::Feed(const uint8_t* data, size_t length) {
    if (m_pImpl->failure.HasFailed()) return false;
    if (m_pImpl->input.Append(data, length)) return true;
    m_pImpl->failure.Set(TlsFailure::kProtocolError, "no memory for the received bytes");
    return false;
}

bool TlsChannel::HasOutput() const { return m_pImpl->output.Size() > 0; }

size_t TlsChannel::TakeOutput(uint8_t* buffer, size_t capacity) {
    return m_pImpl->output.Take(buffer, capacity);
}

TlsChannel::HandshakeResult TlsChannel::Handshake() {
    if (m_pImpl->failure.HasFailed()) return kHandshakeFailed;
    if (m_pImpl->established) return kHandshakeDone;
    const HandshakeResult result = m_pImpl->Negotiate(false);
    if (result != kHandshakeDone) return result;
    m_pImpl->OnHandshakeDone();
    return m_pImpl->established ? kHandshakeDone : kHandshakeFailed;
}

TlsChannel::ReadResult TlsChannel::Read(uint8_t* buffer, size_t capacity, size_t* got) {
    *got = 0;
    if (!m_pImpl->established || capacity == 0) {
        return m_pImpl->failure.HasFailed() ? kReadFailed : kReadNothingYet;
    }
    // Each round takes a record out of the input, which is finite.
    while (m_pImpl->plaintext.Size() == 0 && m_pImpl->DecryptRecord()) {
    }
    if (m_pImpl->plaintext.Size() > 0) {
        *got = m_pImpl->plaintext.Take(buffer, capacity);
        return kReadData;
    }
    if (m_pImpl->failure.HasFailed()) return kReadFailed;
    return m_pImpl->closed ? kReadClosed : kReadNothingYet;
}

bool TlsChannel::HasPlaintext() {
    if (m_pImpl->failure.HasFailed()) return true;
    if (!m_pImpl->established) return false;
    while (m_pImpl->plaintext.Size() == 0 && m_pImpl->DecryptRecord()) {
    }
    return m_pImpl->plaintext.Size() > 0 || m_pImpl->closed || m_pImpl->failure.HasFailed();
}

bool TlsChannel::Write(const uint8_t* data, size_t length) {
    Impl* impl = m_pImpl;
    if (impl->failure.HasFailed() || !impl->established) return false;
    const size_t most = impl->sizes.cbMaximumMessage;
    if (most == 0) {
        impl->failure.Set(TlsFailure::kProtocolError, "SChannel gave no record size");
        return false;
    }
    std::vector<uint8_t> record;
    while (length > 0) {
        const size_t piece = length < most ? length : most;
        const size_t header = impl->sizes.cbHeader;
        try {
            record.resize(header + piece + impl->sizes.cbTrailer);
        } catch (const std::bad_alloc&) {
            impl->failure.Set(TlsFailure::kProtocolError, "no memory for a record");
            return false;
        }
        memcpy(record.data() + header, data, piece);
        SecBuffer buffers[4] = {
            MakeBuffer(SECBUFFER_STREAM_HEADER, record.data(), impl->sizes.cbHeader),
            MakeBuffer(SECBUFFER_DATA, record.data() + header, static_cast<unsigned long>(piece)),
            MakeBuffer(SECBUFFER_STREAM_TRAILER, record.data() + header + piece,
                       impl->sizes.cbTrailer),
            MakeBuffer(SECBUFFER_EMPTY)};
        SecBufferDesc description = Describe(buffers, 4);
        const SECURITY_STATUS status = EncryptMessage(&impl->context, 0, &description, 0);
        if (status != SEC_E_OK) {
            impl->Fail(TlsFailure::kProtocolError, "the data could not be encrypted", status);
            return false;
        }
        // The trailer may come out shorter than its room.
        const size_t produced = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (!impl->output.Append(record.data(), produced)) {
            impl->failure.Set(TlsFailure::kProtocolError, "no memory for a record");
            return false;
        }
        data += piece;
        length -= piece;
    }
    return true;
}

bool TlsChannel::Shutdown() {
    Impl* impl = m_pImpl;
    if (impl->failure.HasFailed() || !impl->established) return false;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token = MakeBuffer(SECBUFFER_TOKEN, &type, sizeof type);
    SecBufferDesc tokenDescription = Describe(&token, 1);
    if (ApplyControlToken(&impl->context, &tokenDescription) != SEC_E_OK) return false;
    SecBuffer out[1] = {MakeBuffer(SECBUFFER_TOKEN)};
    SecBufferDesc outDescription = Describe(out, 1);
    unsigned long attributes = 0;
    const SECURITY_STATUS status = InitializeSecurityContextA(
        &impl->credential->handle, &impl->context, const_cast<char*>(impl->peer.name),
        kContextFlags, 0, 0, nullptr, 0, &impl->context, &outDescription, &attributes, nullptr);
    const bool queued = out[0].pvBuffer && out[0].cbBuffer > 0 &&
                        (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED);
    return impl->TakeToken(&out[0]) && queued;
}

bool TlsChannel::WasResumed() const {
    if (!m_pImpl->established || !m_pImpl->resumeOffered) return false;
    SecPkgContext_SessionInfo session = {};
    return QueryContextAttributesA(&m_pImpl->context, SECPKG_ATTR_SESSION_INFO, &session) ==
               SEC_E_OK &&
           (session.dwFlags & SSL_SESSION_RECONNECT) != 0;
}

TlsFailure TlsChannel::Failure() const { return m_pImpl->failure.Kind(); }

const char* TlsChannel::FailureReason() const { return m_pImpl->failure.Reason(); }

}  // namespace plat
