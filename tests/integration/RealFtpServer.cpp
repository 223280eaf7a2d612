#include "tests/integration/RealFtpServer.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/NetworkRelay.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace realserver {

namespace {

const char kServiceVariable[] = "FTP_REAL_SERVER_SERVICE_PORT";
// Room for a first download of the servers.
const int kServiceStartSeconds = 400;

// The port-range relay's blocks: a thousand ports per kind, below the
// kernel's ephemeral range (32768-), above the launcher's control ports
// (20000-23999) and apart from the kinds' own passive ranges (28000-31999).
const int kRangeSpan = 1000;

uint16_t RangeBase(ServerKind kind) {
    switch (kind) {
    case ServerKind::Pyftpdlib:
        return 24000;
    case ServerKind::Vsftpd:
        return 25000;
    case ServerKind::Proftpd:
        return 26000;
    case ServerKind::PureFtpd:
        return 27000;
    }
    return 24000;
}

std::string Variable(const std::string& name) {
    const char* value = getenv(name.c_str());
    return value != nullptr ? value : "";
}

// The start of the variables naming a server the test run started for this
// kind, or "" when it started none.
std::string AnnouncedPrefix(ServerKind kind) {
    std::string own = "FTP_REAL_SERVER_" + EnvironmentName(kind);
    if (!Variable(own + "_PORT").empty()) return own;
    bool legacy = kind == ServerKind::Pyftpdlib && !Variable("FTP_REAL_SERVER_PORT").empty();
    return legacy ? "FTP_REAL_SERVER" : "";
}

// Under Wine, Z: is the Linux root: the launcher hands over Linux paths.
std::string PathThisProcessCanOpen(const std::string& path) {
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') return "Z:" + path;
#endif
    return path;
}

#ifndef _WIN32
const int kStartSeconds = 150;
const int kStopMilliseconds = 5000;
// The launcher's exit status for a mode that cannot be had.
const int kUnsupportedStatus = 3;

std::string LastCharacters(const std::string& text, size_t count) {
    return text.size() <= count ? text : "..." + text.substr(text.size() - count);
}

std::string RepositoryPath(const std::string& relative) {
    std::string self = __FILE__;  // .../tests/integration/RealFtpServer.cpp
    return self.substr(0, self.find_last_of('/') + 1) + "../../" + relative;
}

// Where the unpacked vsftpd / proftpd / pure-ftpd live: FTP_SERVERS_DIR, or
// "ftpservers" in the build folder (the executable's folder is build/bin).
std::string ServersFolder() {
    std::string chosen = Variable("FTP_SERVERS_DIR");
    if (!chosen.empty()) return chosen;
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return executable.parent_path().parent_path().string() + "/ftpservers";
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}
#endif

}  // namespace

const char* KindName(ServerKind kind) {
    switch (kind) {
    case ServerKind::Pyftpdlib:
        return "pyftpdlib";
    case ServerKind::Vsftpd:
        return "vsftpd";
    case ServerKind::Proftpd:
        return "proftpd";
    case ServerKind::PureFtpd:
        return "pure-ftpd";
    }
    return "";
}

std::string EnvironmentName(ServerKind kind) {
    std::string name = KindName(kind);
    for (char& c : name) c = c == '-' ? '_' : (char)toupper((unsigned char)c);
    return name;
}

const char* TlsModeName(TlsMode mode) {
    switch (mode) {
    case TlsMode::None:
        return "none";
    case TlsMode::Explicit:
        return "explicit";
    case TlsMode::Implicit:
        return "implicit";
    }
    return "";
}

std::vector<std::string> ServerOptions::LauncherArguments() const {
    std::vector<std::string> arguments;
    if (tls != TlsMode::None) arguments.insert(arguments.end(), {"--tls", TlsModeName(tls)});
    // Without TLS the launcher refuses these, so a mistaken row fails loudly.
    if (!requireSessionReuse) arguments.push_back("--no-reuse");
    if (strictShutdown) arguments.push_back("--strict-shutdown");
    if (certificateNameMismatch) arguments.push_back("--cert-name-mismatch");
    if (namedAccount) arguments.push_back("--named");
    if (listenAddress != "127.0.0.1") arguments.insert(arguments.end(), {"--listen", listenAddress});
    if (passiveLow != 0) {
        arguments.insert(arguments.end(),
                         {"--passive", std::to_string(passiveLow) + "-" + std::to_string(passiveHigh)});
    }
    if (!announcedAddress.empty()) arguments.insert(arguments.end(), {"--announce", announcedAddress});
    return arguments;
}

bool ServerOptions::IsDefault() const {
    return LauncherArguments().empty();
}

std::string ServerOptions::Describe() const {
    std::string text;
    for (const std::string& argument : LauncherArguments()) text += (text.empty() ? "" : " ") + argument;
    return text.empty() ? "plain" : text;
}

RealFtpServer::RealFtpServer(ServerKind kind, const ServerOptions& options)
    : m_Kind(kind),
      m_Options(options),
      m_WritableFolder("/"),
      m_ServerAddress("127.0.0.1"),
      m_bUnsupported(false),
      m_Tls(TlsMode::None),
      m_bReuseRequired(false),
      m_nPort(0),
      m_nPid(0),
      m_nStdinFd(-1) {}

std::string RealFtpServer::LocalPathOf(const std::string& remotePath) const {
    return m_Root + remotePath;
}

std::string RealFtpServer::WritablePath(const std::string& name) const {
    return m_WritableFolder == "/" ? "/" + name : m_WritableFolder + "/" + name;
}

bool RealFtpServer::MakeLocalFolder(const std::string& remotePath) const {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directory(LocalPathOf(remotePath), error);
    if (error) return false;
    fs::permissions(LocalPathOf(remotePath), fs::perms::all, error);
    return !error;
}

const std::string& RealFtpServer::Address() const {
    return m_pRelay ? m_pRelay->Route().listenAddress : m_ServerAddress;
}

uint16_t RealFtpServer::Port() const {
    return m_pRelay ? m_pRelay->Port() : m_nPort;
}

bool RealFtpServer::Start() {
    const std::string settings = Variable(kRelayVariable);
    relay::RelayConfig config;
    std::string error;
    if (!relay::RelayConfig::Parse(settings, &config, &error)) {
        m_Error = std::string(kRelayVariable) + ": " + error;
        return false;
    }
    ServerOptions options = m_Options;
    if (!settings.empty() && config.portRange > 0 && !ReserveRangeRelay(config, &options)) return false;
    if (!StartServer(options)) return false;
    if (m_pRelay) {
        m_pRelay->SetServerPort(m_nPort);
        return true;
    }
    return settings.empty() || StartRelay(config);
}

bool RealFtpServer::StartServer(const ServerOptions& options) {
    std::string announced = AnnouncedPrefix(m_Kind);
    if (options.IsDefault() && !announced.empty()) return UseAnnouncedServer(announced);
    if (!Variable(kServiceVariable).empty()) return StartFromService(options);
#ifdef _WIN32
    std::string prefix = "FTP_REAL_SERVER_" + EnvironmentName(m_Kind);
    m_Error = "no " + std::string(options.IsDefault() ? prefix + "_PORT" : kServiceVariable) +
              " given to this Windows test (run it through tests/ftpservers/run-with-servers.sh)";
    std::string reason = Variable(prefix + "_ERROR");
    if (!reason.empty()) m_Error += "; the server did not start: " + reason;
    return false;
#else
    return StartLauncher(options);
#endif
}

// Port-range mode: the relay takes a block of ports on 127.0.0.1 first, and
// the server is then started with the same ports on kRangeServerAddress,
// announcing the relay's address. A block some other relay holds (a test
// run beside this one) or whose ports still linger is passed over.
bool RealFtpServer::ReserveRangeRelay(const relay::RelayConfig& config, ServerOptions* options) {
    static std::atomic<unsigned> nextBlock{
        (unsigned)std::chrono::steady_clock::now().time_since_epoch().count()};
    const int portCount = config.portRange;
    const int blocks = kRangeSpan / portCount;
    for (int attempt = 0; attempt < blocks; ++attempt) {
        relay::RelayRoute route;
        route.serverAddress = kRangeServerAddress;
        route.passiveLow = (uint16_t)(RangeBase(m_Kind) + (nextBlock++ % blocks) * portCount);
        route.passiveHigh = (uint16_t)(route.passiveLow + portCount - 1);
        std::unique_ptr<relay::NetworkRelay> candidate(new relay::NetworkRelay(route, config));
        if (!candidate->IsListening()) continue;
        m_pRelay = std::move(candidate);
        options->listenAddress = kRangeServerAddress;
        options->passiveLow = route.passiveLow;
        options->passiveHigh = route.passiveHigh;
        options->announcedAddress = route.listenAddress;
        return true;
    }
    m_Error = "the port-range relay found no free block of " + std::to_string(portCount) + " ports in " +
              std::to_string(RangeBase(m_Kind)) + "-" + std::to_string(RangeBase(m_Kind) + kRangeSpan - 1);
    return false;
}

// Rewrite mode, in front of a server that is already running.
bool RealFtpServer::StartRelay(const relay::RelayConfig& config) {
    relay::RelayRoute route;
    route.serverAddress = m_ServerAddress;
    route.serverPort = m_nPort;
    m_pRelay.reset(new relay::NetworkRelay(route, config));
    if (!m_pRelay->IsListening()) {
        m_Error = "the relay in front of the server could not listen";
        return false;
    }
    return true;
}

bool RealFtpServer::UseAnnouncedServer(const std::string& prefix) {
    m_nPort = (uint16_t)atoi(Variable(prefix + "_PORT").c_str());
    m_Root = PathThisProcessCanOpen(Variable(prefix + "_ROOT"));
    if (m_nPort == 0 || m_Root.empty()) {
        m_Error = prefix + "_PORT / " + prefix + "_ROOT incomplete";
        return false;
    }
    m_ServerName = Variable(prefix + "_SERVER");
    if (m_ServerName.empty()) m_ServerName = KindName(m_Kind);
    std::string writable = Variable(prefix + "_WRITABLE");
    if (!writable.empty()) m_WritableFolder = writable;
    return true;
}

// The launcher's port file (or the service's answer): the port, then
// "key=value" lines.
bool RealFtpServer::ReadFacts(const std::string& factsText) {
    std::istringstream lines(factsText);
    int port = 0;
    if (!(lines >> port) || port <= 0 || port > 65535) return false;
    m_nPort = (uint16_t)port;
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "server") m_ServerName = value;
        if (key == "writable") m_WritableFolder = value;
        if (key == "address") m_ServerAddress = value;
        if (key == "tls") m_Tls = value == "explicit" ? TlsMode::Explicit
                                  : value == "implicit" ? TlsMode::Implicit : TlsMode::None;
        if (key == "reuse_required") m_bReuseRequired = value == "yes";
        if (key == "ca_file") m_CaFile = PathThisProcessCanOpen(value);
        if (key == "unrelated_ca_file") m_UnrelatedCaFile = PathThisProcessCanOpen(value);
        if (key == "named_user") m_NamedUser = value;
        if (key == "named_password") m_NamedPassword = value;
        if (key == "root") m_Root = PathThisProcessCanOpen(value);
    }
    return true;
}

// One connection to the launcher service (ftpserver.py service) per server:
// "start KIND OPTIONS", then "ok" with the port file's facts and the root,
// ended by ".", or "unsupported REASON" / "error REASON". The server runs
// while the connection stays open.
bool RealFtpServer::StartFromService(const ServerOptions& options) {
    const std::string where = std::string("the launcher service at 127.0.0.1:") + Variable(kServiceVariable);
    std::string request = std::string("start ") + KindName(m_Kind);
    for (const std::string& argument : options.LauncherArguments()) request += " " + argument;
    request += "\n";
    plat::WSAStartup(0x0202);  // balanced in the destructor
    m_pService.reset(new relay::RelaySocket(relay::RelaySocket::Connect(
        plat::inet_addr("127.0.0.1"), (uint16_t)atoi(Variable(kServiceVariable).c_str()))));
    if (!m_pService->IsOpen() || m_pService->Send(request.data(), (int)request.size()) != (int)request.size()) {
        m_Error = "cannot reach " + where;
        return false;
    }
    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kServiceStartSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (answer.size() >= 3 && answer.compare(answer.size() - 3, 3, "\n.\n") == 0) break;
        if (!m_pService->WaitReadable(200)) continue;
        char buffer[4096];
        int count = m_pService->Receive(buffer, sizeof buffer);
        if (count <= 0) break;
        answer.append(buffer, (size_t)count);
    }
    const std::string first = answer.substr(0, answer.find('\n'));
    if (first == "ok" && ReadFacts(answer.substr(first.size() + 1))) return true;
    m_bUnsupported = first.compare(0, 12, "unsupported ") == 0;
    m_Error = std::string(KindName(m_Kind)) + " (" + options.Describe() + ") from " + where + ": " +
              (first.empty() ? "no answer within " + std::to_string(kServiceStartSeconds) + " s" : first);
    return false;
}

#ifdef _WIN32
RealFtpServer::~RealFtpServer() {
    m_pRelay.reset();
    if (m_pService) {
        m_pService.reset();  // the service stops the server
        plat::WSACleanup();
    }
}
#else
bool RealFtpServer::StartLauncher(const ServerOptions& options) {
    if (!MakeRunFolder()) return false;
    std::string portFile = m_RunFolder + "/port";
    std::string logFile = m_RunFolder + "/launcher.log";
    return SpawnLauncher(options, portFile, logFile) && WaitForPortFile(portFile, logFile);
}

// Readable and searchable by all: the servers' sessions run as other
// accounts and must reach the root through it.
bool RealFtpServer::MakeRunFolder() {
    char folder[] = "/tmp/ftp-real-server-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        m_Error = std::string("cannot make a temporary folder: ") + strerror(errno);
        return false;
    }
    m_RunFolder = folder;
    m_Root = m_RunFolder + "/root";
    chmod(folder, 0755);
    if (mkdir(m_Root.c_str(), 0755) != 0) {
        m_Error = "cannot make " + m_Root;
        return false;
    }
    return true;
}

bool RealFtpServer::SpawnLauncher(const ServerOptions& options, const std::string& portFile,
                                  const std::string& logFile) {
    // Everything the child needs is prepared here: after fork() it may only
    // make async-signal-safe calls.
    std::vector<std::string> words = {"/usr/bin/python3", RepositoryPath("tests/ftpservers/ftpserver.py"),
                                      "start", KindName(m_Kind), m_Root, portFile,
                                      "--servers-dir=" + ServersFolder(), "--password", kPassword};
    for (const std::string& argument : options.LauncherArguments()) words.push_back(argument);
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    argv.push_back(nullptr);
    int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int input[2];
    if (log < 0 || pipe2(input, O_CLOEXEC) != 0) {
        m_Error = std::string("cannot open the launcher's log or input: ") + strerror(errno);
        if (log >= 0) close(log);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(input[0], 0);
        dup2(log, 1);
        dup2(log, 2);
        closefrom(3);
        execv(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    close(input[0]);
    close(log);
    if (pid < 0) {
        close(input[1]);
        m_Error = std::string("fork failed: ") + strerror(errno);
        return false;
    }
    // The launcher stops its server when this end closes, also when this
    // process dies without running the destructor.
    m_nStdinFd = input[1];
    m_nPid = pid;
    return true;
}

bool RealFtpServer::WaitForPortFile(const std::string& portFile, const std::string& logFile) {
    std::string what = std::string(KindName(m_Kind)) + " (" + m_Options.Describe() + ") ";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ReadFacts(ReadWholeFile(portFile))) return true;
        int status = 0;
        if (waitpid((pid_t)m_nPid, &status, WNOHANG) == (pid_t)m_nPid) {
            m_nPid = 0;
            m_bUnsupported = WIFEXITED(status) && WEXITSTATUS(status) == kUnsupportedStatus;
            m_Error = what + (m_bUnsupported ? "cannot be had here: " : "did not start: ") +
                      LastCharacters(ReadWholeFile(logFile), 1500);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_Error = what + "did not start within " + std::to_string(kStartSeconds) +
              " s: " + LastCharacters(ReadWholeFile(logFile), 1500);
    return false;
}

void RealFtpServer::StopLauncher() {
    if (m_nStdinFd >= 0) close(m_nStdinFd);
    m_nStdinFd = -1;
    if (m_nPid <= 0) return;
    pid_t pid = (pid_t)m_nPid;
    m_nPid = 0;
    int status = 0;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopMilliseconds);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);  // its server gets SIGTERM from the kernel
            waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

RealFtpServer::~RealFtpServer() {
    m_pRelay.reset();  // its connections end before the server does
    if (m_pService) {
        m_pService.reset();  // the service stops the server
        plat::WSACleanup();
    }
    StopLauncher();
    if (!m_RunFolder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_RunFolder, ignored);
    }
}
#endif

}  // namespace realserver
