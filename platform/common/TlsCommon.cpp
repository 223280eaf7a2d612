#include "TlsCommon.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <new>

namespace plat {
namespace internal {

void TlsFailureNote::Set(TlsFailure kind, const char* format, ...) {
    if (HasFailed() || kind == TlsFailure::kNone) return;
    m_Kind = kind;
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(m_szReason, sizeof m_szReason, format, arguments);
    va_end(arguments);
}

bool ParseIpv4(const char* text, uint8_t address[4]) {
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') return false;
        int value = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            value = value * 10 + (*p - '0');
            if (++digits > 3 || value > 255) return false;
        }
        if (digits == 0) return false;
        address[part] = static_cast<uint8_t>(value);
    }
    return *p == '\0';
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParsePin(const char* text, uint8_t digest[32]) {
    int digits = 0;
    for (const char* p = text; *p; ++p) {
        if (*p == ':') continue;
        const int value = HexValue(*p);
        if (value < 0 || digits == 64) return false;
        if (digits % 2 == 0) {
            digest[digits / 2] = static_cast<uint8_t>(value << 4);
        } else {
            digest[digits / 2] = static_cast<uint8_t>(digest[digits / 2] | value);
        }
        ++digits;
    }
    return digits == 64;
}

bool ReadTlsSettings(const TlsSettings& settings, TlsPeer* peer, TlsFailureNote* failure) {
    memset(peer, 0, sizeof *peer);
    if (!settings.peerName || !*settings.peerName) {
        failure->Set(TlsFailure::kHandshakeFailed, "no server name to verify the certificate by");
        return false;
    }
    peer->name = settings.peerName;
    peer->isAddress = ParseIpv4(settings.peerName, peer->address);
    if (settings.pin && *settings.pin) {
        if (!ParsePin(settings.pin, peer->pin)) {
            failure->Set(TlsFailure::kHandshakeFailed,
                         "the pin is not a SHA-256 digest (64 hex digits)");
            return false;
        }
        peer->hasPin = true;
    }
    peer->caFile = settings.caFile && *settings.caFile ? settings.caFile : nullptr;
    return true;
}

}  // namespace internal

TlsChannel* TlsChannel::Create(const TlsSettings& settings) {
    Impl* impl = internal::NewTlsChannelImpl(settings);
    if (!impl) return nullptr;
    TlsChannel* channel = new (std::nothrow) TlsChannel(impl);
    if (!channel) internal::DeleteTlsChannelImpl(impl);
    return channel;
}

TlsChannel::~TlsChannel() { internal::DeleteTlsChannelImpl(m_pImpl); }

}  // namespace plat
