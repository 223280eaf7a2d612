// A real FTP server on loopback for end-to-end tests, serving a fresh folder
// to the account "ftp" with kPassword. Four kinds, each with a configuration
// of ours (tests/ftpservers/ftpserver.py, docs/real-servers.md), plain by
// default or in the mode ServerOptions asks for: explicit or implicit TLS,
// TLS session reuse required or not, a strict TLS shutdown, a second
// account with a name and password of its own, other addresses and ports.
//
// On Linux the test starts the server itself through that launcher. A
// Windows test under Wine cannot start Linux programs: the test run starts
// one plain server of each kind beforehand (tests/ftpservers/run-with-servers.sh)
// and names it in FTP_REAL_SERVER_<KIND>_PORT, _ROOT, _SERVER and _WRITABLE,
// with <KIND> as in EnvironmentName(); such a server is shared by every test
// of the run. FTP_REAL_SERVER_PORT / _ROOT name a pyftpdlib server as well.
// A server in any other mode comes from the launcher service the run also
// starts (FTP_REAL_SERVER_SERVICE_PORT): one for the test, stopped when the
// RealFtpServer goes.
//
// With FTP_TEST_RELAY set (e.g. "delay_ms=20,piece=7", syntax in
// tests/support/RelayConfig.h, docs/network-relay.md) the server is put
// behind a relay::NetworkRelay that plays a network, and Port() is the
// relay's: every client the test points at Address():Port() goes through
// it. With "port_range=N" in it the relay works in port-range mode, which
// carries TLS: the server then listens on kRangeServerAddress with a block
// of N passive ports announced as the relay's address, and the relay holds
// the same ports on 127.0.0.1 (RealFtpServer.cpp).
//
//   realserver::ServerOptions options;
//   options.tls = realserver::TlsMode::Explicit;
//   options.namedAccount = true;
//   realserver::RealFtpServer server(realserver::ServerKind::Vsftpd, options);
//   START_REAL_SERVER_OR_SKIP(server);   // skips where the mode cannot be had
//   ... server.Address(), server.Port(), server.NamedUser(), server.CaFile() ...
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace relay {
class NetworkRelay;
class RelaySocket;
struct RelayConfig;
}  // namespace relay

namespace realserver {

// The environment variable that routes the clients through a relay.
const char kRelayVariable[] = "FTP_TEST_RELAY";

const char kPassword[] = "secret";
// The account of ServerOptions::namedAccount (the launcher's NAMED_USER).
const char kNamedUser[] = "tester";
const char kNamedPassword[] = "tester-secret";
// Where the server listens when a port-range relay stands in front of it.
const char kRangeServerAddress[] = "127.0.0.3";

enum class ServerKind { Pyftpdlib, Vsftpd, Proftpd, PureFtpd };

// "pyftpdlib", "vsftpd", "proftpd", "pure-ftpd": the launcher's names.
const char* KindName(ServerKind kind);
// "PYFTPDLIB", "VSFTPD", "PROFTPD", "PURE_FTPD".
std::string EnvironmentName(ServerKind kind);

enum class TlsMode {
    None,
    // "AUTH TLS" required before USER, "PROT P" before every data
    // connection; a plain login is refused.
    Explicit,
    // TLS from the first byte of the control and every data connection
    // (not on pure-ftpd: Unsupported()).
    Implicit,
};
const char* TlsModeName(TlsMode mode);  // "none", "explicit", "implicit"

// How the server is set up. The default is the plain server every suite
// has used so far.
struct ServerOptions {
    TlsMode tls = TlsMode::None;
    // TLS: a data connection that does not resume the control connection's
    // session is refused. Only vsftpd ("522 SSL connection failed: session
    // reuse required") and proftpd can require it; pure-ftpd and pyftpdlib
    // never do, whatever this says: RealFtpServer::SessionReuseRequired()
    // tells what the started server does. Wine's SChannel never resumes.
    bool requireSessionReuse = true;
    // TLS, vsftpd only (Unsupported() elsewhere): every data connection must
    // end with a TLS close_notify both ways (strict_ssl_read_eof and
    // strict_ssl_write_shutdown); without the client's, an upload ends in
    // "426 Failure reading network stream.".
    bool strictShutdown = false;
    // TLS: the certificate names elsewhere.invalid and 192.0.2.1, not
    // localhost and the address: a client that checks names must refuse it.
    bool certificateNameMismatch = false;
    // A second account, kNamedUser with kNamedPassword, serving the same
    // root with the same rights (vsftpd: Unsupported() where no mount
    // namespace can be had, see docs/real-servers.md).
    bool namedAccount = false;
    // The loopback address of the server's control and passive ports.
    std::string listenAddress = "127.0.0.1";
    // The passive ports; 0: the kind's own range.
    uint16_t passiveLow = 0;
    uint16_t passiveHigh = 0;
    // The address the 227 reply names instead of the server's own; "": its own.
    std::string announcedAddress;

    bool IsDefault() const;
    // The launcher's options, e.g. {"--tls", "explicit", "--no-reuse"}.
    std::vector<std::string> LauncherArguments() const;
    // "tls=explicit,no-reuse,named" and the like, for test names and messages.
    std::string Describe() const;
};

class RealFtpServer {
public:
    explicit RealFtpServer(ServerKind kind = ServerKind::Pyftpdlib,
                           const ServerOptions& options = ServerOptions());
    ~RealFtpServer();
    RealFtpServer(const RealFtpServer&) = delete;
    RealFtpServer& operator=(const RealFtpServer&) = delete;

    // False, with Error() saying why, when no server could be had.
    bool Start();
    const std::string& Error() const { return m_Error; }
    // After a failed Start(): the kind cannot give the mode, or this
    // machine cannot (Error() says which); the test should skip, not fail.
    bool Unsupported() const { return m_bUnsupported; }
    ServerKind Kind() const { return m_Kind; }
    // What the test asked for (in port-range relay mode the addresses and
    // passive ports are the relay's choice).
    const ServerOptions& Options() const { return m_Options; }

    // Where a client connects: the relay when there is one, else the server.
    const std::string& Address() const;
    uint16_t Port() const;
    // The server's own address and control port.
    const std::string& ServerAddress() const { return m_ServerAddress; }
    uint16_t ServerPort() const { return m_nPort; }
    // The relay in front of the server, or null.
    relay::NetworkRelay* Relay() const { return m_pRelay.get(); }
    // Name and version, e.g. "vsftpd 3.0.3".
    const std::string& ServerName() const { return m_ServerName; }

    // What the started server does (from the launcher, not from the options).
    TlsMode Tls() const { return m_Tls; }
    bool SessionReuseRequired() const { return m_bReuseRequired; }
    // TLS: the certificate the server presents (self-signed; trust it to
    // accept the server), and an authority that signed nothing here (trust
    // only it to see the server refused). PEM files this process can open.
    const std::string& CaFile() const { return m_CaFile; }
    const std::string& UnrelatedCaFile() const { return m_UnrelatedCaFile; }
    // The named account; empty without ServerOptions::namedAccount.
    const std::string& NamedUser() const { return m_NamedUser; }
    const std::string& NamedPassword() const { return m_NamedPassword; }

    // The served folder, and a remote path's file in it.
    const std::string& Root() const { return m_Root; }
    std::string LocalPathOf(const std::string& remotePath) const;

    // The remote folder where the accounts may create, change and delete
    // ("/up" on vsftpd, which refuses a writable root; "/" elsewhere), and
    // the remote path of name in it.
    const std::string& WritableFolder() const { return m_WritableFolder; }
    std::string WritablePath(const std::string& name) const;

    // Makes a folder under Root() that the server's sessions (which run as
    // an unprivileged account, not as the test) may write in.
    bool MakeLocalFolder(const std::string& remotePath) const;

private:
    bool StartServer(const ServerOptions& options);
    bool UseAnnouncedServer(const std::string& prefix);
    bool StartFromService(const ServerOptions& options);
    bool ReserveRangeRelay(const relay::RelayConfig& config, ServerOptions* options);
    bool StartRelay(const relay::RelayConfig& config);
    bool ReadFacts(const std::string& factsText);
#ifndef _WIN32
    bool StartLauncher(const ServerOptions& options);
    bool MakeRunFolder();
    bool SpawnLauncher(const ServerOptions& options, const std::string& portFile, const std::string& logFile);
    bool WaitForPortFile(const std::string& portFile, const std::string& logFile);
    void StopLauncher();
#endif

    ServerKind m_Kind;
    ServerOptions m_Options;
    std::string m_RunFolder;
    std::string m_Root;
    std::string m_WritableFolder;
    std::string m_ServerName;
    std::string m_ServerAddress;
    std::string m_Error;
    bool m_bUnsupported;
    TlsMode m_Tls;
    bool m_bReuseRequired;
    std::string m_CaFile;
    std::string m_UnrelatedCaFile;
    std::string m_NamedUser;
    std::string m_NamedPassword;
    uint16_t m_nPort;
    long m_nPid;
    int m_nStdinFd;
    // The launcher service's connection: the server lives while it is open.
    std::unique_ptr<relay::RelaySocket> m_pService;
    std::unique_ptr<relay::NetworkRelay> m_pRelay;
};

// Starts the server in a test or SetUp: skips the test, with the reason,
// where the mode cannot be had; fails it when the server does not start.
#define START_REAL_SERVER_OR_SKIP(server)                                                          \
    do {                                                                                           \
        if (!(server).Start()) {                                                                   \
            if ((server).Unsupported()) GTEST_SKIP() << (server).Error();                          \
            FAIL() << ::realserver::KindName((server).Kind()) << ": " << (server).Error();         \
        }                                                                                          \
    } while (0)

}  // namespace realserver
