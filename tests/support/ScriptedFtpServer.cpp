#include "ScriptedFtpServer.h"

#include <exception>

namespace scripted {

namespace {

constexpr plat::WORD kWinsockVersion = 0x0202;

}  // namespace

ScriptedFtpServer::ScriptedFtpServer(int timeoutMs)
    : m_TimeoutMs(timeoutMs),
      m_Journal(std::make_shared<ScriptJournal>()),
      m_Stopping(std::make_shared<std::atomic<bool>>(false)) {
    plat::WSAStartup(kWinsockVersion);
    m_Listener = TimedSocket::ListenOnLoopback();
    if (!m_Listener.IsOpen()) {
        m_Journal->Add(-1, ScriptEventKind::Failure, "could not listen on 127.0.0.1");
        m_ListenerClosed = true;
        return;
    }
    m_Port = m_Listener.LocalPort();
    m_AcceptThread = std::thread([this] { AcceptLoop(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
    *m_Stopping = true;
    if (m_AcceptThread.joinable()) m_AcceptThread.join();
    // No new connection can appear now, so the lists are stable.
    for (std::thread& thread : m_ScriptThreads) thread.join();
    for (const std::unique_ptr<ScriptedConnection>& connection : m_Connections) {
        connection->ShutdownPassiveChannels();
    }
    m_Connections.clear();
    m_Listener.Close();
    plat::WSACleanup();
}

void ScriptedFtpServer::OnConnection(int index, ConnectionScript script) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Scripts[index] = std::move(script);
}

void ScriptedFtpServer::OnEveryConnection(ConnectionScript script) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_ScriptForEvery = std::move(script);
}

void ScriptedFtpServer::AcceptLoop() {
    const StopCheck stop = [this] { return m_Stopping->load() || m_StopListening.load(); };
    while (!stop()) {
        TimedSocket client = m_Listener.Accept(Deadline::kSliceMs, stop);
        if (!client.IsOpen()) continue;
        try {
            Begin(std::move(client));
        } catch (const std::exception& error) {
            m_Journal->Add(-1, ScriptEventKind::Failure,
                           std::string("could not serve a connection: ") + error.what());
        }
    }
    m_Listener.Close();
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_ListenerClosed = true;
    m_Changed.notify_all();
}

void ScriptedFtpServer::Begin(TimedSocket client) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const int index = static_cast<int>(m_Connections.size());
    ScriptContext context{m_Journal, m_Stopping, index, m_TimeoutMs};
    m_Connections.push_back(std::make_unique<ScriptedConnection>(std::move(client), context));
    auto found = m_Scripts.find(index);
    ConnectionScript script = found != m_Scripts.end() ? found->second : m_ScriptForEvery;
    ScriptedConnection* connection = m_Connections.back().get();
    m_Journal->Add(index, ScriptEventKind::Action, "control connection accepted");
    m_ScriptThreads.emplace_back([this, connection, script] { Serve(*connection, script); });
    m_Changed.notify_all();
}

void ScriptedFtpServer::Serve(ScriptedConnection& connection, const ConnectionScript& script) {
    const int index = connection.Index();
    try {
        if (script) {
            script(connection);
        } else {
            m_Journal->Add(index, ScriptEventKind::Failure, "no script for this connection");
        }
    } catch (const std::exception& error) {
        m_Journal->Add(index, ScriptEventKind::Failure, std::string("the script threw: ") + error.what());
    } catch (...) {
        m_Journal->Add(index, ScriptEventKind::Failure, "the script threw");
    }
    connection.Close();
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_FinishedScripts;
    m_Changed.notify_all();
}

void ScriptedFtpServer::StopListening() {
    m_StopListening = true;
    WaitFor(m_TimeoutMs, [this] { return m_ListenerClosed; });
}

int ScriptedFtpServer::AcceptedCount() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<int>(m_Connections.size());
}

bool ScriptedFtpServer::WaitForConnections(int count, int timeoutMs) {
    return WaitFor(timeoutMs, [this, count] { return m_Connections.size() >= static_cast<size_t>(count); });
}

bool ScriptedFtpServer::WaitForScripts(int timeoutMs) {
    return WaitFor(timeoutMs, [this] { return m_FinishedScripts == m_Connections.size(); });
}

bool ScriptedFtpServer::WaitFor(int timeoutMs, const std::function<bool()>& condition) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    int limit = timeoutMs < 0 ? m_TimeoutMs : timeoutMs;
    return m_Changed.wait_for(lock, std::chrono::milliseconds(limit), condition);
}

std::vector<std::string> ScriptedFtpServer::Commands(int index) const {
    std::vector<std::string> lines;
    for (const ScriptEvent& event : m_Journal->Events(ScriptEventKind::Received)) {
        if (event.connection == index) lines.push_back(event.text);
    }
    return lines;
}

std::vector<ScriptEvent> ScriptedFtpServer::AllCommands() const {
    return m_Journal->Events(ScriptEventKind::Received);
}

std::vector<std::string> ScriptedFtpServer::Failures() const {
    std::vector<std::string> failures;
    for (const ScriptEvent& event : m_Journal->Events(ScriptEventKind::Failure)) {
        std::string where =
            event.connection < 0 ? "server" : "connection " + std::to_string(event.connection);
        failures.push_back(where + ": " + event.text);
    }
    return failures;
}

std::string ScriptedFtpServer::Describe() const {
    return m_Journal->Describe();
}

std::shared_ptr<PassiveData> ScriptedFtpServer::PassiveChannel(int index, size_t n) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (index < 0 || static_cast<size_t>(index) >= m_Connections.size()) return nullptr;
    return m_Connections[static_cast<size_t>(index)]->PassiveChannel(n);
}

}  // namespace scripted
