// ftprelay: the network relay of the tests (tests/support/NetworkRelay.h) as
// a program of its own, so that processes other than the test executables
// (players, the gateway, the benchmark) can reach an FTP server through it.
//
//   ftprelay --target-port 2121 --settings delay_ms=20,piece=7 --port-file F
//   ftprelay --target-port 2121 --settings delay_ms=20,handshake=1 ...  (a
//            new connection costs a TCP handshake's round trips)
//   ftprelay --target-port 2121 --target-address 127.0.0.3
//            --passive-ports 24000-24015 ...              (port-range mode)
//
// It listens on 127.0.0.1 (--listen-address) on a port the system chooses,
// writes that port to F, and ends on SIGTERM or SIGINT, when its standard
// input closes, or after --max-seconds; then it prints what it passed on and
// exits 0. With --passive-ports it also listens on each of those ports and
// passes each to the same port of the server, which must use that range and
// announce the relay's address (for TLS, which hides the 227 reply from a
// relay that rewrites it). Linux only.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Platform.h"

#include "tests/support/NetworkRelay.h"

namespace {

bool IsLoopback(const std::string& address) {
    return address.compare(0, 4, "127.") == 0 && plat::inet_addr(address.c_str()) != INADDR_NONE;
}

// "LOW-HIGH" into the route; false unless 1 <= LOW <= HIGH <= 65535 and
// the range is no longer than the relay takes.
bool ReadRange(const std::string& text, relay::RelayRoute* route) {
    char* end = nullptr;
    const long low = std::strtol(text.c_str(), &end, 10);
    if (*end != '-') return false;
    const long high = std::strtol(end + 1, &end, 10);
    if (*end != '\0' || low < 1 || high < low || high > 65535 ||
        high - low + 1 > relay::RelayConfig::kMostPortRange) {
        return false;
    }
    route->passiveLow = static_cast<uint16_t>(low);
    route->passiveHigh = static_cast<uint16_t>(high);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long targetPort = 0, maxSeconds = 86400;
    std::string settings, portFile, range;
    relay::RelayRoute route;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--target-port") targetPort = std::strtol(value.c_str(), nullptr, 10);
        else if (key == "--target-address") route.serverAddress = value;
        else if (key == "--listen-address") route.listenAddress = value;
        else if (key == "--passive-ports") range = value;
        else if (key == "--settings") settings = value;
        else if (key == "--port-file") portFile = value;
        else if (key == "--max-seconds") maxSeconds = std::strtol(value.c_str(), nullptr, 10);
        else { std::fprintf(stderr, "ftprelay: unknown option %s\n", key.c_str()); return 2; }
    }
    relay::RelayConfig config;
    std::string error;
    if (!IsLoopback(route.serverAddress) || !IsLoopback(route.listenAddress)) {
        error = "--target-address and --listen-address must be loopback addresses (127.0.0.0/8)";
    } else if (!range.empty() && !ReadRange(range, &route)) {
        error = "--passive-ports takes LOW-HIGH, at most " + std::to_string(relay::RelayConfig::kMostPortRange) +
                " ports";
    }
    if (argc % 2 == 0 || targetPort < 1 || targetPort > 65535 || maxSeconds < 1 || !error.empty() ||
        !relay::RelayConfig::Parse(settings, &config, &error)) {
        if (error.empty()) error = "a port between 1 and 65535 and a value for every option are needed";
        std::fprintf(stderr, "ftprelay: %s\nusage: ftprelay --target-port N [--target-address A] "
                     "[--listen-address A] [--passive-ports LOW-HIGH] [--settings delay_ms=20,piece=7,...] "
                     "[--port-file FILE] [--max-seconds N]\n", error.c_str());
        return 2;
    }
    route.serverPort = static_cast<uint16_t>(targetPort);
    // The relay's threads inherit the blocked signals; only the signalfd sees them.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signals = signalfd(-1, &stops, SFD_CLOEXEC);

    relay::NetworkRelay relay(route, config);
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
    std::printf("ftprelay: %s:%u -> %s:%ld", route.listenAddress.c_str(), relay.Port(),
                route.serverAddress.c_str(), targetPort);
    if (relay.IsPortRange()) std::printf(", passive ports %s each to the same port", range.c_str());
    std::printf(", %s\n", config.Describe().c_str());
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
