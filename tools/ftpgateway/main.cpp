// ftpgateway: serves the files of one FTP server over HTTP, so that any
// player or browser can read them by position while they stream. It uses
// the FTP client library only as any host does: the public header, the
// factory and the interface's operations, with a message window for the
// notifications.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <thread>

#include "ClientPool.h"
#include "Console.h"
#include "Gateway.h"
#include "GatewayOptions.h"
#include "NotificationWindow.h"
#include "RemoteFiles.h"

namespace {

const char kVersion[] = "ftpgateway 1.0\n";

bool WritePortFile(const std::string& path, int port) {
    std::string temporary = path + ".tmp";
    FILE* file = fopen(temporary.c_str(), "w");
    if (file == nullptr) return false;
    bool written = fprintf(file, "%d\n", port) > 0;
    written = fclose(file) == 0 && written;
    return written && rename(temporary.c_str(), path.c_str()) == 0;
}

// SIGINT and SIGTERM end the server; the clients are then released on the
// ordinary way out. The signals are blocked in every thread and taken here.
void StopOnSignals(const sigset_t& signals, httplib::Server* server, Console* console) {
    std::thread([signals, server, console] {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) return;
        console->Progress(std::string("stopping (") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                          ")");
        server->stop();
    }).detach();
}

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
    NotificationWindow window;
    if (window.Window() == nullptr) {
        console.Error("cannot create the message window");
        return 7;
    }
    int status = 0;
    {
        ClientPool pool(options.ftp, window, options.clients);
        RemoteFiles files(pool, std::chrono::seconds(options.sizeSeconds));
        httplib::Server server;
        size_t threads = std::max<size_t>(16, options.clients * 4);
        server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
        server.set_keep_alive_timeout(15);
        server.set_keep_alive_max_count(1000);
        server.set_write_timeout(60);
        Gateway gateway(pool, files, console, options.skipHeadBuffer);
        gateway.Install(server);

        int port = options.httpPort;
        bool bound = port == 0 ? (port = server.bind_to_any_port(options.listenAddress)) > 0
                               : server.bind_to_port(options.listenAddress, port);
        if (!bound) {
            console.Error("cannot listen on " + options.listenAddress + ":" +
                          std::to_string(options.httpPort));
            return 3;
        }
        if (!options.portFile.empty() && !WritePortFile(options.portFile, port)) {
            console.Error("cannot write " + options.portFile);
            return 5;
        }
        console.Progress("serving ftp://" + options.ftp.server + ":" +
                         std::to_string(options.ftp.port) + "/ at http://" +
                         options.listenAddress + ":" + std::to_string(port) + "/ with up to " +
                         std::to_string(options.clients) + " client objects");
        StopOnSignals(signals, &server, &console);
        if (!server.listen_after_bind()) status = 1;
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
