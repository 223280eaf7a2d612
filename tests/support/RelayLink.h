// One connection of the network relay: the client's socket paired with the
// relay's own connection to the server, run by one thread that passes bytes
// both ways with the configured delay, pieces and rate, and passes on an
// orderly end or a reset as it happens on either side. The link makes its
// connection to the server itself, when it is due (at once, or after the
// time a TCP handshake takes on the relayed link); until then it reads what
// the client sends and holds it.
//
// On a control connection the server's replies are taken a whole line at a
// time, so a "227 " or "229 " line that comes split is read once it is
// complete; such a line is rewritten to announce a data port of the relay.
// The cutting into pieces happens afterwards, on the way to the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "RelayConfig.h"
#include "RelayCounters.h"
#include "RelayDirection.h"
#include "RelaySocket.h"

namespace relay {

enum class LinkKind { Control, Data };

// What a link needs from the relay that runs it.
struct LinkContext {
    const RelayConfig* config = nullptr;
    RelayCounters* counters = nullptr;
    std::function<bool()> stopping;
    std::function<RelayFaults()> faults;
    // Opens a relay data port paired with the server's address and port
    // (network byte order address); 0 when it could not. Empty: passive
    // replies are not rewritten and replies pass as they come.
    std::function<uint16_t(uint32_t address, uint16_t port)> openDataRoute;
    // Network byte order: where the relay's data ports are (announced in
    // the rewritten replies), and the server's address, which data
    // connections take when a reply names no address or one off this machine.
    uint32_t relayAddress = 0;
    uint32_t serverAddress = 0;
    uint32_t seed = 1;
    // The server's end of this link (network byte order address; port 0:
    // nothing to connect to, the client's connection is reset) and when
    // the link connects there.
    uint32_t targetAddress = 0;
    uint16_t targetPort = 0;
    Clock::time_point connectAt;
};

class RelayLink {
public:
    RelayLink(LinkKind kind, RelaySocket client, LinkContext context);
    RelayLink(const RelayLink&) = delete;
    RelayLink& operator=(const RelayLink&) = delete;

    // Connects to the server when due, then passes bytes until both sides
    // have ended their streams, a side reset its connection, a fault ends
    // it, nothing moved for a long while, or the relay stops. Both sockets
    // are closed when it returns.
    void Run();

private:
    struct Flow {
        Flow(const DirectionShape& shape, uint32_t seed, bool toClient, RelaySocket* from, RelaySocket* to)
            : queue(shape, seed), toClient(toClient), from(from), to(to) {}
        RelayDirection queue;
        const bool toClient;
        RelaySocket* const from;
        RelaySocket* const to;
        bool sourceOpen = true;
        bool sourceReset = false;
        bool finished = false;      // its end was passed on, or its receiver is gone
        bool receiverGone = false;  // a send failed: the receiving side closed or reset
        std::string unfinishedLine;  // control: bytes after the last line end
    };

    DirectionShape ShapeOf(bool toClient) const;
    Flow& Other(const Flow& flow) { return &flow == &m_ToServer ? m_ToClient : m_ToServer; }
    bool Broken() const { return m_BrokenAt != Clock::time_point::max(); }

    // False, with the client's connection reset, when the server refused.
    bool ConnectServer();
    // One round: wait for the sockets or the next due time, then read and send.
    void Step();
    void PassEndsThatAreDue(Clock::time_point now);
    void Receive(Flow& flow, Clock::time_point now);
    void Take(Flow& flow, const char* bytes, size_t length, Clock::time_point now);
    void TakeReplies(Flow& flow, Clock::time_point now);
    void TakeCommands(Flow& flow, Clock::time_point now);
    std::string WithRelayDataPort(const std::string& line);
    void SendPiece(Flow& flow, Clock::time_point now);
    void Count(const Flow& flow, size_t bytes);

    void CloseBoth();
    void ResetBoth();

    const LinkKind m_Kind;
    const LinkContext m_Context;
    const RelayConfig& m_Config;
    RelaySocket m_Client;
    RelaySocket m_Server;
    Flow m_ToServer;
    Flow m_ToClient;
    const size_t m_ResetAfter;
    size_t m_DeliveredToClient = 0;
    Clock::time_point m_BrokenAt = Clock::time_point::max();
    Clock::time_point m_LastActivity;
    bool m_Ended = false;
    std::vector<char> m_Buffer;
};

}  // namespace relay
