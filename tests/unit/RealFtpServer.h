// A real FTP server (pyftpdlib) on 127.0.0.1 for end-to-end tests, serving a
// fresh folder to the account "ftp". On Linux the test starts it itself; a
// Windows test under Wine cannot start Linux programs, so the test run
// starts one beforehand and names it in FTP_REAL_SERVER_PORT and
// FTP_REAL_SERVER_ROOT (the root as a path this process can open).
#pragma once

#include <stdint.h>

#include <string>

namespace realserver {

const char kPassword[] = "secret";

class RealFtpServer {
public:
    RealFtpServer();
    ~RealFtpServer();
    RealFtpServer(const RealFtpServer&) = delete;
    RealFtpServer& operator=(const RealFtpServer&) = delete;

    // False, with Error() saying why, when no server could be had.
    bool Start();
    const std::string& Error() const { return m_Error; }
    uint16_t Port() const { return m_nPort; }
    // The served folder, and a remote path's file in it.
    const std::string& Root() const { return m_Root; }
    std::string LocalPathOf(const std::string& remotePath) const;

private:
#ifndef _WIN32
    bool StartProcess();
#endif
    bool UseAnnouncedServer();

    std::string m_Root;
    std::string m_Error;
    uint16_t m_nPort;
    long m_nPid;
    int m_nStdinFd;
    bool m_bOwnsRoot;
};

}  // namespace realserver
