// The real servers in their TLS and named-account modes, as the fixture
// starts them (directly, through the launcher service under Wine, behind a
// port-range relay): each does what RealFtpServer says it does, before the
// library speaks TLS. A bare control connection shows it: a TLS mode refuses
// a plain login and takes "AUTH TLS" (explicit) or answers plain text with
// no reply (implicit); the named account logs in with its password and only
// with it. A mode a kind cannot give must be reported as such, so that a
// test of it skips instead of passing against the wrong server.
// tests/ftpservers/check-with-curl.py drives the same modes with a TLS client.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/integration/RealFtpServer.h"
#include "tests/integration/RealServerKindTest.h"
#include "tests/support/RelaySocket.h"

using realserver::RealFtpServer;
using realserver::ServerCase;
using realserver::ServerKind;
using realserver::ServerOptions;
using realserver::TlsMode;

namespace {

constexpr int kReplyMs = 10000;
// A plain server greets at once; this long without a greeting is none.
constexpr int kSilenceMs = 500;

// A control connection of bytes and lines, nothing of the library's.
class BareControl {
public:
    explicit BareControl(const RealFtpServer& server)
        : m_Socket(relay::RelaySocket::Connect(plat::inet_addr(server.Address().c_str()), server.Port())) {}

    bool IsOpen() const { return m_Socket.IsOpen(); }

    // The final line of the next reply; whatever came when it is no reply
    // (TLS records, say), or "" when nothing came before the time-out or
    // the close.
    std::string Reply(int timeoutMs = kReplyMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            std::string last;
            if (TakeReply(&last)) return last;
            if (!m_Pending.empty() && !isdigit((unsigned char)m_Pending[0])) return Take(m_Pending.size());
            if (std::chrono::steady_clock::now() >= deadline || !ReceiveSome()) return Take(m_Pending.size());
        }
    }

    std::string Send(const std::string& line) {
        const std::string text = line + "\r\n";
        if (m_Socket.Send(text.data(), (int)text.size()) != (int)text.size()) return "";
        return Reply();
    }

private:
    // A whole reply at the front of m_Pending: its final line goes to *last.
    bool TakeReply(std::string* last) {
        size_t start = 0;
        for (size_t end; (end = m_Pending.find("\r\n", start)) != std::string::npos; start = end + 2) {
            const std::string line = m_Pending.substr(start, end - start);
            if (line.size() >= 4 && line[3] == ' ' && line.compare(0, 3, m_Pending, 0, 3) == 0) {
                Take(end + 2);
                *last = line;
                return true;
            }
        }
        return false;
    }

    bool ReceiveSome() {
        if (!m_Socket.WaitReadable(100)) return true;
        char buffer[4096];
        int count = m_Socket.Receive(buffer, sizeof buffer);
        if (count <= 0) return false;
        m_Pending.append(buffer, (size_t)count);
        return true;
    }

    std::string Take(size_t count) {
        std::string taken = m_Pending.substr(0, count);
        m_Pending.erase(0, count);
        return taken;
    }

    relay::RelaySocket m_Socket;
    std::string m_Pending;
};

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Logs in on a fresh connection, over plain text; the reply to PASS (or to
// USER when that one already decides).
std::string PlainLogin(const RealFtpServer& server, const std::string& user, const std::string& password) {
    BareControl control(server);
    if (!StartsWith(control.Reply(), "220")) return "no greeting";
    std::string reply = control.Send("USER " + user);
    if (StartsWith(reply, "331")) reply = control.Send("PASS " + password);
    control.Send("QUIT");
    return reply;
}

ServerOptions Mode(TlsMode tls, bool reuse, bool named, bool strictShutdown) {
    ServerOptions options;
    options.tls = tls;
    options.requireSessionReuse = reuse;
    options.namedAccount = named;
    options.strictShutdown = strictShutdown;
    return options;
}

bool CanRequireReuse(ServerKind kind) {
    return kind == ServerKind::Vsftpd || kind == ServerKind::Proftpd;
}

// Modes a kind cannot give: pure-ftpd has no implicit TLS, and only vsftpd
// has a strict TLS shutdown.
bool CannotGive(const ServerCase& row) {
    if (row.options.tls == TlsMode::Implicit && row.kind == ServerKind::PureFtpd) return true;
    return row.options.strictShutdown && row.kind != ServerKind::Vsftpd;
}

std::vector<ServerCase> Rows() {
    const std::pair<ServerOptions, const char*> modes[] = {
        //    TLS                reuse  named  strict shutdown
        {Mode(TlsMode::Explicit, true, true, false), "ExplicitNamed"},
        {Mode(TlsMode::Implicit, false, false, false), "Implicit"},
        {Mode(TlsMode::None, true, true, false), "PlainNamed"},
        {Mode(TlsMode::Explicit, true, false, true), "StrictShutdown"}};
    std::vector<ServerCase> rows;
    for (const auto& mode : modes) {
        for (const ServerCase& row : realserver::AllKindsIn(mode.first, mode.second)) rows.push_back(row);
    }
    return rows;
}

class RealServerModes : public testing::TestWithParam<ServerCase> {
protected:
    RealServerModes() : m_Server(GetParam().kind, GetParam().options) {}
    void SetUp() override { plat::WSAStartup(0x0202); }
    void TearDown() override { plat::WSACleanup(); }

    RealFtpServer m_Server;
};

}  // namespace

TEST_P(RealServerModes, ServesTheModeItWasAskedFor) {
    const ServerCase& row = GetParam();
    if (CannotGive(row)) {
        EXPECT_FALSE(m_Server.Start());
        EXPECT_TRUE(m_Server.Unsupported()) << m_Server.Error();
        return;
    }
    START_REAL_SERVER_OR_SKIP(m_Server);
    const ServerOptions& asked = row.options;
    EXPECT_EQ(asked.tls, m_Server.Tls());
    EXPECT_EQ(asked.tls != TlsMode::None && asked.requireSessionReuse && CanRequireReuse(row.kind),
              m_Server.SessionReuseRequired());
    if (asked.tls != TlsMode::None) {
        const std::string certificate = ReadFile(m_Server.CaFile());
        const std::string unrelated = ReadFile(m_Server.UnrelatedCaFile());
        EXPECT_NE(std::string::npos, certificate.find("BEGIN CERTIFICATE")) << m_Server.CaFile();
        EXPECT_NE(std::string::npos, unrelated.find("BEGIN CERTIFICATE")) << m_Server.UnrelatedCaFile();
        EXPECT_NE(certificate, unrelated);
    }
    BareControl control(m_Server);
    ASSERT_TRUE(control.IsOpen());
    if (asked.tls == TlsMode::Implicit) {
        // The server waits for a TLS handshake: no greeting in plain text,
        // and a plain login fails (vsftpd: "500 OOPS: ...wrong version
        // number", proftpd: "421 TLS handshake failed").
        EXPECT_EQ("", control.Reply(kSilenceMs));
        std::string answer = control.Send("USER ftp");
        EXPECT_FALSE(StartsWith(answer, "331") || StartsWith(answer, "230")) << answer;
        return;
    }
    ASSERT_TRUE(StartsWith(control.Reply(), "220"));
    if (asked.tls == TlsMode::Explicit) {
        EXPECT_TRUE(StartsWith(control.Send("AUTH TLS"), "234"));
        std::string plain = PlainLogin(m_Server, "ftp", realserver::kPassword);
        EXPECT_FALSE(StartsWith(plain, "230") || StartsWith(plain, "331")) << plain;
    } else {
        EXPECT_TRUE(StartsWith(PlainLogin(m_Server, "ftp", realserver::kPassword), "230"));
    }
    if (!asked.namedAccount) return;
    EXPECT_EQ(realserver::kNamedUser, m_Server.NamedUser());
    EXPECT_EQ(realserver::kNamedPassword, m_Server.NamedPassword());
    if (asked.tls == TlsMode::None) {
        std::string named = PlainLogin(m_Server, m_Server.NamedUser(), m_Server.NamedPassword());
        EXPECT_TRUE(StartsWith(named, "230")) << named;
        std::string wrong = PlainLogin(m_Server, m_Server.NamedUser(), "not-" + m_Server.NamedPassword());
        EXPECT_TRUE(StartsWith(wrong, "530")) << wrong;
    }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, RealServerModes, testing::ValuesIn(Rows()), realserver::ServerCaseTestName);
