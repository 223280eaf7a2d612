// ftprelay: the network relay of the tests (tests/support/NetworkRelay.h) as
// a program of its own, so that processes other than the test executables
// (players, the gateway, the benchmark) can reach an FTP server through it.
//
//   ftprelay --target-port 2121 --settings delay_ms=20,piece=7 --port-file F
//
// It listens on 127.0.0.1 on a port the system chooses, writes that port to
// F, and ends on SIGTERM or SIGINT, when its standard input closes, or after
// --max-seconds; then it prints what it passed on and exits 0. Linux only.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/NetworkRelay.h"

int main(int argc, char** argv) {
    long targetPort = 0, maxSeconds = 86400;
    std::string settings, portFile;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--target-port") targetPort = std::strtol(value.c_str(), nullptr, 10);
        else if (key == "--settings") settings = value;
        else if (key == "--port-file") portFile = value;
        else if (key == "--max-seconds") maxSeconds = std::strtol(value.c_str(), nullptr, 10);
        else { std::fprintf(stderr, "ftprelay: unknown option %s\n", key.c_str()); return 2; }
    }
    relay::RelayConfig config;
    std::string error;
    if (argc % 2 == 0 || targetPort < 1 || targetPort > 65535 || maxSeconds < 1 ||
        !relay::RelayConfig::Parse(settings, &config, &error)) {
        if (error.empty()) error = "a port between 1 and 65535 and a value for every option are needed";
        std::fprintf(stderr, "ftprelay: %s\nusage: ftprelay --target-port N [--settings delay_ms=20,piece=7,...] "
                     "[--port-file FILE] [--max-seconds N]\n", error.c_str());
        return 2;
    }
    // The relay's threads inherit the blocked signals; only the signalfd sees them.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signals = signalfd(-1, &stops, SFD_CLOEXEC);

    relay::NetworkRelay relay(static_cast<uint16_t>(targetPort), config);
    if (!relay.IsListening() || signals < 0) { std::fprintf(stderr, "ftprelay: cannot listen\n"); return 3; }
    if (!portFile.empty()) {
        const std::string part = portFile + ".part";
        FILE* f = std::fopen(part.c_str(), "w");
        if (!f || std::fprintf(f, "%u\n", relay.Port()) < 0 || std::fclose(f) != 0 ||
            std::rename(part.c_str(), portFile.c_str()) != 0) {
            std::fprintf(stderr, "ftprelay: cannot write %s\n", portFile.c_str());
            return 5;
        }
    }
    std::printf("ftprelay: 127.0.0.1:%u -> 127.0.0.1:%ld, %s\n", relay.Port(), targetPort,
                config.Describe().c_str());
    std::fflush(stdout);

    const char* why = "time limit";
    for (long slice = 0; slice < maxSeconds * 5; ++slice) {  // 200 ms slices
        pollfd fds[2] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, 200) <= 0) continue;
        if (fds[0].revents) { why = "signal"; break; }
        char buffer[256];
        if (fds[1].revents && read(STDIN_FILENO, buffer, sizeof buffer) <= 0) { why = "standard input closed"; break; }
    }
    const relay::RelayCounts c = relay.Counts();
    std::printf("ftprelay: stopping (%s): control %d connections, %llu bytes to server, %llu to client; "
                "data %d connections, %llu bytes to server, %llu to client; %d passive replies rewritten\n",
                why, c.controlConnections, static_cast<unsigned long long>(c.controlToServer),
                static_cast<unsigned long long>(c.controlToClient), c.dataConnections,
                static_cast<unsigned long long>(c.dataToServer), static_cast<unsigned long long>(c.dataToClient),
                c.passiveRepliesRewritten);
    std::fflush(stdout);
    return 0;
}
