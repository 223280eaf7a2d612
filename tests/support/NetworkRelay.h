// A TCP relay that plays a network between a client and an FTP server on
// this machine. Tests run on loopback, where replies come whole and at once;
// through the relay they come late (a delay each way, with jitter if asked),
// cut into pieces the client receives separately, at a limited rate, and
// with resets and closes on cue (RelayConfig.h). A new connection may also
// cost a TCP handshake's round trips before it reaches the server.
//
// It listens on 127.0.0.1 (Port()); every control connection it accepts is
// paired with a connection of its own to the server. The server's passive
// replies ("227 " and "229 ") are rewritten to announce a data port of the
// relay, so the data connections go through it too: each such port takes
// one client connection and pairs it with one to the address and port the
// server announced.
//
// TLS hides those replies. In port-range mode (RelayRoute with a passive
// range) the relay instead listens on every port of the range itself, on
// its own address, and pairs each connection there with one to the same
// port on the server's address; the server uses that range and announces
// the relay's address. Replies pass as they come. This carries a client
// that connects its data connections to the address of its control
// connection, whatever the reply names.
//
//   relay::RelayConfig config;
//   config.delayMs = 20;
//   config.replyPieceBytes = 7;
//   relay::NetworkRelay relay(serverPort, config);
//   ... point the client at 127.0.0.1:relay.Port() ...
//   relay.SetFaults({...});            // from now on
//   relay.Counts().dataToClient ...
//
// Each connection runs on a thread of its own; every wait is bounded, and
// the destructor closes every connection and joins every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RelayConfig.h"
#include "RelayCounters.h"
#include "RelayLink.h"
#include "RelaySocket.h"

namespace relay {

// Where the relay listens and where the server is (loopback addresses).
struct RelayRoute {
    // The relay's address: its control port (chosen by the system) and, in
    // port-range mode, its passive ports.
    std::string listenAddress = "127.0.0.1";
    std::string serverAddress = "127.0.0.1";
    // 0: not known yet (NetworkRelay::SetServerPort); control connections
    // that come before it is set are reset.
    uint16_t serverPort = 0;
    // Port-range mode when passiveLow is not 0: these ports on listenAddress
    // lead to the same ports on serverAddress. At most
    // RelayConfig::kMostPortRange of them.
    uint16_t passiveLow = 0;
    uint16_t passiveHigh = 0;
};

class NetworkRelay {
public:
    // In front of the FTP server listening at 127.0.0.1:serverPort.
    explicit NetworkRelay(uint16_t serverPort, const RelayConfig& config = RelayConfig());
    NetworkRelay(const RelayRoute& route, const RelayConfig& config);
    ~NetworkRelay();
    NetworkRelay(const NetworkRelay&) = delete;
    NetworkRelay& operator=(const NetworkRelay&) = delete;

    // False when the control port or any port of the passive range could
    // not be had.
    bool IsListening() const { return m_Port != 0; }
    uint16_t Port() const { return m_Port; }
    uint16_t ServerPort() const { return m_ServerPort; }
    // For a server started after the relay took its ports.
    void SetServerPort(uint16_t port) { m_ServerPort = port; }
    bool IsPortRange() const { return m_Route.passiveLow != 0; }
    const RelayRoute& Route() const { return m_Route; }
    const RelayConfig& Config() const { return m_Config; }

    // Applies to data connections paired and control lines read from now on.
    void SetFaults(const RelayFaults& faults);
    RelayFaults Faults() const;
    RelayCounts Counts() const { return m_Counters.Snapshot(); }

    // A client that does not connect to an announced data port within this
    // long finds it closed.
    static constexpr int kDataAcceptMs = 60000;

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    bool ListenOnPassiveRange();
    void AcceptConnections();
    void Pair(LinkKind kind, RelaySocket client, uint16_t serverPort);
    uint16_t OpenDataRoute(uint32_t address, uint16_t port);
    void RunDataRoute(const std::shared_ptr<RelaySocket>& listener, uint32_t address, uint16_t port);
    // The client connected at `connected`; the link connects to
    // address:port (port 0: resets the client) when the config says.
    void RunLink(LinkKind kind, RelaySocket client, uint32_t address, uint16_t port, Clock::time_point connected);
    // Runs work on a thread of its own unless the relay is stopping; joins
    // the threads that have finished meanwhile.
    void Spawn(std::function<void()> work);

    const RelayConfig m_Config;
    const RelayRoute m_Route;
    const uint32_t m_ServerAddress;
    std::atomic<uint16_t> m_ServerPort;
    RelayCounters m_Counters;
    std::atomic<bool> m_Stopping{false};
    std::atomic<uint32_t> m_LinkNumber{0};
    RelaySocket m_Listener;
    // Port-range mode: one listener per port, in the order of the ports.
    std::vector<RelaySocket> m_RangeListeners;
    uint16_t m_Port = 0;

    mutable std::mutex m_Mutex;
    RelayFaults m_Faults;
    std::vector<Worker> m_Workers;
    std::thread m_AcceptThread;
};

}  // namespace relay
