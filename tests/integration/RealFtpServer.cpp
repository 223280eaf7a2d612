#include "tests/integration/RealFtpServer.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

// Under Wine, Z: is the Linux root: the run script hands over Linux paths.
std::string PathThisProcessCanOpen(const std::string& path) {
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') return "Z:" + path;
#endif
    return path;
}

#ifndef _WIN32
const int kStartSeconds = 150;  // room for a first download of the servers
const int kStopMilliseconds = 5000;

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

std::string LastCharacters(const std::string& text, size_t count) {
    return text.size() <= count ? text : "..." + text.substr(text.size() - count);
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

RealFtpServer::RealFtpServer(ServerKind kind)
    : m_Kind(kind), m_WritableFolder("/"), m_nPort(0), m_nPid(0), m_nStdinFd(-1) {}

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

bool RealFtpServer::Start() {
    std::string announced = AnnouncedPrefix(m_Kind);
    if (!announced.empty()) return UseAnnouncedServer(announced) && StartRelayIfAsked();
#ifdef _WIN32
    std::string prefix = "FTP_REAL_SERVER_" + EnvironmentName(m_Kind);
    m_Error = "no " + prefix + "_PORT given to this Windows test (run it through "
              "tests/ftpservers/run-with-servers.sh)";
    std::string reason = Variable(prefix + "_ERROR");
    if (!reason.empty()) m_Error += "; the server did not start: " + reason;
    return false;
#else
    return StartLauncher() && StartRelayIfAsked();
#endif
}

uint16_t RealFtpServer::Port() const {
    return m_pRelay ? m_pRelay->Port() : m_nPort;
}

bool RealFtpServer::StartRelayIfAsked() {
    std::string settings = Variable(kRelayVariable);
    if (settings.empty()) return true;
    relay::RelayConfig config;
    std::string error;
    if (!relay::RelayConfig::Parse(settings, &config, &error)) {
        m_Error = std::string(kRelayVariable) + ": " + error;
        return false;
    }
    m_pRelay.reset(new relay::NetworkRelay(m_nPort, config));
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

#ifdef _WIN32
RealFtpServer::~RealFtpServer() {
    m_pRelay.reset();
}
#else
// The launcher's port file: the port, then "server=..." and "writable=...".
bool RealFtpServer::ReadFacts(const std::string& factsText) {
    std::istringstream lines(factsText);
    int port = 0;
    if (!(lines >> port) || port <= 0 || port > 65535) return false;
    m_nPort = (uint16_t)port;
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals);
        if (key == "server") m_ServerName = line.substr(equals + 1);
        if (key == "writable") m_WritableFolder = line.substr(equals + 1);
    }
    return true;
}

bool RealFtpServer::StartLauncher() {
    if (!MakeRunFolder()) return false;
    std::string portFile = m_RunFolder + "/port";
    std::string logFile = m_RunFolder + "/launcher.log";
    return SpawnLauncher(portFile, logFile) && WaitForPortFile(portFile, logFile);
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

bool RealFtpServer::SpawnLauncher(const std::string& portFile, const std::string& logFile) {
    // Everything the child needs is prepared here: after fork() it may only
    // make async-signal-safe calls.
    std::string launcher = RepositoryPath("tests/ftpservers/ftpserver.py");
    std::string serversOption = "--servers-dir=" + ServersFolder();
    const char* argv[] = {"/usr/bin/python3", launcher.c_str(), "start", KindName(m_Kind),
                          m_Root.c_str(), portFile.c_str(), serversOption.c_str(),
                          "--password", kPassword, nullptr};
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
        execv(argv[0], const_cast<char* const*>(argv));
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
    std::string what = std::string(KindName(m_Kind)) + " ";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ReadFacts(ReadWholeFile(portFile))) return true;
        int status = 0;
        if (waitpid((pid_t)m_nPid, &status, WNOHANG) == (pid_t)m_nPid) {
            m_nPid = 0;
            m_Error = what + "did not start: " + LastCharacters(ReadWholeFile(logFile), 1500);
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
    StopLauncher();
    if (!m_RunFolder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_RunFolder, ignored);
    }
}
#endif

}  // namespace realserver
