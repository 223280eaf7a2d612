#include "NetworkRelay.h"

#include <chrono>
#include <utility>

namespace relay {

namespace {

constexpr int kSliceMs = 20;

RelayRoute RouteTo(uint16_t serverPort) {
    RelayRoute route;
    route.serverPort = serverPort;
    return route;
}

}  // namespace

NetworkRelay::NetworkRelay(uint16_t serverPort, const RelayConfig& config)
    : NetworkRelay(RouteTo(serverPort), config) {}

NetworkRelay::NetworkRelay(const RelayRoute& route, const RelayConfig& config)
    : m_Config(config),
      m_Route(route),
      m_ServerAddress(plat::inet_addr(route.serverAddress.c_str())),
      m_ServerPort(route.serverPort) {
    plat::WSAStartup(0x0202);
    m_Listener = RelaySocket::Listen(plat::inet_addr(route.listenAddress.c_str()));
    if (!m_Listener.IsOpen() || !ListenOnPassiveRange()) return;
    m_Port = m_Listener.LocalPort();
    if (m_Port == 0) return;
    m_AcceptThread = std::thread([this] { AcceptConnections(); });
}

bool NetworkRelay::ListenOnPassiveRange() {
    if (!IsPortRange()) return true;
    const int count = m_Route.passiveHigh - m_Route.passiveLow + 1;
    if (count < 1 || count > RelayConfig::kMostPortRange) return false;
    const uint32_t address = plat::inet_addr(m_Route.listenAddress.c_str());
    for (int i = 0; i < count; ++i) {
        RelaySocket listener = RelaySocket::Listen(address, static_cast<uint16_t>(m_Route.passiveLow + i), true);
        if (!listener.IsOpen()) {
            m_RangeListeners.clear();
            return false;
        }
        m_RangeListeners.push_back(std::move(listener));
    }
    return true;
}

NetworkRelay::~NetworkRelay() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Stopping = true;
    }
    if (m_AcceptThread.joinable()) m_AcceptThread.join();
    m_Listener.Close();
    m_RangeListeners.clear();
    // Spawn refuses new threads from now on, so this ends.
    for (;;) {
        std::vector<Worker> workers;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            workers.swap(m_Workers);
        }
        if (workers.empty()) break;
        for (Worker& worker : workers) worker.thread.join();
    }
    plat::WSACleanup();
}

void NetworkRelay::SetFaults(const RelayFaults& faults) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Faults = faults;
}

RelayFaults NetworkRelay::Faults() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Faults;
}

// The control listener and, in port-range mode, every passive listener, in
// one wait.
void NetworkRelay::AcceptConnections() {
    while (!m_Stopping) {
        plat::SocketSet ready;
        ready.Add(m_Listener.Handle());
        for (const RelaySocket& listener : m_RangeListeners) ready.Add(listener.Handle());
        if (plat::select(&ready, nullptr, nullptr, kSliceMs) <= 0) continue;
        if (ready.Contains(m_Listener.Handle())) Pair(LinkKind::Control, m_Listener.Accept(), m_ServerPort);
        // A passive port leads to the same port on the server.
        for (size_t i = 0; i < m_RangeListeners.size(); ++i) {
            if (!ready.Contains(m_RangeListeners[i].Handle())) continue;
            Pair(LinkKind::Data, m_RangeListeners[i].Accept(), static_cast<uint16_t>(m_Route.passiveLow + i));
        }
    }
}

// Pairs a client's connection with one of the relay's own to the server's
// port, made by the link's thread when it is due.
void NetworkRelay::Pair(LinkKind kind, RelaySocket client, uint16_t serverPort) {
    if (!client.IsOpen()) return;
    const Clock::time_point connected = Clock::now();
    auto socket = std::make_shared<RelaySocket>(std::move(client));
    Spawn([this, kind, socket, serverPort, connected] {
        RunLink(kind, std::move(*socket), m_ServerAddress, serverPort, connected);
    });
}

uint16_t NetworkRelay::OpenDataRoute(uint32_t address, uint16_t port) {
    auto listener = std::make_shared<RelaySocket>(RelaySocket::Listen(plat::inet_addr(m_Route.listenAddress.c_str())));
    uint16_t relayPort = listener->IsOpen() ? listener->LocalPort() : 0;
    if (relayPort == 0) return 0;
    Spawn([this, listener, address, port] { RunDataRoute(listener, address, port); });
    return relayPort;
}

// One client connection, then the listener closes, as a server's passive
// port does.
void NetworkRelay::RunDataRoute(const std::shared_ptr<RelaySocket>& listener, uint32_t address, uint16_t port) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDataAcceptMs);
    while (!m_Stopping && std::chrono::steady_clock::now() < deadline) {
        if (!listener->WaitReadable(kSliceMs)) continue;
        RelaySocket client = listener->Accept();
        listener->Close();
        if (client.IsOpen()) RunLink(LinkKind::Data, std::move(client), address, port, Clock::now());
        return;
    }
    listener->Close();
}

void NetworkRelay::RunLink(LinkKind kind, RelaySocket client, uint32_t address, uint16_t port,
                           Clock::time_point connected) {
    LinkContext context;
    context.config = &m_Config;
    context.counters = &m_Counters;
    context.stopping = [this] { return m_Stopping.load(); };
    context.faults = [this] { return Faults(); };
    // In port-range mode the replies pass as they are.
    if (!IsPortRange()) {
        context.openDataRoute = [this](uint32_t address, uint16_t port) { return OpenDataRoute(address, port); };
    }
    context.relayAddress = plat::inet_addr(m_Route.listenAddress.c_str());
    context.serverAddress = m_ServerAddress;
    context.seed = m_Config.seed * 7919u + ++m_LinkNumber;
    context.targetAddress = address;
    context.targetPort = port;
    context.connectAt = connected + std::chrono::milliseconds(m_Config.ServerConnectDelayMs());
    RelayLink link(kind, std::move(client), std::move(context));
    link.Run();
}

void NetworkRelay::Spawn(std::function<void()> work) {
    std::vector<Worker> finished;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (size_t i = 0; i < m_Workers.size();) {
            if (m_Workers[i].done->load()) {
                finished.push_back(std::move(m_Workers[i]));
                m_Workers.erase(m_Workers.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
        if (!m_Stopping) {
            auto done = std::make_shared<std::atomic<bool>>(false);
            m_Workers.push_back(Worker{std::thread([work = std::move(work), done] {
                                           work();
                                           done->store(true);
                                       }),
                                       done});
        }
    }
    for (Worker& worker : finished) worker.thread.join();
}

}  // namespace relay
