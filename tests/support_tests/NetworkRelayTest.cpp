// The network relay between a bare socket client and the scripted server:
// replies reach the client cut where the relay cuts them, a passive reply the
// server sends in pieces is still rewritten so that the data go through the
// relay, every data byte arrives, and the faults happen where they are asked
// for. In port-range mode each of the relay's ports leads to the same port of
// the server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RawClient.h"
#include "tests/support/NetworkRelay.h"
#include "tests/support/ScriptedFtpServer.h"

using relay::NetworkRelay;
using relay::RelayConfig;
using relay::RelayCounts;
using relay::RelayFaults;
using relay::RelaySocket;
using scripted::DataSendPlan;
using scripted::PassiveData;
using scripted::ScriptedConnection;
using scripted::ScriptedFtpServer;
using Lines = std::vector<std::string>;

namespace {

constexpr int kWaitMs = 5000;

using NetworkRelayTest = SocketTest;

// Reads one reply line receive by receive.
std::vector<std::string> ReceivesOfOneLine(RawClient& client) {
    std::vector<std::string> receives;
    std::string line;
    while (line.find("\r\n") == std::string::npos && receives.size() < 100) {
        std::string piece = client.ReceiveOnce(kWaitMs);
        if (piece.empty()) break;
        receives.push_back(piece);
        line += piece;
    }
    return receives;
}

// Sends all of text, the send back-stop allowing.
bool SendAll(RelaySocket& socket, const std::string& text) {
    for (size_t sent = 0; sent < text.size();) {
        int count = socket.Send(text.data() + sent, static_cast<int>(text.size() - sent));
        if (count <= 0) return false;
        sent += static_cast<size_t>(count);
    }
    return true;
}

}  // namespace

TEST(RelayConfigTest, ReadsEverySettingAndRefusesUnknownOnes) {
    RelayConfig config;
    std::string error;
    ASSERT_TRUE(RelayConfig::Parse(" delay_ms=20, piece=7,piece_gap_ms=2,data_piece=1399,jitter_ms=5,"
                                   "data_gap_ms=1,rate=500000,seed=9,handshake=1",
                                   &config, &error))
        << error;
    EXPECT_EQ(config.delayMs, 20);
    EXPECT_EQ(config.replyPieceBytes, 7u);
    EXPECT_EQ(config.replyPieceGapMs, 2);
    EXPECT_EQ(config.dataPieceBytes, 1399u);
    EXPECT_EQ(config.jitterMs, 5);
    EXPECT_EQ(config.dataPieceGapMs, 1);
    EXPECT_EQ(config.bytesPerSecond, 500000u);
    EXPECT_EQ(config.seed, 9u);
    EXPECT_TRUE(config.tcpHandshake);
    EXPECT_EQ(config.ServerConnectDelayMs(), 60);

    RelayConfig again;
    ASSERT_TRUE(RelayConfig::Parse(config.Describe(), &again, &error)) << error;
    EXPECT_EQ(again.Describe(), config.Describe());

    for (const char* bad : {"delay=20", "delay_ms=-1", "delay_ms=20ms", "piece", "delay_ms=99999", "handshake=2"}) {
        RelayConfig untouched;
        EXPECT_FALSE(RelayConfig::Parse(bad, &untouched, &error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
        EXPECT_EQ(untouched.Describe(), RelayConfig().Describe()) << bad;
    }
}

TEST_F(NetworkRelayTest, DownloadComesWholeThroughTheRelayWithRepliesInPieces) {
    ScriptedFtpServer server;
    const std::string file = PatternBytes(300000);
    uint16_t serverDataPort = 0;
    server.OnConnection(0, [&](ScriptedConnection& c) {
        c.Reply("220 Relay test server ready.");
        std::shared_ptr<PassiveData> data = c.OpenPassive();
        serverDataPort = data->Port();
        c.ExpectLine("PASV");
        // Cut inside the words and inside the numbers: the relay must wait
        // for the whole line before it reads the port.
        std::string reply = data->PasvReply();
        c.SendChunks({reply.substr(0, 10), reply.substr(10, reply.size() - 16), reply.substr(reply.size() - 6)},
                     40);
        DataSendPlan plan;
        plan.bytes = file;
        data->StartSending(plan);
        c.ExpectLine("RETR f.bin");
        c.Reply("150 Opening data connection.");
        if (data->WaitDone()) c.Reply("226 Transfer complete.");
    });
    RelayConfig config;
    config.delayMs = 20;
    config.replyPieceBytes = 7;
    config.replyPieceGapMs = 30;
    config.dataPieceBytes = 1000;
    NetworkRelay relay(server.Port(), config);
    ASSERT_TRUE(relay.IsListening());

    RawClient control;
    ASSERT_TRUE(control.Connect(relay.Port()));
    const std::string expected = "220 Relay test server ready.\r\n";
    std::vector<std::string> receives = ReceivesOfOneLine(control);
    std::string greeting;
    for (const std::string& piece : receives) {
        greeting += piece;
        // A reader that falls behind may get two pieces at once, never half of one.
        EXPECT_TRUE(greeting.size() % 7 == 0 || greeting.size() == expected.size()) << greeting.size();
    }
    EXPECT_EQ(greeting, expected);
    EXPECT_GE(receives.size(), 2u);

    ASSERT_TRUE(control.SendText("PASV\r\n"));
    std::string pasv = control.ReceiveLine(kWaitMs);
    const std::string prefix = "227 Entering Passive Mode (127,0,0,1,";
    EXPECT_EQ(pasv.compare(0, prefix.size(), prefix), 0) << pasv;
    EXPECT_EQ(pasv.substr(pasv.size() - 4), ").\r\n");
    uint16_t announced = PortOfPasvReply(pasv);
    EXPECT_NE(announced, serverDataPort);
    RawClient data;
    ASSERT_TRUE(data.Connect(announced));
    ASSERT_TRUE(control.SendText("RETR f.bin\r\n"));
    RawClient::StreamEnd end;
    EXPECT_TRUE(data.ReceiveAll(kWaitMs, &end) == file);
    EXPECT_EQ(end, RawClient::StreamEnd::Closed);
    EXPECT_EQ(control.ReceiveLine(kWaitMs), "150 Opening data connection.\r\n");
    EXPECT_EQ(control.ReceiveLine(kWaitMs), "226 Transfer complete.\r\n");

    ASSERT_TRUE(server.WaitForScripts());
    EXPECT_EQ(server.Commands(0), (Lines{"PASV", "RETR f.bin"}));
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
    RelayCounts counts = relay.Counts();
    EXPECT_EQ(counts.dataToClient, file.size());
    EXPECT_EQ(counts.controlToServer, std::string("PASV\r\nRETR f.bin\r\n").size());
    EXPECT_EQ(counts.controlConnections, 1);
    EXPECT_EQ(counts.dataConnections, 1);
    EXPECT_EQ(counts.passiveRepliesRewritten, 1);
}

TEST_F(NetworkRelayTest, DataResetAfterSomeBytesReachesTheClientAsAReset) {
    ScriptedFtpServer server;
    const std::string file = PatternBytes(100000);
    server.OnConnection(0, [&file](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data = c.OpenPassive();
        c.Send(data->PasvReply());
        DataSendPlan plan;
        plan.bytes = file;
        data->StartSending(plan);
        data->WaitDone();
    });
    RelayConfig config;
    config.delayMs = 5;
    config.dataPieceBytes = 300;  // the reset falls inside the fourth piece
    NetworkRelay relay(server.Port(), config);
    RelayFaults faults;
    faults.resetDataAfterBytes = 1000;
    relay.SetFaults(faults);

    RawClient control;
    RawClient data;
    ASSERT_TRUE(control.Connect(relay.Port()));
    ASSERT_TRUE(data.Connect(PortOfPasvReply(control.ReceiveLine(kWaitMs))));
    RawClient::StreamEnd end;
    EXPECT_TRUE(data.ReceiveAll(kWaitMs, &end) == file.substr(0, 1000));
    EXPECT_EQ(end, RawClient::StreamEnd::Reset);
    ASSERT_TRUE(server.WaitForScripts());
    EXPECT_EQ(relay.Counts().dataToClient, 1000u);
    EXPECT_EQ(relay.Counts().dataResets, 1);
}

TEST_F(NetworkRelayTest, ControlConnectionClosesOnTheChosenCommandWhichNeverArrives) {
    ScriptedFtpServer server;
    bool serverSawTheClose = false;
    server.OnConnection(0, [&serverSawTheClose](ScriptedConnection& c) {
        c.Reply("220 ready");
        c.ExpectLine("NOOP");
        c.Reply("200 ok");
        serverSawTheClose = c.WaitForClientClose();
    });
    RelayConfig config;
    config.delayMs = 10;
    NetworkRelay relay(server.Port(), config);
    RelayFaults faults;
    faults.closeControlOnVerb = "retr";
    relay.SetFaults(faults);

    RawClient control;
    ASSERT_TRUE(control.Connect(relay.Port()));
    EXPECT_EQ(control.ReceiveLine(kWaitMs), "220 ready\r\n");
    ASSERT_TRUE(control.SendText("NOOP\r\n"));
    EXPECT_EQ(control.ReceiveLine(kWaitMs), "200 ok\r\n");
    ASSERT_TRUE(control.SendText("RETR x.bin\r\n"));
    RawClient::StreamEnd end;
    EXPECT_EQ(control.ReceiveAll(kWaitMs, &end), "");
    EXPECT_EQ(end, RawClient::StreamEnd::Closed);

    ASSERT_TRUE(server.WaitForScripts());
    EXPECT_TRUE(serverSawTheClose);
    EXPECT_EQ(server.Commands(0), Lines{"NOOP"});
    EXPECT_EQ(relay.Counts().controlCloses, 1);
}

// Port-range mode (what carries TLS): a port of the range leads to the same
// port of the server's address, for every connection made to it; replies
// are neither rewritten nor held back for a line end, since TLS records
// have none.
TEST_F(NetworkRelayTest, PortRangeLeadsEachPortToTheSamePortOfTheServerAndPassesRepliesAsTheyCome) {
    // Above the blocks the tests' fixture takes (27000-27991) and below
    // pure-ftpd's passive ports. The server's side reuses the address, so
    // the test can run again while its last connections linger.
    const uint16_t low = 27996;
    const uint16_t high = 27997;
    const uint32_t serverAddress = plat::inet_addr("127.0.0.3");
    RelaySocket serverControl = RelaySocket::Listen(serverAddress);
    RelaySocket serverData = RelaySocket::Listen(serverAddress, high, true);
    ASSERT_TRUE(serverControl.IsOpen() && serverData.IsOpen());
    relay::RelayRoute route;
    route.serverAddress = "127.0.0.3";
    route.passiveLow = low;
    route.passiveHigh = high;
    RelayConfig config;
    config.delayMs = 5;
    config.replyPieceBytes = 7;
    NetworkRelay relay(route, config);
    ASSERT_TRUE(relay.IsListening());
    relay.SetServerPort(serverControl.LocalPort());

    RawClient control;
    ASSERT_TRUE(control.Connect(relay.Port()));
    ASSERT_TRUE(serverControl.WaitReadable(kWaitMs));
    RelaySocket serverSide = serverControl.Accept();
    const std::string record = std::string("\x16\x03\x03\x00\x02", 5) + "ok";  // no line end
    ASSERT_TRUE(SendAll(serverSide, record));
    std::string received;
    for (int i = 0; i < 20 && received.size() < record.size(); ++i) {
        std::string piece = control.ReceiveOnce(kWaitMs);
        if (piece.empty()) break;
        received += piece;
    }
    EXPECT_EQ(received, record);
    const std::string reply = "227 Entering Passive Mode (127,0,0,1,109,61).\r\n";
    ASSERT_TRUE(SendAll(serverSide, reply));
    EXPECT_EQ(control.ReceiveLine(kWaitMs), reply);

    const std::string file = PatternBytes(200000);
    for (int connection = 0; connection < 2; ++connection) {
        RawClient data;
        ASSERT_TRUE(data.Connect(high));
        ASSERT_TRUE(serverData.WaitReadable(kWaitMs)) << "connection " << connection;
        RelaySocket serverDataSide = serverData.Accept();
        ASSERT_TRUE(SendAll(serverDataSide, file)) << "connection " << connection;
        serverDataSide.Close();
        RawClient::StreamEnd end;
        EXPECT_TRUE(data.ReceiveAll(kWaitMs, &end) == file) << "connection " << connection;
        EXPECT_EQ(end, RawClient::StreamEnd::Closed);
    }
    // Nothing listens on the server's side of the other port: refused there,
    // the client's connection is reset.
    RawClient refused;
    ASSERT_TRUE(refused.Connect(low));
    RawClient::StreamEnd end;
    EXPECT_EQ(refused.ReceiveAll(kWaitMs, &end), "");
    EXPECT_EQ(end, RawClient::StreamEnd::Reset);

    RelayCounts counts = relay.Counts();
    EXPECT_EQ(counts.dataConnections, 2);
    EXPECT_EQ(counts.dataToClient, 2 * file.size());
    EXPECT_EQ(counts.passiveRepliesRewritten, 0);
}
