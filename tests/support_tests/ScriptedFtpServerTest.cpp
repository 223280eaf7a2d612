// The scripted server driven by a bare socket client: what a script sends is
// what the client reads, byte for byte and cut where the script cuts it; what
// the client sends is recorded as command lines however its segments fall;
// data sides send, receive and break on cue; nothing outlives the server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RawClient.h"
#include "tests/support/LineSplitter.h"
#include "tests/support/ScriptedFtpServer.h"

using scripted::DataEnd;
using scripted::DataReceivePlan;
using scripted::DataSendPlan;
using scripted::PassiveData;
using scripted::ScriptedConnection;
using scripted::ScriptedFtpServer;
using Lines = std::vector<std::string>;

namespace {

constexpr int kWaitMs = 5000;

using ScriptedFtpServerTest = SocketTest;

TEST(LineSplitterTest, CutsLinesWhereverTheSegmentsFall) {
    scripted::LineSplitter splitter;
    EXPECT_EQ(splitter.Feed("USER a\r\nPASS b\r\nTY", 18), (Lines{"USER a", "PASS b"}));
    EXPECT_EQ(splitter.Unterminated(), "TY");
    EXPECT_EQ(splitter.Feed("PE I\r", 5), Lines{});
    EXPECT_EQ(splitter.Feed("\nNOOP\n\r\n", 8), (Lines{"TYPE I", "NOOP\n", ""}));
    EXPECT_EQ(splitter.Unterminated(), "");
}

TEST_F(ScriptedFtpServerTest, RepliesArriveCutAsScriptedAndCommandsAreRecordedAsSent) {
    ScriptedFtpServer server;
    Lines silenced;
    server.OnConnection(0, [&silenced](ScriptedConnection& c) {
        c.SendChunks({"22", "0 hi\r\n"}, 300);
        c.ExpectLine("USER a");
        c.ExpectLine("PASS b");
        c.ExpectLine("TYPE I");
        silenced = c.Silence(300);
        c.Send("200 one\r\n200 two\r\n");
    });
    RawClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    EXPECT_EQ(client.ReceiveOnce(kWaitMs), "22");
    EXPECT_EQ(client.ReceiveOnce(kWaitMs), "0 hi\r\n");
    client.SendText("USER a\r\nPASS b\r\nTY");
    client.SendText("PE I\r\n");
    client.SendText("NOOP\n");
    EXPECT_EQ(client.ReceiveLine(kWaitMs), "200 one\r\n");
    EXPECT_EQ(client.ReceiveLine(kWaitMs), "200 two\r\n");

    ASSERT_TRUE(server.WaitForScripts());
    EXPECT_EQ(silenced, Lines{"NOOP\n"});
    EXPECT_EQ(server.Commands(0), (Lines{"USER a", "PASS b", "TYPE I", "NOOP\n"}));
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST_F(ScriptedFtpServerTest, RecordsUnexpectedLinesAndTimeOutsAsFailures) {
    ScriptedFtpServer server;
    std::string got;
    server.OnConnection(0, [&got](ScriptedConnection& c) {
        got = c.ExpectLine("USER ftp");
        c.ExpectPrefix("PASS ", 100);
    });
    RawClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    client.SendText("USER bob\r\n");
    RawClient::StreamEnd end;
    client.ReceiveAll(kWaitMs, &end);
    EXPECT_EQ(end, RawClient::StreamEnd::Closed) << "the control connection closes when its script returns";

    ASSERT_TRUE(server.WaitForScripts());
    EXPECT_EQ(got, "USER bob");
    EXPECT_EQ(server.Failures(),
              (Lines{"connection 0: expected \"USER ftp\", got \"USER bob\"",
                     "connection 0: expected a line starting with \"PASS \", got nothing within 100 ms"}));
}

TEST_F(ScriptedFtpServerTest, LoginAnswersTypeAndAnyCwdAndLeavesTheNextCommandToTheScript) {
    ScriptedFtpServer server;
    Lines cwdPaths;
    server.OnConnection(0, [&cwdPaths](ScriptedConnection& c) {
        cwdPaths = c.Login();
        c.ExpectLine("SIZE f.bin");
        c.Reply("213 5");
    });
    RawClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    EXPECT_EQ(client.ReceiveLine(kWaitMs), "220 Scripted FTP server ready.\r\n");
    client.SendText("USER ftp\r\n");
    EXPECT_EQ(client.ReceiveLine(kWaitMs).substr(0, 4), "331 ");
    client.SendText("PASS secret\r\n");
    EXPECT_EQ(client.ReceiveLine(kWaitMs).substr(0, 4), "230 ");
    client.SendText("TYPE I\r\nCWD /a\r\n");
    EXPECT_EQ(client.ReceiveLine(kWaitMs).substr(0, 4), "200 ");
    EXPECT_EQ(client.ReceiveLine(kWaitMs).substr(0, 4), "250 ");
    client.SendText("CWD b c\r\nSIZE f.bin\r\n");
    EXPECT_EQ(client.ReceiveLine(kWaitMs).substr(0, 4), "250 ");
    EXPECT_EQ(client.ReceiveLine(kWaitMs), "213 5\r\n");

    ASSERT_TRUE(server.WaitForScripts());
    EXPECT_EQ(cwdPaths, (Lines{"/a", "b c"}));
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST_F(ScriptedFtpServerTest, PassiveDownloadInChunksThenCompletionReply) {
    ScriptedFtpServer server;
    const std::string file = PatternBytes(300000);
    server.OnConnection(0, [&file](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data = c.OpenPassive();
        c.ExpectLine("PASV");
        c.Send(data->PasvReply());
        DataSendPlan plan;
        plan.bytes = file;
        plan.chunkSize = 70000;
        plan.pauseMsBetweenChunks = 5;
        data->StartSending(plan);
        c.ExpectLine("RETR f.bin");
        c.Reply("150 Opening data connection.");
        if (data->WaitDone()) c.Reply("226 Transfer complete.");
    });
    RawClient control;
    RawClient data;
    ASSERT_TRUE(control.Connect(server.Port()));
    control.SendText("PASV\r\n");
    std::string pasv = control.ReceiveLine(kWaitMs);
    const std::string prefix = "227 Entering Passive Mode (127,0,0,1,";
    EXPECT_EQ(pasv.compare(0, prefix.size(), prefix), 0) << pasv;
    EXPECT_EQ(pasv.substr(pasv.size() - 4), ").\r\n");
    ASSERT_TRUE(data.Connect(PortOfPasvReply(pasv)));
    control.SendText("RETR f.bin\r\n");
    RawClient::StreamEnd end;
    EXPECT_EQ(data.ReceiveAll(kWaitMs, &end), file);
    EXPECT_EQ(end, RawClient::StreamEnd::Closed);
    EXPECT_EQ(control.ReceiveLine(kWaitMs), "150 Opening data connection.\r\n");
    EXPECT_EQ(control.ReceiveLine(kWaitMs), "226 Transfer complete.\r\n");

    ASSERT_TRUE(server.WaitForScripts());
    EXPECT_EQ(server.PassiveChannel(0, 0)->BytesSent(), file.size());
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST_F(ScriptedFtpServerTest, RateLimitedDataComesInManySmallPieces) {
    ScriptedFtpServer server;
    const std::string file = PatternBytes(2000);
    server.OnConnection(0, [&file](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data = c.OpenPassive();
        c.Send(data->PasvReply());
        DataSendPlan plan;
        plan.bytes = file;
        plan.bytesPerSecond = 10000;
        data->StartSending(plan);
        data->WaitDone();
    });
    RawClient control;
    RawClient data;
    ASSERT_TRUE(control.Connect(server.Port()));
    ASSERT_TRUE(data.Connect(PortOfPasvReply(control.ReceiveLine(kWaitMs))));
    std::string received;
    int pieces = 0;
    for (std::string piece; (piece = data.ReceiveOnce(kWaitMs)).size() > 0 && pieces < 100; ++pieces) {
        received += piece;
    }
    EXPECT_EQ(received, file);
    // Ten pieces 20 ms apart; only a badly stalled reader merges most of them.
    EXPECT_GE(pieces, 5);
    ASSERT_TRUE(server.WaitForScripts());
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST_F(ScriptedFtpServerTest, PassiveUploadIsReceivedUntilTheClientCloses) {
    ScriptedFtpServer server;
    server.OnConnection(0, [](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data = c.OpenPassive();
        c.Send(data->PasvReply());
        data->StartReceiving();
        if (data->WaitDone()) c.Reply("226 Transfer complete.");
    });
    const std::string file = PatternBytes(200000);
    RawClient control;
    RawClient data;
    ASSERT_TRUE(control.Connect(server.Port()));
    ASSERT_TRUE(data.Connect(PortOfPasvReply(control.ReceiveLine(kWaitMs))));
    ASSERT_TRUE(data.SendText(file));
    data.Close();
    EXPECT_EQ(control.ReceiveLine(kWaitMs), "226 Transfer complete.\r\n");

    ASSERT_TRUE(server.WaitForScripts());
    std::shared_ptr<PassiveData> channel = server.PassiveChannel(0, 0);
    EXPECT_EQ(channel->Received(), file);
    EXPECT_TRUE(channel->ClientClosed());
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST_F(ScriptedFtpServerTest, EarlyDataResetAndControlResetReachTheClient) {
    ScriptedFtpServer server;
    const std::string file = PatternBytes(100000);
    server.OnConnection(0, [&file](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data = c.OpenPassive();
        c.Send(data->PasvReply());
        DataSendPlan plan;
        plan.bytes = file;
        plan.endAfterBytes = 1000;
        plan.end = DataEnd::Reset;
        data->StartSending(plan);
        data->WaitDone();
        c.ExpectLine("QUIT");
        c.ResetClose();
    });
    RawClient control;
    RawClient data;
    ASSERT_TRUE(control.Connect(server.Port()));
    ASSERT_TRUE(data.Connect(PortOfPasvReply(control.ReceiveLine(kWaitMs))));
    RawClient::StreamEnd end;
    EXPECT_EQ(data.ReceiveAll(kWaitMs, &end), file.substr(0, 1000));
    EXPECT_EQ(end, RawClient::StreamEnd::Reset);
    control.SendText("QUIT\r\n");
    control.ReceiveAll(kWaitMs, &end);
    EXPECT_EQ(end, RawClient::StreamEnd::Reset);
    ASSERT_TRUE(server.WaitForScripts());
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST_F(ScriptedFtpServerTest, EachConnectionGetsItsOwnScriptAndStopListeningRefusesMore) {
    ScriptedFtpServer server;
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Reply("220 first");
        c.Close();
    });
    server.OnEveryConnection([](ScriptedConnection& c) {
        c.Reply("220 connection " + std::to_string(c.Index()));
        c.ExpectLine("QUIT");
        c.Reply("221 Goodbye.");
    });
    RawClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    RawClient::StreamEnd end;
    EXPECT_EQ(client.ReceiveAll(kWaitMs, &end), "220 first\r\n");
    EXPECT_EQ(end, RawClient::StreamEnd::Closed);
    for (int index = 1; index <= 2; ++index) {
        ASSERT_TRUE(client.Connect(server.Port()));
        EXPECT_EQ(client.ReceiveLine(kWaitMs), "220 connection " + std::to_string(index) + "\r\n");
        client.SendText("QUIT\r\n");
        EXPECT_EQ(client.ReceiveLine(kWaitMs), "221 Goodbye.\r\n");
    }
    server.StopListening();
    EXPECT_FALSE(client.Connect(server.Port()));
    EXPECT_EQ(server.AcceptedCount(), 3);
    ASSERT_TRUE(server.WaitForScripts());
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST_F(ScriptedFtpServerTest, DestructionEndsWaitingScriptsAndHeldDataConnections) {
    RawClient control;
    RawClient data;
    {
        ScriptedFtpServer server(60000);
        server.OnConnection(0, [](ScriptedConnection& c) {
            std::shared_ptr<PassiveData> data = c.OpenPassive();
            c.Send(data->PasvReply());
            data->StartHolding();
            c.ReadLine();
        });
        ASSERT_TRUE(control.Connect(server.Port()));
        ASSERT_TRUE(data.Connect(PortOfPasvReply(control.ReceiveLine(kWaitMs))));
        ASSERT_TRUE(server.PassiveChannel(0, 0)->WaitAccepted(kWaitMs));
    }
    RawClient::StreamEnd end;
    control.ReceiveAll(kWaitMs, &end);
    EXPECT_EQ(end, RawClient::StreamEnd::Closed);
    data.ReceiveAll(kWaitMs, &end);
    EXPECT_EQ(end, RawClient::StreamEnd::Closed);
}

}  // namespace
