// The TLS channel against a real server: tls_peer.py, which the ctest
// fixture tls_peer starts on the Linux side for the native and the Windows
// build alike (tls-peer.sh); FTP_TLS_PEER names the file that gives its
// ports, the CA files and the pin of its certificate. The test moves the
// bytes between a loopback socket and the channel itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "Platform.h"
#include "TlsChannel.h"

namespace {

using plat::TlsChannel;
using plat::TlsFailure;

struct PeerInfo {
    std::map<std::string, std::string> values;

    std::string Get(const std::string& key) const {
        auto found = values.find(key);
        return found == values.end() ? std::string() : found->second;
    }
    uint16_t Port(const std::string& key) const {
        return static_cast<uint16_t>(std::atoi(Get(key).c_str()));
    }
};

// False when the tests run without the fixture.
bool ReadPeerInfo(PeerInfo* info, std::string* file) {
    const char* path = std::getenv("FTP_TLS_PEER");
    if (!path || !*path) return false;
    *file = path;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t equals = line.find('=');
        if (equals != std::string::npos) info->values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return true;
}

// Byte i of the server's "bulk" answer.
char BulkByte(size_t i) { return static_cast<char>(i % 251); }

const auto kTimeLimit = std::chrono::seconds(20);
const int kMaxRounds = 200000;

// One connection to the server and its channel, and the loop that moves the
// bytes: what the channel has to send goes out at once; what arrives is fed
// in pieces of feedStep bytes (0: as it came), and plaintext is read
// readStep bytes at a time, only when the channel says it holds some.
class TlsConnection {
public:
    TlsConnection(size_t feedStep, size_t readStep)
        : m_nFeedStep(feedStep), m_nReadStep(readStep),
          m_Deadline(std::chrono::steady_clock::now() + kTimeLimit) {}
    ~TlsConnection() {
        if (m_hSocket != INVALID_SOCKET) plat::closesocket(m_hSocket);
    }

    ::testing::AssertionResult Open(uint16_t port, const plat::TlsSettings& settings) {
        m_hSocket = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = plat::inet_addr("127.0.0.1");
        address.sin_port = plat::htons(port);
        if (plat::connect(m_hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return ::testing::AssertionFailure() << "no TLS server on port " << port;
        }
        m_pChannel.reset(TlsChannel::Create(settings));
        if (!m_pChannel) return ::testing::AssertionFailure() << "Create returned null";
        return ::testing::AssertionSuccess();
    }

    TlsChannel& Channel() { return *m_pChannel; }

    TlsChannel::HandshakeResult Handshake() {
        TlsChannel::HandshakeResult result = TlsChannel::kHandshakeNeedsInput;
        auto step = [&] {
            result = m_pChannel->Handshake();
            SendOutput();
        };
        step();
        for (int round = 0; round < kMaxRounds && result == TlsChannel::kHandshakeNeedsInput;
             ++round) {
            if (!ReceiveAndFeed(step)) break;
        }
        return result;
    }

    void Send(const std::string& text) {
        ASSERT_TRUE(m_pChannel->Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()))
            << m_pChannel->FailureReason();
        SendOutput();
    }

    // Reads until `count` bytes have come or the channel ends; the last read's
    // result (kReadData once the bytes are there).
    TlsChannel::ReadResult Receive(size_t count, std::string* text) {
        m_nWanted = count;
        m_pText = text;
        m_LastRead = TlsChannel::kReadNothingYet;
        auto drain = [&] { ReadWhatIsInside(); };
        for (int round = 0; round < kMaxRounds && !Finished(); ++round) {
            drain();
            if (Finished() || !ReceiveAndFeed(m_nFeedStep ? drain : std::function<void()>())) {
                break;
            }
        }
        return text->size() >= count ? TlsChannel::kReadData : m_LastRead;
    }

    void SendOutput() {
        uint8_t buffer[4096];
        for (int round = 0; round < kMaxRounds && m_pChannel->HasOutput(); ++round) {
            const size_t length = m_pChannel->TakeOutput(buffer, sizeof buffer);
            ASSERT_GT(length, 0u) << "HasOutput without output";
            for (size_t sent = 0; sent < length;) {
                const int result = plat::send(m_hSocket, reinterpret_cast<const char*>(buffer + sent),
                                              static_cast<int>(length - sent), 0);
                ASSERT_GT(result, 0) << "send failed: " << plat::WSAGetLastError();
                sent += static_cast<size_t>(result);
            }
        }
    }

private:
    bool Finished() const {
        return m_pText->size() >= m_nWanted || m_LastRead == TlsChannel::kReadClosed ||
               m_LastRead == TlsChannel::kReadFailed;
    }

    void ReadWhatIsInside() {
        std::string buffer(m_nReadStep, '\0');
        for (int round = 0; round < kMaxRounds && !Finished() && m_pChannel->HasPlaintext();
             ++round) {
            size_t got = 0;
            m_LastRead = m_pChannel->Read(reinterpret_cast<uint8_t*>(&buffer[0]), buffer.size(), &got);
            SendOutput();
            if (m_LastRead == TlsChannel::kReadNothingYet) {
                ADD_FAILURE() << "HasPlaintext was true, yet Read had nothing";
                m_LastRead = TlsChannel::kReadFailed;
            }
            m_pText->append(buffer.data(), got);
        }
    }

    // Waits for bytes (until the deadline), feeds them in pieces and calls
    // afterPiece after each piece. False when the server closed the
    // connection or the time is up.
    bool ReceiveAndFeed(const std::function<void()>& afterPiece) {
        char buffer[65536];
        while (std::chrono::steady_clock::now() < m_Deadline) {
            plat::SocketSet readable;
            readable.Add(m_hSocket);
            const int ready = plat::select(&readable, nullptr, nullptr, 100);
            if (ready == SOCKET_ERROR) return false;
            if (ready == 0) continue;
            const int length = plat::recv(m_hSocket, buffer, sizeof buffer, 0);
            if (length <= 0) return false;
            const size_t step = m_nFeedStep ? m_nFeedStep : static_cast<size_t>(length);
            for (size_t at = 0; at < static_cast<size_t>(length); at += step) {
                const size_t piece = std::min(step, static_cast<size_t>(length) - at);
                m_pChannel->Feed(reinterpret_cast<const uint8_t*>(buffer + at), piece);
                if (afterPiece) afterPiece();
            }
            return true;
        }
        ADD_FAILURE() << "no answer within " << kTimeLimit.count() << " s";
        return false;
    }

    const size_t m_nFeedStep;
    const size_t m_nReadStep;
    const std::chrono::steady_clock::time_point m_Deadline;
    plat::SOCKET m_hSocket = INVALID_SOCKET;
    std::unique_ptr<TlsChannel> m_pChannel;
    size_t m_nWanted = 0;
    std::string* m_pText = nullptr;
    TlsChannel::ReadResult m_LastRead = TlsChannel::kReadNothingYet;
};

enum class Trust { kNoCaFile, kCaFile, kUnrelatedCaFile, kMissingCaFile };
enum class Pin { kNone, kRight, kRightUpperWithColons, kWrong, kTooShort };
enum class Server { kBoth, kTls12Only };
// Data connections after the control connection's exchange: none, two that
// resume its session, or two on a server that never resumes it.
enum class Data { kNone, kResumed, kNotResumed };

struct TlsCase {
    const char* name;
    const char* peerName;
    Trust trust;
    Pin pin;
    TlsFailure expected;
    size_t feedStep = 0;
    size_t readStep = 4096;
    Server server = Server::kBoth;
    Data data = Data::kNone;
};

std::ostream& operator<<(std::ostream& out, const TlsCase& row) { return out << row.name; }

const TlsCase kTlsCases[] = {
    {"TrustedThroughCaFileByName", "localhost", Trust::kCaFile, Pin::kNone, TlsFailure::kNone},
    {"TrustedThroughCaFileByAddress", "127.0.0.1", Trust::kCaFile, Pin::kNone, TlsFailure::kNone},
    {"SelfSignedWithoutCaFile", "localhost", Trust::kNoCaFile, Pin::kNone,
     TlsFailure::kUntrustedCertificate},
    {"UnrelatedAuthority", "localhost", Trust::kUnrelatedCaFile, Pin::kNone,
     TlsFailure::kUntrustedCertificate},
    {"UntrustedBeforeOtherName", "ftp.example.com", Trust::kNoCaFile, Pin::kNone,
     TlsFailure::kUntrustedCertificate},
    {"OtherName", "ftp.example.com", Trust::kCaFile, Pin::kNone, TlsFailure::kNameMismatch},
    {"OtherAddress", "127.0.0.2", Trust::kCaFile, Pin::kNone, TlsFailure::kNameMismatch},
    {"RightPinWithoutTrust", "localhost", Trust::kNoCaFile, Pin::kRightUpperWithColons,
     TlsFailure::kNone},
    {"RightPinOtherAddress", "127.0.0.2", Trust::kUnrelatedCaFile, Pin::kRight, TlsFailure::kNone},
    {"WrongPinThoughTrusted", "localhost", Trust::kCaFile, Pin::kWrong, TlsFailure::kPinMismatch},
    {"MalformedPin", "localhost", Trust::kCaFile, Pin::kTooShort, TlsFailure::kHandshakeFailed},
    {"MissingCaFile", "localhost", Trust::kMissingCaFile, Pin::kNone, TlsFailure::kHandshakeFailed},
    {"OneByteAtATime", "localhost", Trust::kCaFile, Pin::kNone, TlsFailure::kNone, 1, 7},
    {"Tls12OneByteAtATime", "127.0.0.1", Trust::kCaFile, Pin::kNone, TlsFailure::kNone, 1, 1,
     Server::kTls12Only},
    {"DataConnectionsResume", "localhost", Trust::kCaFile, Pin::kNone, TlsFailure::kNone, 0,
     4096, Server::kBoth, Data::kResumed},
    {"DataConnectionsResumeTls12", "localhost", Trust::kCaFile, Pin::kNone, TlsFailure::kNone, 0,
     4096, Server::kTls12Only, Data::kResumed},
    {"ServerThatNeverResumes", "localhost", Trust::kCaFile, Pin::kNone, TlsFailure::kNone, 0, 4096,
     Server::kBoth, Data::kNotResumed},
};

class TlsChannelTest : public ::testing::TestWithParam<TlsCase> {
protected:
    void SetUp() override {
        std::string file;
        if (!ReadPeerInfo(&m_Peer, &file)) {
            GTEST_SKIP() << "FTP_TLS_PEER is not set: ctest starts the TLS server (fixture "
                            "tls_peer); by hand see tests/platform/tls-peer.sh";
        }
        ASSERT_NE(m_Peer.Port("port"), 0) << "no ports in " << file;
        ASSERT_EQ(plat::WSAStartup(0x0202), 0);
        m_bStarted = true;
    }
    void TearDown() override {
        if (m_bStarted) plat::WSACleanup();
    }

    plat::TlsSettings SettingsOf(const TlsCase& row) {
        m_CaFile = row.trust == Trust::kCaFile          ? m_Peer.Get("ca_file")
                   : row.trust == Trust::kUnrelatedCaFile ? m_Peer.Get("other_ca_file")
                   : row.trust == Trust::kMissingCaFile   ? m_Peer.Get("ca_file") + ".missing"
                                                          : std::string();
        m_Pin = m_Peer.Get("pin");
        if (row.pin == Pin::kRightUpperWithColons) {
            std::string formatted;
            for (size_t i = 0; i < m_Pin.size(); ++i) {
                if (i > 0 && i % 2 == 0) formatted += ':';
                formatted += static_cast<char>(std::toupper(static_cast<unsigned char>(m_Pin[i])));
            }
            m_Pin = formatted;
        } else if (row.pin == Pin::kWrong) {
            m_Pin.back() = m_Pin.back() == '0' ? '1' : '0';
        } else if (row.pin == Pin::kTooShort) {
            m_Pin.resize(62);
        }
        plat::TlsSettings settings;
        settings.peerName = row.peerName;
        settings.caFile = m_CaFile.empty() ? nullptr : m_CaFile.c_str();
        settings.pin = row.pin == Pin::kNone ? nullptr : m_Pin.c_str();
        return settings;
    }

    // A line there and back, then many records, then the server's close.
    static void ExchangeAndClose(TlsConnection* connection) {
        std::string text;
        connection->Send("echo hello\n");
        ASSERT_EQ(connection->Receive(6, &text), TlsChannel::kReadData)
            << connection->Channel().FailureReason();
        EXPECT_EQ(text, "hello\n");

        const size_t bulkSize = 40000;
        std::string bulk;
        connection->Send("bulk " + std::to_string(bulkSize) + "\n");
        ASSERT_EQ(connection->Receive(bulkSize, &bulk), TlsChannel::kReadData)
            << connection->Channel().FailureReason();
        ASSERT_EQ(bulk.size(), bulkSize);
        for (size_t i = 0; i < bulkSize; ++i) {
            ASSERT_EQ(bulk[i], BulkByte(i)) << "byte " << i;
        }

        std::string last;
        connection->Send("bye\n");
        EXPECT_EQ(connection->Receive(1000, &last), TlsChannel::kReadClosed)
            << connection->Channel().FailureReason();
        EXPECT_EQ(last, "bye\n");
        EXPECT_TRUE(connection->Channel().HasPlaintext()) << "the close must stay readable";
        ASSERT_TRUE(connection->Channel().Shutdown());
        EXPECT_TRUE(connection->Channel().HasOutput()) << "no close_notify queued";
        connection->SendOutput();
    }

    PeerInfo m_Peer;
    bool m_bStarted = false;
    std::string m_CaFile;
    std::string m_Pin;
};

TEST_P(TlsChannelTest, AgainstARealServer) {
    const TlsCase& row = GetParam();
    const uint16_t port = m_Peer.Port(row.server == Server::kTls12Only ? "tls12_port" : "port");
    const plat::TlsSettings settings = SettingsOf(row);

    TlsConnection control(row.feedStep, row.readStep);
    ASSERT_TRUE(control.Open(port, settings));
    const TlsChannel::HandshakeResult result = control.Handshake();
    if (row.expected != TlsFailure::kNone) {
        EXPECT_EQ(result, TlsChannel::kHandshakeFailed);
        EXPECT_EQ(control.Channel().Failure(), row.expected) << control.Channel().FailureReason();
        EXPECT_STRNE(control.Channel().FailureReason(), "");
        EXPECT_FALSE(control.Channel().Write(reinterpret_cast<const uint8_t*>("x"), 1));
        return;
    }
    ASSERT_EQ(result, TlsChannel::kHandshakeDone) << control.Channel().FailureReason();
    EXPECT_EQ(control.Channel().Failure(), TlsFailure::kNone);
    EXPECT_FALSE(control.Channel().WasResumed());
    if (row.data == Data::kNone) {
        ExchangeAndClose(&control);
        return;
    }

    // The session (with TLS 1.3 its tickets come after the handshake) is
    // taken in while the control connection reads.
    std::string text;
    control.Send("echo control\n");
    ASSERT_EQ(control.Receive(8, &text), TlsChannel::kReadData);
    // Two data connections one after the other, each offering the session
    // again (a TLS 1.3 session that was offered once must be offered anew).
    const uint16_t dataPort = row.data == Data::kNotResumed ? m_Peer.Port("noresume_port") : port;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("data connection " + std::to_string(i + 1));
        plat::TlsSettings dataSettings = settings;
        dataSettings.resumeFrom = &control.Channel();
        TlsConnection data(row.feedStep, row.readStep);
        ASSERT_TRUE(data.Open(dataPort, dataSettings));
        ASSERT_EQ(data.Handshake(), TlsChannel::kHandshakeDone) << data.Channel().FailureReason();
#ifndef _WIN32
        // Wine's SChannel never resumes (real Windows would): there only
        // that the offer does no harm is checked.
        EXPECT_EQ(data.Channel().WasResumed(), row.data == Data::kResumed);
#endif
        ExchangeAndClose(&data);
    }
    ExchangeAndClose(&control);
}

INSTANTIATE_TEST_SUITE_P(Rows, TlsChannelTest, ::testing::ValuesIn(kTlsCases),
                         [](const ::testing::TestParamInfo<TlsCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
