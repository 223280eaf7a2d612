// The HTTP server around the gateway's handlers: cpp-httplib's Server with
// connections of our own making.
//
// cpp-httplib 0.11 queues every accepted connection for its thread pool
// without a bound, and one keep-alive setting covers both the wait for a
// connection's first request and the wait between requests, so a few dozen
// connections that never send anything hold every thread. Here each
// connection gets a thread of a fixed set (the task queue given through
// Server::new_task_queue); a connection beyond them is answered 503 at once
// and closed. A new connection waits a short time for its first request, a
// kept-alive one longer between requests.
//
// Stopping works whenever it is asked: before the server listens (it then
// stops as soon as it does), while it listens, or again. Open connections
// are cut so that no thread stays blocked on a client.
#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "Console.h"

struct ConnectionLimits {
    size_t connections = 64;                       // served at once; more are answered 503
    std::chrono::milliseconds firstRequest{5000};  // a new connection's wait for its request
    std::chrono::milliseconds keepAlive{15000};    // between requests on one connection
    std::chrono::milliseconds read{5000};          // for the rest of a request once it began
    std::chrono::milliseconds write{60000};        // for the client to take more of a body
    size_t requestsPerConnection = 1000;
};

class GatewayServer : public httplib::Server {
public:
    GatewayServer(const ConnectionLimits& limits, Console& console);
    ~GatewayServer() override;

    // Runs on the listening thread once the server accepts connections.
    void OnListening(std::function<void()> callback) { m_OnListening = std::move(callback); }
    // Any thread, any time, any number of times.
    void RequestStop();
    bool StopRequested();

    // On a request's thread: its client has closed the connection (or it
    // failed), so nobody will read an answer.
    static bool ClientGone();

private:
    class ConnectionQueue;
    friend class ConnectionQueue;

    bool process_and_close_socket(socket_t sock) override;
    void Serve(socket_t sock);
    void Refuse(socket_t sock);
    void Listening();
    // Under m_Mutex: the one call of httplib's stop() is due now (it must
    // come once, while the server runs).
    bool StopDue();
    void CutConnections();

    const ConnectionLimits m_Limits;
    Console& m_Console;
    std::function<void()> m_OnListening;

    std::mutex m_Mutex;
    bool m_bListening = false;
    bool m_bStopRequested = false;
    bool m_bStopped = false;
    bool m_bCut = false;
    std::set<socket_t> m_Open;
};
