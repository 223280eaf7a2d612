#include "GatewayServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

namespace {

// Set on the listening thread while it refuses a connection beyond the cap.
thread_local bool t_Refusing = false;
// The connection whose request this thread is answering.
thread_local int t_Socket = -1;

std::string Refusal() {
    const std::string body = "ftpgateway: too many open connections\n";
    return "HTTP/1.1 503 Service Unavailable\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n"
           "Retry-After: 2\r\n"
           "Connection: close\r\n"
           "\r\n" + body;
}

int Milliseconds(std::chrono::milliseconds time) {
    return (int)std::min<int64_t>(time.count(), 24 * 3600 * 1000);
}

// Waits until the socket can be read (or has closed) or written; false on
// time-out. A socket that was shut down counts as ready: the call then
// fails at once.
bool WaitFor(int sock, short events, std::chrono::milliseconds limit) {
    pollfd watched{sock, events, 0};
    int ready;
    do {
        ready = poll(&watched, 1, Milliseconds(limit));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

void AddressOf(int sock, bool remote, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int got = remote ? getpeername(sock, (sockaddr*)&address, &length)
                     : getsockname(sock, (sockaddr*)&address, &length);
    ip.clear();
    port = -1;
    if (got != 0 || address.ss_family != AF_INET) return;
    const sockaddr_in& in = (const sockaddr_in&)address;
    char text[INET_ADDRSTRLEN] = "";
    if (inet_ntop(AF_INET, &in.sin_addr, text, sizeof text) != nullptr) ip = text;
    port = ntohs(in.sin_port);
}

// One connection as httplib reads requests from it and writes answers to
// it, with the limits of ConnectionLimits. What was read past one request
// stays for the next.
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(int sock, const ConnectionLimits& limits) : m_nSocket(sock), m_Limits(limits) {}

    bool HasBuffered() const { return m_nOffset < m_nFilled; }

    bool is_readable() const override {
        return HasBuffered() || WaitFor(m_nSocket, POLLIN, m_Limits.read);
    }
    bool is_writable() const override { return WaitFor(m_nSocket, POLLOUT, m_Limits.write); }

    ssize_t read(char* ptr, size_t size) override {
        if (!HasBuffered()) {
            if (!is_readable()) return -1;
            ssize_t got;
            do {
                got = recv(m_nSocket, m_Buffer, sizeof m_Buffer, 0);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) return got;
            m_nOffset = 0;
            m_nFilled = (size_t)got;
        }
        size_t count = std::min(size, m_nFilled - m_nOffset);
        memcpy(ptr, m_Buffer + m_nOffset, count);
        m_nOffset += count;
        return (ssize_t)count;
    }

    // All of it or nothing: -1 when the client took nothing for the write
    // limit, or the connection failed.
    ssize_t write(const char* ptr, size_t size) override {
        size_t sent = 0;
        while (sent < size) {
            if (!is_writable()) return -1;
            ssize_t count = send(m_nSocket, ptr + sent, size - sent, MSG_NOSIGNAL);
            if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (count <= 0) return -1;
            sent += (size_t)count;
        }
        return (ssize_t)size;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(m_nSocket, true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(m_nSocket, false, ip, port);
    }
    socket_t socket() const override { return m_nSocket; }

private:
    const int m_nSocket;
    const ConnectionLimits& m_Limits;
    char m_Buffer[4096];
    size_t m_nOffset = 0;
    size_t m_nFilled = 0;
};

}  // namespace

// A fixed set of threads, one connection each. A connection that finds
// every thread taken is refused where it was accepted.
class GatewayServer::ConnectionQueue : public httplib::TaskQueue {
public:
    explicit ConnectionQueue(GatewayServer& server) : m_Server(server) {
        for (size_t i = 0; i < server.m_Limits.connections; ++i) {
            m_Threads.emplace_back([this] { Work(); });
        }
    }

    void enqueue(std::function<void()> connection) override {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (!m_bShutdown && m_nTaken < m_Threads.size()) {
                ++m_nTaken;
                m_Connections.push_back(std::move(connection));
                m_Changed.notify_one();
                return;
            }
        }
        // The function hands its socket to process_and_close_socket, which
        // answers 503 without waiting for anything.
        t_Refusing = true;
        connection();
        t_Refusing = false;
    }

    // httplib calls shutdown() when its listening loop ends; the threads
    // are joined by then in any case.
    ~ConnectionQueue() override {
        if (!m_Threads.empty() && m_Threads.front().joinable()) shutdown();
    }

    void shutdown() override {
        m_Server.CutConnections();
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bShutdown = true;
        }
        m_Changed.notify_all();
        for (std::thread& thread : m_Threads) {
            if (thread.joinable()) thread.join();
        }
    }

private:
    void Work() {
        for (;;) {
            std::function<void()> connection;
            {
                std::unique_lock<std::mutex> lock(m_Mutex);
                m_Changed.wait(lock, [this] { return m_bShutdown || !m_Connections.empty(); });
                if (m_Connections.empty()) return;
                connection = std::move(m_Connections.front());
                m_Connections.pop_front();
            }
            connection();
            std::lock_guard<std::mutex> lock(m_Mutex);
            --m_nTaken;
        }
    }

    GatewayServer& m_Server;
    std::vector<std::thread> m_Threads;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::deque<std::function<void()>> m_Connections;
    size_t m_nTaken = 0;
    bool m_bShutdown = false;
};

GatewayServer::GatewayServer(const ConnectionLimits& limits, Console& console)
    : m_Limits(limits), m_Console(console) {
    // listen_after_bind makes the task queue once it accepts connections.
    new_task_queue = [this] {
        auto* queue = new ConnectionQueue(*this);
        Listening();
        return queue;
    };
}

GatewayServer::~GatewayServer() = default;

bool GatewayServer::StopDue() {
    bool due = m_bListening && m_bStopRequested && !m_bStopped;
    if (due) m_bStopped = true;
    return due;
}

void GatewayServer::Listening() {
    bool stopNow;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bListening = true;
        stopNow = StopDue();
    }
    // httplib's stop() does nothing before the server runs: a stop asked
    // earlier takes effect here.
    if (stopNow) {
        stop();
    } else if (m_OnListening) {
        m_OnListening();
    }
}

void GatewayServer::RequestStop() {
    bool stopNow;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStopRequested = true;
        stopNow = StopDue();
    }
    if (stopNow) stop();
}

bool GatewayServer::StopRequested() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_bStopRequested;
}

void GatewayServer::CutConnections() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    // The listening loop has ended: stop() must not be called after it.
    m_bListening = false;
    m_bStopped = true;
    m_bCut = true;
    for (socket_t sock : m_Open) ::shutdown(sock, SHUT_RDWR);
}

bool GatewayServer::ClientGone() {
    if (t_Socket < 0) return false;
    pollfd watched{t_Socket, POLLRDHUP, 0};
    if (poll(&watched, 1, 0) <= 0) return false;
    return (watched.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool GatewayServer::process_and_close_socket(socket_t sock) {
    if (t_Refusing) {
        Refuse(sock);
    } else {
        Serve(sock);
    }
    return true;
}

void GatewayServer::Refuse(socket_t sock) {
    // What the client sent already is read, so that the close ends the
    // connection with the answer rather than a reset.
    char ignored[4096];
    for (int i = 0; i < 16 && recv(sock, ignored, sizeof ignored, MSG_DONTWAIT) > 0; ++i) {
    }
    static const std::string refusal = Refusal();
    ssize_t sent = send(sock, refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)sent;
    ::shutdown(sock, SHUT_WR);
    close(sock);
    m_Console.Error("a connection beyond the " + std::to_string(m_Limits.connections) +
                    " served at once -> 503 Service Unavailable");
}

void GatewayServer::Serve(socket_t sock) {
    bool cut;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        cut = m_bCut;
        if (!cut) m_Open.insert(sock);
    }
    ConnectionStream stream(sock, m_Limits);
    t_Socket = sock;
    std::chrono::milliseconds wait = m_Limits.firstRequest;
    size_t left = cut ? 0 : m_Limits.requestsPerConnection;
    for (; left > 0 && !StopRequested(); --left) {
        if (!stream.HasBuffered() && !WaitFor(sock, POLLIN, wait)) break;
        bool closed = false;
        if (!process_request(stream, left == 1, closed, nullptr) || closed) break;
        wait = m_Limits.keepAlive;
    }
    t_Socket = -1;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Open.erase(sock);
    }
    ::shutdown(sock, SHUT_RDWR);
    close(sock);
}
