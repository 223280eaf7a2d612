#include "tests/unit/RealFtpServer.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace realserver {

#ifndef _WIN32
namespace {

std::string ScriptPath() {
    std::string self = __FILE__;  // .../tests/unit/RealFtpServer.cpp
    return self.substr(0, self.find_last_of("/\\") + 1) + "../realserver/pyftpd_server.py";
}

}  // namespace
#endif

RealFtpServer::RealFtpServer() : m_nPort(0), m_nPid(0), m_nStdinFd(-1), m_bOwnsRoot(false) {}

std::string RealFtpServer::LocalPathOf(const std::string& remotePath) const {
    return m_Root + remotePath;
}

bool RealFtpServer::Start() {
    const char* announced = getenv("FTP_REAL_SERVER_PORT");
    if (announced != nullptr && announced[0] != '\0') return UseAnnouncedServer();
#ifdef _WIN32
    m_Error = "no FTP_REAL_SERVER_PORT / FTP_REAL_SERVER_ROOT given to this Windows test";
    return false;
#else
    return StartProcess();
#endif
}

bool RealFtpServer::UseAnnouncedServer() {
    m_nPort = (uint16_t)atoi(getenv("FTP_REAL_SERVER_PORT"));
    const char* root = getenv("FTP_REAL_SERVER_ROOT");
    if (m_nPort == 0 || root == nullptr) {
        m_Error = "FTP_REAL_SERVER_PORT / FTP_REAL_SERVER_ROOT incomplete";
        return false;
    }
    m_Root = root;
    return true;
}

#ifdef _WIN32
RealFtpServer::~RealFtpServer() {}
#else
bool RealFtpServer::StartProcess() {
    char folder[] = "/tmp/ftp-real-server-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        m_Error = "cannot make a temporary folder";
        return false;
    }
    m_bOwnsRoot = true;
    m_Root = std::string(folder) + "/root";
    mkdir(m_Root.c_str(), 0755);
    std::string portFile = std::string(folder) + "/port";

    int input[2];
    if (pipe(input) != 0) {
        m_Error = "pipe failed";
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        m_Error = "fork failed";
        return false;
    }
    if (pid == 0) {
        dup2(input[0], 0);
        close(input[0]);
        close(input[1]);
        std::string script = ScriptPath();
        execl("/usr/bin/python3", "python3", script.c_str(), "--root", m_Root.c_str(),
              "--port-file", portFile.c_str(), "--password", kPassword, (char*)nullptr);
        _exit(127);
    }
    close(input[0]);
    m_nStdinFd = input[1];
    m_nPid = pid;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream file(portFile);
        int port = 0;
        if (file >> port && port > 0) {
            m_nPort = (uint16_t)port;
            return true;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            m_nPid = 0;
            m_Error = "pyftpdlib exited at start (is python3-pyftpdlib installed?)";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_Error = "pyftpdlib did not start within 15 s";
    return false;
}

RealFtpServer::~RealFtpServer() {
    if (m_nStdinFd >= 0) close(m_nStdinFd);  // the server ends when its input closes
    if (m_nPid > 0) {
        int status = 0;
        for (int i = 0; i < 200 && waitpid((pid_t)m_nPid, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (waitpid((pid_t)m_nPid, &status, WNOHANG) == 0) {
            kill((pid_t)m_nPid, SIGKILL);
            waitpid((pid_t)m_nPid, &status, 0);
        }
    }
    if (m_bOwnsRoot) {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(m_Root).parent_path(), ignored);
    }
}
#endif

}  // namespace realserver
