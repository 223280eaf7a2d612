// What the two TLS stacks share: reading the settings and keeping the
// failure. Not for library code, which sees only TlsChannel.h.
#pragma once

#include <stdint.h>

#include "TlsChannel.h"

namespace plat {
namespace internal {

// The first failure of a channel and its reason; later ones do not replace it.
class TlsFailureNote {
public:
    TlsFailureNote() : m_Kind(TlsFailure::kNone) { m_szReason[0] = '\0'; }
    bool HasFailed() const { return m_Kind != TlsFailure::kNone; }
    TlsFailure Kind() const { return m_Kind; }
    const char* Reason() const { return m_szReason; }
    // printf-style reason. Does nothing once a failure is noted.
    void Set(TlsFailure kind, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

private:
    TlsFailure m_Kind;
    char m_szReason[240];
};

// The settings as both stacks use them.
struct TlsPeer {
    const char* name;   // as typed
    bool isAddress;     // a dotted IPv4 address, held in address
    uint8_t address[4];
    bool hasPin;
    uint8_t pin[32];
    const char* caFile;  // null when none
};

// Each stack's part of TlsChannel::Create and the destructor, which are
// shared: its state made from the settings (failed already when they cannot
// be used; null only without memory), and deleting it.
TlsChannel::Impl* NewTlsChannelImpl(const TlsSettings& settings);
void DeleteTlsChannelImpl(TlsChannel::Impl* impl);

// Checks and parses the settings; false with the reason noted when they
// cannot be used.
bool ReadTlsSettings(const TlsSettings& settings, TlsPeer* peer, TlsFailureNote* failure);

// Four decimal numbers 0..255 joined by dots, nothing else.
bool ParseIpv4(const char* text, uint8_t address[4]);

// 64 hex digits in either case, ':' ignored.
bool ParsePin(const char* text, uint8_t digest[32]);

}  // namespace internal
}  // namespace plat
