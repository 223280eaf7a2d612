// A real FTP server on 127.0.0.1 for end-to-end tests, serving a fresh
// folder to the account "ftp" with kPassword. Four kinds, each with a
// configuration of ours (tests/ftpservers/ftpserver.py, docs/real-servers.md).
//
// On Linux the test starts the server itself through that launcher. A
// Windows test under Wine cannot start Linux programs: the test run starts
// one server of each kind beforehand (tests/ftpservers/run-with-servers.sh)
// and names it in FTP_REAL_SERVER_<KIND>_PORT, _ROOT, _SERVER and _WRITABLE,
// with <KIND> as in EnvironmentName(); such a server is shared by every test
// of the run. FTP_REAL_SERVER_PORT / _ROOT name a pyftpdlib server as well.
//
// With FTP_TEST_RELAY set (e.g. "delay_ms=20,piece=7", syntax in
// tests/support/RelayConfig.h, docs/network-relay.md) the server is put
// behind a relay::NetworkRelay that plays a network, and Port() is the
// relay's: every client the test points at Port() goes through it.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

namespace relay {
class NetworkRelay;
}

namespace realserver {

// The environment variable that routes the clients through a relay.
const char kRelayVariable[] = "FTP_TEST_RELAY";

const char kPassword[] = "secret";

enum class ServerKind { Pyftpdlib, Vsftpd, Proftpd, PureFtpd };

// "pyftpdlib", "vsftpd", "proftpd", "pure-ftpd": the launcher's names.
const char* KindName(ServerKind kind);
// "PYFTPDLIB", "VSFTPD", "PROFTPD", "PURE_FTPD".
std::string EnvironmentName(ServerKind kind);

class RealFtpServer {
public:
    explicit RealFtpServer(ServerKind kind = ServerKind::Pyftpdlib);
    ~RealFtpServer();
    RealFtpServer(const RealFtpServer&) = delete;
    RealFtpServer& operator=(const RealFtpServer&) = delete;

    // False, with Error() saying why, when no server could be had.
    bool Start();
    const std::string& Error() const { return m_Error; }
    ServerKind Kind() const { return m_Kind; }
    // Where a client connects: the relay when there is one, else the server.
    uint16_t Port() const;
    // The server's own control port.
    uint16_t ServerPort() const { return m_nPort; }
    // The relay in front of the server, or null.
    relay::NetworkRelay* Relay() const { return m_pRelay.get(); }
    // Name and version, e.g. "vsftpd 3.0.3".
    const std::string& ServerName() const { return m_ServerName; }

    // The served folder, and a remote path's file in it.
    const std::string& Root() const { return m_Root; }
    std::string LocalPathOf(const std::string& remotePath) const;

    // The remote folder where the account may create, change and delete
    // ("/up" on vsftpd, which refuses a writable root; "/" elsewhere), and
    // the remote path of name in it.
    const std::string& WritableFolder() const { return m_WritableFolder; }
    std::string WritablePath(const std::string& name) const;

    // Makes a folder under Root() that the server's sessions (which run as
    // an unprivileged account, not as the test) may write in.
    bool MakeLocalFolder(const std::string& remotePath) const;

private:
    bool UseAnnouncedServer(const std::string& prefix);
    bool StartRelayIfAsked();
#ifndef _WIN32
    bool ReadFacts(const std::string& factsText);
    bool StartLauncher();
    bool MakeRunFolder();
    bool SpawnLauncher(const std::string& portFile, const std::string& logFile);
    bool WaitForPortFile(const std::string& portFile, const std::string& logFile);
    void StopLauncher();
#endif

    ServerKind m_Kind;
    std::string m_RunFolder;
    std::string m_Root;
    std::string m_WritableFolder;
    std::string m_ServerName;
    std::string m_Error;
    uint16_t m_nPort;
    long m_nPid;
    int m_nStdinFd;
    std::unique_ptr<relay::NetworkRelay> m_pRelay;
};

}  // namespace realserver
