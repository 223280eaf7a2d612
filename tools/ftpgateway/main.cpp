// ftpgateway: serves the files of one FTP server over HTTP, so that any
// player or browser can read them by position while they stream. It uses
// the FTP client library only as any host does: the public header, the
// factory and the interface's operations (version 2 of the interface,
// which a library of version 1.1 or later gives).
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "ClientPool.h"
#include "Console.h"
#include "Gateway.h"
#include "GatewayOptions.h"
#include "GatewayServer.h"
#include "RemoteFiles.h"

namespace {

const char kVersion[] = "ftpgateway 1.1\n";
// The library loaded gives no version 2 of its interface.
const int kExitLibraryTooOld = 8;

bool WritePortFile(const std::string& path, int port) {
    std::string temporary = path + ".tmp";
    FILE* file = fopen(temporary.c_str(), "w");
    if (file == nullptr) return false;
    bool written = fprintf(file, "%d\n", port) > 0;
    written = fclose(file) == 0 && written;
    return written && rename(temporary.c_str(), path.c_str()) == 0;
}

// SIGINT and SIGTERM end the server, whenever they come: before it
// listens (it then stops as soon as it does), while it runs, or again. The
// signals are blocked in every thread and taken by this one for the whole
// run; the clients are released on the ordinary way out.
class SignalWatch {
public:
    SignalWatch(const sigset_t& signals, Console& console) : m_Signals(signals), m_Console(console) {
        m_Thread = std::thread([this] { Watch(); });
    }
    ~SignalWatch() {
        m_bDone = true;
        pthread_kill(m_Thread.native_handle(), SIGTERM);
        m_Thread.join();
    }

    // What a signal stops: set once the server and the pool exist.
    void Attach(GatewayServer* server, ClientPool* pool) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_pServer = server;
        m_pPool = pool;
        if (m_bSignalled) StopAll();
    }
    bool Signalled() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_bSignalled;
    }

private:
    void Watch() {
        for (;;) {
            int signal = 0;
            if (sigwait(&m_Signals, &signal) != 0 || m_bDone) return;
            m_Console.Progress(std::string("stopping (") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                               ")");
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bSignalled = true;
            StopAll();
        }
    }
    void StopAll() {
        if (m_pServer != nullptr) m_pServer->RequestStop();
        if (m_pPool != nullptr) m_pPool->Stop();
    }

    const sigset_t m_Signals;
    Console& m_Console;
    std::thread m_Thread;
    std::atomic<bool> m_bDone{false};
    std::mutex m_Mutex;
    bool m_bSignalled = false;
    GatewayServer* m_pServer = nullptr;
    ClientPool* m_pPool = nullptr;
};

int Run(const GatewayOptions& options) {
    if (options.debug) setenv("FTPCLIENT_DEBUG", "1", 1);
    // A player that closes its connection mid-body must not end the process.
    signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Console console(options.quiet);
    // Before anything listens: an older library cannot serve files of 4 GiB
    // or more, whole folders, or say why a call failed.
    if (!ClientPool::LibraryHasVersion2()) {
        console.Error("the FTP client library loaded is older than 1.1: CreateFtpClientInstance(2) "
                      "gives no object, and ftpgateway needs version 2 of its interface "
                      "(install libftpclient 1.1 or later)");
        return kExitLibraryTooOld;
    }
    std::string trustError;
    if (!ApplyTlsTrust(options.ftp.server, options.ftp.tls, &trustError)) {
        console.Error("the TLS settings: " + trustError);
        return 2;
    }
    SignalWatch watch(signals, console);
    int status = 0;
    {
        LeaseRules rules;
        rules.minimumRate = options.minimumRateKiB * 1024.0;
        const size_t clients = ReadingClients(options);
        if (clients < options.clients) {
            console.Progress("--clients " + std::to_string(options.clients) + ": " +
                             std::to_string(clients) + " client objects fit in --max-ftp-connections " +
                             std::to_string(options.ftpConnections) + " (1 + 2 per client object)");
        }
        ClientPool pool(options.ftp, clients, rules);
        RemoteFiles files(pool, std::chrono::seconds(options.sizeSeconds));
        ConnectionLimits limits;
        limits.connections = options.connections;
        GatewayServer server(limits, console);
        // What httplib itself applies to every connection, and says in its
        // Keep-Alive header.
        server.set_keep_alive_timeout(limits.keepAlive.count() / 1000);
        server.set_keep_alive_max_count(limits.requestsPerConnection);
        server.set_read_timeout(limits.read);
        server.set_write_timeout(limits.write);
        FileEnds ends;
        Gateway gateway(pool, files, ends, console, options.skipHeadBuffer);
        gateway.Install(server);
        watch.Attach(&server, &pool);

        int port = options.httpPort;
        bool bound = port == 0 ? (port = server.bind_to_any_port(options.listenAddress)) > 0
                               : server.bind_to_port(options.listenAddress, port);
        if (!bound) {
            console.Error("cannot listen on " + options.listenAddress + ":" +
                          std::to_string(options.httpPort));
            return 3;
        }
        gateway.SetAddress(options.listenAddress, port);
        // The port file tells scripts the server takes requests: it is
        // written once the server runs, so that a stop sent as soon as it
        // appears finds a server to stop.
        server.OnListening([&] {
            if (!options.portFile.empty() && !WritePortFile(options.portFile, port)) {
                console.Error("cannot write " + options.portFile);
                status = 5;
                server.RequestStop();
                return;
            }
            console.Progress("serving ftp://" + options.ftp.server + ":" +
                             std::to_string(options.ftp.port) + "/ at http://" +
                             options.listenAddress + ":" + std::to_string(port) + "/ with up to " +
                             std::to_string(clients) + " client objects (at most " +
                             std::to_string(1 + clients * kConnectionsPerClient) +
                             " FTP control connections)");
        });
        // Logins before the first request: every reading client (a player's
        // open asks the start and the end at once, and comes back to the
        // start) and the sizing one.
        pool.Start(clients);
        if (!watch.Signalled() && !server.listen_after_bind() && status == 0) status = 1;
        pool.Stop();
        watch.Attach(nullptr, nullptr);
    }
    console.Progress("stopped");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    GatewayOptions options;
    std::string error;
    if (!ParseGatewayOptions(argc, argv, &options, &error)) {
        fprintf(stderr, "ftpgateway: %s\nTry \"ftpgateway --help\".\n", error.c_str());
        return 2;
    }
    if (options.showHelp) {
        fputs(GatewayHelp().c_str(), stdout);
        return 0;
    }
    if (options.showVersion) {
        fputs(kVersion, stdout);
        return 0;
    }
    return Run(options);
}
