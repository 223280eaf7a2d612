#include "NetworkRelay.h"

#include <chrono>
#include <utility>

namespace relay {

namespace {

constexpr int kSliceMs = 20;

}  // namespace

NetworkRelay::NetworkRelay(uint16_t serverPort, const RelayConfig& config)
    : m_Config(config), m_ServerPort(serverPort) {
    plat::WSAStartup(0x0202);
    m_Listener = RelaySocket::Listen();
    if (!m_Listener.IsOpen()) return;
    m_Port = m_Listener.LocalPort();
    if (m_Port == 0) return;
    m_AcceptThread = std::thread([this] { AcceptControlConnections(); });
}

NetworkRelay::~NetworkRelay() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Stopping = true;
    }
    if (m_AcceptThread.joinable()) m_AcceptThread.join();
    m_Listener.Close();
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

void NetworkRelay::AcceptControlConnections() {
    const uint32_t loopback = plat::inet_addr("127.0.0.1");
    while (!m_Stopping) {
        if (!m_Listener.WaitReadable(kSliceMs)) continue;
        RelaySocket client = m_Listener.Accept();
        if (!client.IsOpen()) continue;
        RelaySocket server = RelaySocket::Connect(loopback, m_ServerPort);
        if (!server.IsOpen()) {
            client.Reset();  // as if the server had refused the connection
            continue;
        }
        m_Counters.controlConnections++;
        auto sockets = std::make_shared<std::pair<RelaySocket, RelaySocket>>(std::move(client), std::move(server));
        Spawn([this, sockets] {
            RunLink(LinkKind::Control, std::move(sockets->first), std::move(sockets->second));
        });
    }
}

uint16_t NetworkRelay::OpenDataRoute(uint32_t address, uint16_t port) {
    auto listener = std::make_shared<RelaySocket>(RelaySocket::Listen());
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
        if (!client.IsOpen()) return;
        RelaySocket server = RelaySocket::Connect(address, port);
        if (!server.IsOpen()) {
            client.Reset();
            return;
        }
        m_Counters.dataConnections++;
        RunLink(LinkKind::Data, std::move(client), std::move(server));
        return;
    }
    listener->Close();
}

void NetworkRelay::RunLink(LinkKind kind, RelaySocket client, RelaySocket server) {
    LinkContext context;
    context.config = &m_Config;
    context.counters = &m_Counters;
    context.stopping = [this] { return m_Stopping.load(); };
    context.faults = [this] { return Faults(); };
    context.openDataRoute = [this](uint32_t address, uint16_t port) { return OpenDataRoute(address, port); };
    context.seed = m_Config.seed * 7919u + ++m_LinkNumber;
    RelayLink link(kind, std::move(client), std::move(server), std::move(context));
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
