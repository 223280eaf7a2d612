// An FTP server for tests whose every move is scripted by the test: exact
// replies, split or merged as the test wants, pauses, silences, closes,
// resets, and passive data connections that send, receive, stall or break on
// cue. It exists to put the client library through faults that real servers
// produce only by chance.
//
// It listens on 127.0.0.1 (Port()) and accepts connections one after another;
// connection i runs the script given for index i (or the script for every
// connection) on its own thread. Everything it does is bounded in time, and
// the destructor stops and joins every thread. What the clients sent and what
// went wrong is kept in a journal the test reads at any time.
//
//   scripted::ScriptedFtpServer server;
//   server.OnConnection(0, [](scripted::ScriptedConnection& c) {
//       c.Login();
//       c.ExpectLine("SIZE a.bin");
//       c.Reply("213 10");
//   });
//   ... point the client at 127.0.0.1:server.Port() ...
//   EXPECT_TRUE(server.Failures().empty()) << server.Describe();
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScriptedConnection.h"

namespace scripted {

using ConnectionScript = std::function<void(ScriptedConnection&)>;

class ScriptedFtpServer {
public:
    // timeoutMs: the limit of every wait that is not given its own.
    explicit ScriptedFtpServer(int timeoutMs = 5000);
    ~ScriptedFtpServer();
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    bool IsListening() const { return m_Port != 0; }
    uint16_t Port() const { return m_Port; }

    // Set scripts before the client connects. When a script returns, its
    // control connection is closed (its data sides run on).
    void OnConnection(int index, ConnectionScript script);
    void OnEveryConnection(ConnectionScript script);

    // Closes the listener: later connects are refused. Returns once it is closed.
    void StopListening();
    int AcceptedCount() const;
    bool WaitForConnections(int count, int timeoutMs = kDefaultTimeout);
    // Every accepted connection's script has returned.
    bool WaitForScripts(int timeoutMs = kDefaultTimeout);

    // The command lines connection `index` received, in order.
    std::vector<std::string> Commands(int index) const;
    // The command lines of all connections, with connection index and time.
    std::vector<ScriptEvent> AllCommands() const;
    // "connection N: what went wrong", in order.
    std::vector<std::string> Failures() const;
    // The whole journal, for a failing test's message.
    std::string Describe() const;
    // The n-th data side opened by connection `index`, or null.
    std::shared_ptr<PassiveData> PassiveChannel(int index, size_t n) const;

private:
    void AcceptLoop();
    void Begin(TimedSocket client);
    void Serve(ScriptedConnection& connection, const ConnectionScript& script);
    bool WaitFor(int timeoutMs, const std::function<bool()>& condition);

    const int m_TimeoutMs;
    const std::shared_ptr<ScriptJournal> m_Journal;
    const std::shared_ptr<std::atomic<bool>> m_Stopping;
    std::atomic<bool> m_StopListening{false};
    TimedSocket m_Listener;
    uint16_t m_Port = 0;

    mutable std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::map<int, ConnectionScript> m_Scripts;
    ConnectionScript m_ScriptForEvery;
    std::vector<std::unique_ptr<ScriptedConnection>> m_Connections;
    std::vector<std::thread> m_ScriptThreads;
    size_t m_FinishedScripts = 0;
    bool m_ListenerClosed = false;
    std::thread m_AcceptThread;
};

}  // namespace scripted
