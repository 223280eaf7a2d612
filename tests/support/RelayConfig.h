// How the network relay (NetworkRelay.h) treats the bytes it passes on: the
// time each byte spends on the way, how the bytes are cut into sends, and how
// fast they may go. One setting covers both directions of every connection
// unless its comment says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace relay {

struct RelayConfig {
    // Every byte reaches the other side this long after the relay read it,
    // control and data, both ways.
    int delayMs = 0;
    // Up to this much more, drawn anew for every read; never reorders bytes
    // (a read is not delivered before an earlier one).
    int jitterMs = 0;
    // Server-to-client control bytes go out in sends of at most this many
    // bytes, replyPieceGapMs apart, so the client sees separate receives.
    // 0: as many as are due, in one send.
    size_t replyPieceBytes = 0;
    int replyPieceGapMs = 1;
    // The same for data connections, both ways.
    size_t dataPieceBytes = 0;
    int dataPieceGapMs = 0;
    // Limit of each direction of each connection; 0: none.
    size_t bytesPerSecond = 0;
    // Seeds the jitter.
    uint32_t seed = 1;
    // Port-range mode, for TLS, which hides the passive replies from the
    // relay: instead of rewriting them, the relay holds this many passive
    // ports of its own and forwards each to the same port of the server,
    // which announces the relay's address (NetworkRelay.h, RelayRoute). The
    // test fixture chooses the ports and sets the server up to match.
    // 0: rewrite the replies. At most kMostPortRange.
    int portRange = 0;
    static constexpr int kMostPortRange = 48;
    // A new connection (control or data) costs what a TCP handshake costs
    // on a link of this delay: the relay connects to the server only one and
    // a half round trips (3 x delayMs) after the client's connect, so the
    // client's first bytes reach the server then, and the server's first
    // bytes reach the client two round trips after the connect at the
    // earliest. Without it a connection reaches the server at once, as on
    // loopback. The client's own connect still returns at once.
    bool tcpHandshake = false;

    // Reads "key=value,key=value" with the keys delay_ms, jitter_ms, piece,
    // piece_gap_ms, data_piece, data_gap_ms, rate, seed, port_range,
    // handshake (0 or 1) (spaces
    // allowed around items). False, with *error naming the item, on an
    // unknown key or a value that is not a whole number in range; *config is
    // then unchanged.
    static bool Parse(const std::string& text, RelayConfig* config, std::string* error);
    // The same syntax, every key: for messages and logs.
    std::string Describe() const;

    // How long after the client's connect the relay connects to the server.
    int ServerConnectDelayMs() const { return tcpHandshake ? 3 * delayMs : 0; }
};

// Faults the relay puts into the connections, changeable while it runs
// (NetworkRelay::SetFaults).
struct RelayFaults {
    static constexpr size_t kNever = static_cast<size_t>(-1);

    // Every data connection paired from now on is reset (SO_LINGER 0 on
    // both of its sockets) once this many bytes went from the server to the
    // client.
    size_t resetDataAfterBytes = kNever;
    // A control line from the client whose command is this verb (compared
    // without case) is not passed on: the relay closes that control
    // connection instead, an orderly close on both sides. Empty: none.
    std::string closeControlOnVerb;
};

}  // namespace relay
