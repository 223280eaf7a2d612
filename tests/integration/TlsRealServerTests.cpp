// FTP over TLS against the real servers: every operation on a protected
// session (explicit and implicit, TLS session reuse required or not,
// vsftpd's strict shutdown, a named account), bytes compared; and in one
// table the refusals: an untrusted or misnamed certificate, a wrong pin, a
// server that does not speak TLS, and (scripted) plain text after "234 "
// and a handshake that never comes. The host asks for TLS by the address's
// scheme and trusts the test's certificate through the registry's Tls key.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <memory>
#include <string>
#include <vector>

#include "client/CFtpClient.h"
#include "platform/Platform.h"
#include "tests/integration/RealFtpServer.h"
#include "tests/integration/RealServerKindTest.h"
#include "tests/integration/TestHost.h"
#include "tests/integration/TransferTestSupport.h"
#include "tests/support/ScriptedFtpServer.h"

using realserver::RealFtpServer;
using realserver::ServerCase;
using realserver::ServerKind;
using realserver::ServerOptions;
using realserver::TlsMode;
using scripted::ScriptedConnection;
using scripted::ScriptedFtpServer;
using testhost::Client;
using testhost::MessageWindow;
using transfertest::NonRepeatingBytes;
using transfertest::ReadWholeFile;
using transfertest::TempFolder;
using transfertest::WaitForOutcome;
using transfertest::WriteWholeFile;

namespace {

const int kOutcomeWaitMs = 120000;
const char kTlsKey[] = "SOFTWARE\\Pellacorde\\Ravelline\\Setting\\Tls";
const char kPinsKey[] = "SOFTWARE\\Pellacorde\\Ravelline\\Setting\\Tls\\Pins";

// The registry's Tls settings while the test runs: a CA file, and pins by
// server name. Test processes run side by side (ctest -j): on Linux each
// has a registry file of its own; on Windows the machine's registry is
// shared, so a process holds it, through a named mutex, while it sets them.
class TlsRegistry {
public:
    TlsRegistry() {
#ifdef _WIN32
        m_hHeld = CreateMutexA(nullptr, FALSE, "ftpclient-tests-tls-registry");
        WaitForSingleObject(m_hHeld, INFINITE);
#else
        m_Path = testing::TempDir() + "ftpclient-tls-test-" + std::to_string(getpid()) + ".reg";
        setenv("FTPCLIENT_REGISTRY", m_Path.c_str(), 1);
#endif
    }
    ~TlsRegistry() {
#ifdef _WIN32
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kPinsKey);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTlsKey);
        ReleaseMutex(m_hHeld);
        CloseHandle(m_hHeld);
#else
        remove(m_Path.c_str());
        unsetenv("FTPCLIENT_REGISTRY");
#endif
    }
    void Set(const std::string& caFile, const std::string& pinnedServer, const std::string& pin) {
#ifdef _WIN32
        WriteString(kTlsKey, "CaFile", caFile);
        if (!pinnedServer.empty()) WriteString(kPinsKey, pinnedServer.c_str(), pin);
#else
        FILE* file = fopen(m_Path.c_str(), "w");
        ASSERT_NE(nullptr, file);
        fprintf(file, "[HKEY_LOCAL_MACHINE\\%s]\n\"CaFile\"=\"%s\"\n", kTlsKey, caFile.c_str());
        if (!pinnedServer.empty()) {
            fprintf(file, "[HKEY_LOCAL_MACHINE\\%s]\n\"%s\"=\"%s\"\n", kPinsKey,
                    pinnedServer.c_str(), pin.c_str());
        }
        fclose(file);
#endif
    }

private:
#ifdef _WIN32
    static void WriteString(const char* keyName, const char* name, const std::string& value) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, 0,
                                                 KEY_SET_VALUE, nullptr, &key, nullptr));
        RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)value.c_str(),
                       (DWORD)value.size() + 1);
        RegCloseKey(key);
    }
    HANDLE m_hHeld;
#else
    std::string m_Path;
#endif
};

// Wine's SChannel never resumes a TLS session, so a server that requires
// data connections to resume refuses every transfer there; real Windows
// resumes.
bool RunningUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

const char* SchemeOf(TlsMode mode) {
    switch (mode) {
    case TlsMode::Explicit: return "ftpes://";
    case TlsMode::Implicit: return "ftps://";
    default: return "ftp://";
    }
}

// The SHA-256 of a PEM certificate's DER, in hex; empty when it cannot be
// had (no openssl to ask).
std::string CertificateSha256(const std::string& pemFile) {
#ifdef _WIN32
    (void)pemFile;
    return "";
#else
    std::string command = "openssl x509 -in '" + pemFile +
                          "' -outform DER 2>/dev/null | openssl dgst -sha256 -r 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    char line[256] = {};
    if (fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
    pclose(pipe);
    std::string digest(line, strcspn(line, " \n"));
    return digest.size() == 64 ? digest : "";
#endif
}

// Points client at the server with the scheme of the server's mode, as the
// named account when it has one.
void ConnectOverTls(Client& client, const RealFtpServer& server) {
    std::string address = std::string(SchemeOf(server.Tls())) + server.Address();
    bool named = !server.NamedUser().empty();
    ASSERT_EQ(1, client->SetConnectParameter(
                     address.c_str(), named ? server.NamedUser().c_str() : "ftp",
                     named ? server.NamedPassword().c_str() : realserver::kPassword,
                     server.Port(), 1, 0, "", 1));
    client->SetTransferRate(100.0);
}

class TlsRealServers : public testing::TestWithParam<ServerCase> {
protected:
    void SetUp() override {
        m_pServer.reset(new RealFtpServer(GetParam().kind, GetParam().options));
        START_REAL_SERVER_OR_SKIP(*m_pServer);
        if (m_pServer->SessionReuseRequired() && RunningUnderWine()) {
            GTEST_SKIP() << "Wine's SChannel never resumes a TLS session";
        }
        RecordProperty("server", m_pServer->ServerName());
        m_Registry.Set(m_pServer->CaFile(), "", "");
        ConnectOverTls(m_Client, *m_pServer);
    }

    // 64 MiB each way in the mode every server has; a few MiB elsewhere.
    size_t TransferSize() const {
        const ServerOptions& options = GetParam().options;
        bool main = options.tls == TlsMode::Explicit && options.requireSessionReuse &&
                    !options.strictShutdown && !options.namedAccount;
        return main ? 64u * 1048576 : 3u * 1048576 + 17;
    }

    void ExpectCompleted(MessageWindow& window) {
        ASSERT_TRUE(WaitForOutcome(window, m_Client, kOutcomeWaitMs));
        EXPECT_TRUE(window.ParametersOf(WM_FTP_ERROR).empty()) << m_Client->GetLastErrorText();
        EXPECT_EQ(1u, window.ParametersOf(WM_FTP_COMPLETE).size());
    }

    std::unique_ptr<RealFtpServer> m_pServer;
    TlsRegistry m_Registry;
    TempFolder m_Folder;
    Client m_Client;
};

std::vector<ServerCase> TlsRows() {
    std::vector<ServerCase> rows;
    auto add = [&rows](const ServerOptions& options, const std::string& mode) {
        for (const ServerCase& row : realserver::AllKindsIn(options, mode)) rows.push_back(row);
    };
    ServerOptions options;
    options.tls = TlsMode::Explicit;
    add(options, "Explicit");
    options.requireSessionReuse = false;
    add(options, "ExplicitNoReuse");
    // Under Wine the other modes are had without reuse (see RunningUnderWine).
    options.requireSessionReuse = !RunningUnderWine();
    options.strictShutdown = true;
    add(options, "ExplicitStrictShutdown");
    options.strictShutdown = false;
    options.namedAccount = true;
    add(options, "ExplicitNamed");
    options.namedAccount = false;
    options.tls = TlsMode::Implicit;
    add(options, "Implicit");
    ServerOptions named;
    named.namedAccount = true;
    add(named, "PlainNamed");
    return rows;
}

}  // namespace

// Size, listing, directories, a download and an upload compared byte for
// byte, stream reads with jumps both ways, and a deletion, on one session.
TEST_P(TlsRealServers, EveryOperationKeepsEveryByte) {
    const RealFtpServer& server = *m_pServer;
    const size_t size = TransferSize();
    const std::string content = NonRepeatingBytes(size, 11);
    const std::string remote = server.WritablePath("tls-film.bin");
    WriteWholeFile(server.LocalPathOf(remote), content);

    long long remoteSize = 0;
    ASSERT_EQ(1, m_Client->GetRemoteFileSize64(remote.c_str(), &remoteSize))
        << m_Client->GetLastErrorText();
    EXPECT_EQ((long long)size, remoteSize);
    std::string listing = m_Client->ListDirectory(server.WritableFolder().c_str(), "*.*");
    EXPECT_NE(std::string::npos, listing.find("tls-film.bin")) << listing;
    const std::string folder = server.WritablePath("tls-made");
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory(folder.c_str(), 1));
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory(folder.c_str(), 0));

    // Reads from the start, far ahead, and back.
    const uint64_t positions[] = {0, 65536, size / 2 + 3, 1048576 + 5, size - 4096};
    std::vector<unsigned char> buffer(4096);
    for (uint64_t position : positions) {
        unsigned int count = 0;
        ASSERT_EQ(1, m_Client->ReadStream(remote.c_str(), buffer.data(), (unsigned int)position,
                                          4096, &count))
            << "at " << position << ": " << m_Client->GetLastErrorText();
        ASSERT_EQ(4096u, count);
        EXPECT_EQ(0, memcmp(buffer.data(), content.data() + position, 4096)) << "at " << position;
    }
    m_Client->StopSession();

    MessageWindow download;
    ASSERT_EQ(1, m_Client->SetMessageWindow(download.Handle()));
    const std::string fetched = m_Folder.File("fetched.bin");
    ASSERT_EQ(1, m_Client->ReceiveFile(remote.c_str(), fetched.c_str()));
    ExpectCompleted(download);
    EXPECT_TRUE(ReadWholeFile(fetched) == content) << "the download differs";

    MessageWindow upload;
    ASSERT_EQ(1, m_Client->SetMessageWindow(upload.Handle()));
    const std::string sent = server.WritablePath("tls-sent.bin");
    ASSERT_EQ(1, m_Client->SendFile(fetched.c_str(), sent.c_str()));
    ExpectCompleted(upload);
    EXPECT_TRUE(ReadWholeFile(server.LocalPathOf(sent)) == content) << "the upload differs";

    EXPECT_EQ(1, m_Client->DeleteRemoteFile(sent.c_str()));
    EXPECT_EQ(1, m_Client->DeleteRemoteFile(remote.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Modes, TlsRealServers, testing::ValuesIn(TlsRows()),
                         realserver::ServerCaseTestName);

// ---- What a protected session refuses --------------------------------------------

namespace {

enum class Trust { ServerCertificate, UnrelatedAuthority, Nothing };
enum class Pin { None, ServerCertificate, Wrong };

struct Refusal {
    const char* name;
    TlsMode serverTls;
    bool nameMismatch;  // the certificate names another host
    Trust trust;
    Pin pin;
    TlsMode asked;          // the scheme the host gives
    int code;               // GetLastErrorCode after a size request; 0: it works
    const char* reason;     // in GetLastErrorText; null: not looked at
};

const Refusal kRefusals[] = {
    {"TrustedCertificate", TlsMode::Explicit, false, Trust::ServerCertificate, Pin::None,
     TlsMode::Explicit, 0, nullptr},
    {"UntrustedAuthority", TlsMode::Explicit, false, Trust::UnrelatedAuthority, Pin::None,
     TlsMode::Explicit, FTPE_NOTCONNECT, "not trusted"},
    {"SelfSignedWithoutTrust", TlsMode::Implicit, false, Trust::Nothing, Pin::None,
     TlsMode::Implicit, FTPE_NOTCONNECT, "not trusted"},
    {"CertificateForAnotherHost", TlsMode::Explicit, true, Trust::ServerCertificate, Pin::None,
     TlsMode::Explicit, FTPE_NOTCONNECT, nullptr},
    {"PinnedSelfSignedCertificate", TlsMode::Explicit, true, Trust::Nothing,
     Pin::ServerCertificate, TlsMode::Explicit, 0, nullptr},
    {"WrongPin", TlsMode::Explicit, false, Trust::ServerCertificate, Pin::Wrong,
     TlsMode::Explicit, FTPE_NOTCONNECT, nullptr},
    {"ServerWithoutTls", TlsMode::None, false, Trust::ServerCertificate, Pin::None,
     TlsMode::Explicit, FTPE_LOGINFAIL, "refused TLS"},
};

class TlsRefusals : public testing::TestWithParam<Refusal> {};

}  // namespace

TEST_P(TlsRefusals, OnlyAVerifiedServerGetsTheLogin) {
    const Refusal& row = GetParam();
    ServerOptions options;
    options.tls = row.serverTls;
    options.certificateNameMismatch = row.nameMismatch;
    RealFtpServer server(ServerKind::Pyftpdlib, options);
    START_REAL_SERVER_OR_SKIP(server);
    std::string pin;
    if (row.pin == Pin::ServerCertificate) {
        pin = CertificateSha256(server.CaFile());
        if (pin.empty()) GTEST_SKIP() << "no openssl to take the certificate's digest";
    } else if (row.pin == Pin::Wrong) {
        pin = std::string(64, 'a');
    }
    std::string caFile = row.trust == Trust::ServerCertificate    ? server.CaFile()
                         : row.trust == Trust::UnrelatedAuthority ? server.UnrelatedCaFile()
                                                                  : std::string();
    TlsRegistry registry;
    registry.Set(caFile, pin.empty() ? "" : server.Address(), pin);

    Client client;
    std::string address = std::string(SchemeOf(row.asked)) + server.Address();
    ASSERT_EQ(1, client->SetConnectParameter(address.c_str(), "ftp", realserver::kPassword,
                                             server.Port(), 1, 0, "", 1));
    const std::string remote = server.WritablePath("refusal.bin");
    WriteWholeFile(server.LocalPathOf(remote), "12345");
    long long size = 0;
    EXPECT_EQ(row.code == 0 ? 1 : 0, client->GetRemoteFileSize64(remote.c_str(), &size));
    EXPECT_EQ(row.code, client->GetLastErrorCode()) << client->GetLastErrorText();
    if (row.code == 0) {
        EXPECT_EQ(5, size);
    }
    if (row.reason != nullptr) {
        EXPECT_NE(nullptr, strstr(client->GetLastErrorText(), row.reason))
            << client->GetLastErrorText();
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, TlsRefusals, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<Refusal>& info) {
                             return std::string(info.param.name);
                         });

// ---- What only a scripted server can do after "234 " ------------------------------

namespace {

struct AfterAuth {
    const char* name;
    // What the server sends once it has read "AUTH TLS".
    const char* answer;
    // The login limit runs out while the client waits for the handshake.
    bool stall;
    int code;
};

const AfterAuth kAfterAuth[] = {
    // "331 " would ask for the password: it must be refused, not read.
    {"PlainTextAfterAcceptance", "234 Proceed.\r\n331 Send the password.\r\n", false,
     FTPE_NOTCONNECT},
    {"HandshakeNeverComes", "234 Proceed.\r\n", true, FTPE_NOTCONNECT},
    {"Refused", "534 Not available.\r\n", false, FTPE_LOGINFAIL},
};

class TlsAfterAuth : public testing::TestWithParam<AfterAuth> {
protected:
    ~TlsAfterAuth() override { plat::SetClockOffsetForTesting(0); }
};

}  // namespace

// The session ends with the row's code, and neither USER nor PASS ever
// reaches the server.
TEST_P(TlsAfterAuth, NoAccountGoesOutUnprotected) {
    const AfterAuth& row = GetParam();
    ScriptedFtpServer server(20000);
    std::vector<std::string> heard;
    server.OnConnection(0, [&row, &heard](ScriptedConnection& c) {
        c.Reply("220 ready");
        c.ExpectLine("AUTH TLS");
        c.Send(row.answer);
        if (row.stall) {
            c.Silence(300);
            plat::SetClockOffsetForTesting(121000);
        }
        heard = c.Silence(1000);
        c.WaitForClientClose(10000);
    });
    TlsRegistry registry;
    registry.Set("", "", "");
    Client client;
    ASSERT_EQ(1, client->SetConnectParameter("ftpes://127.0.0.1", "user", "password",
                                             server.Port(), 1, 0, "", 1));
    long long size = 0;
    EXPECT_EQ(0, client->GetRemoteFileSize64("/file.bin", &size));
    EXPECT_EQ(row.code, client->GetLastErrorCode()) << client->GetLastErrorText();
    EXPECT_TRUE(client.WaitSessionGone(10000));
    EXPECT_TRUE(server.WaitForScripts());
    for (const std::string& line : heard) {
        EXPECT_NE(0u, line.rfind("USER", 0)) << line;
        EXPECT_NE(0u, line.rfind("PASS", 0)) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, TlsAfterAuth, testing::ValuesIn(kAfterAuth),
                         [](const testing::TestParamInfo<AfterAuth>& info) {
                             return std::string(info.param.name);
                         });
