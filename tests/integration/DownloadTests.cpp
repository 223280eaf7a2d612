// The file download against the scripted server, through the client's
// ReceiveFile: the command order, the local file emptied before the server
// is asked, refused sizes, a final reply before the last block, byte counts
// other than the announced size, local file errors, cancel and the
// inactivity limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ScriptedFtpServer.h"
#include "tests/integration/TestHost.h"
#include "tests/integration/TransferTestSupport.h"
#include "workers/CReceThread.h"

using scripted::DataSendPlan;
using scripted::PassiveData;
using scripted::ScriptedConnection;
using scripted::ScriptedFtpServer;
using testhost::Client;
using testhost::MessageWindow;
using testhost::WaitUntil;
using transfertest::NonRepeatingBytes;
using transfertest::ReadWholeFile;
using transfertest::TempFolder;
using transfertest::WaitForOutcome;
using transfertest::WriteWholeFile;
using Lines = std::vector<std::string>;
using Values = std::vector<intptr_t>;

namespace {

const int kOutcomeWaitMs = 20000;
const char kRemotePath[] = "/f.bin";

// Everything up to the preliminary reply to RETR; the data side then sends
// as plan says.
std::shared_ptr<PassiveData> ServeUntilRetr(ScriptedConnection& c, const std::string& sizeReply,
                                            const DataSendPlan& plan,
                                            const std::string& restReply = "350 Restarting at 0.") {
    c.Login();
    c.ExpectLine("SIZE f.bin");
    c.Reply(sizeReply);
    c.ExpectLine("PASV");
    std::shared_ptr<PassiveData> data = c.OpenPassive();
    c.Send(data->PasvReply());
    c.ExpectLine("REST 0");
    c.Reply(restReply);
    c.ExpectLine("RETR f.bin");
    c.Reply("150 Opening BINARY mode data connection.");
    data->StartSending(plan);
    return data;
}

DataSendPlan SendAll(const std::string& bytes) {
    DataSendPlan plan;
    plan.bytes = bytes;
    return plan;
}

// Holds a script before the greeting until the test opens the gate, so the
// test can act between the request and the worker's start.
class Gate {
public:
    void Open() { m_bOpen = true; }
    bool WaitOpen() const {
        return WaitUntil([this] { return m_bOpen.load(); }, kOutcomeWaitMs);
    }

private:
    std::atomic<bool> m_bOpen{false};
};

class Download : public ::testing::Test {
protected:
    void TearDown() override { plat::SetClockOffsetForTesting(0); }

    void Connect(double rate = 100.0) {
        m_Client->SetConnectParameter("127.0.0.1", "tester", "secret", m_Server.Port(), 0, 0, "", 0);
        m_Client->SetMessageWindow(m_Window.Handle());
        m_Client->SetTransferRate(rate);
    }
    void StartDownload() {
        ASSERT_EQ(1, m_Client->ReceiveFile(kRemotePath, m_LocalPath.c_str()));
    }

    bool WaitForEnd() { return WaitForOutcome(m_Window, m_Client, kOutcomeWaitMs); }
    Values Progress() const { return m_Window.ParametersOf(WM_FTP_PROGRESS); }
    Values Errors() const { return m_Window.ParametersOf(WM_FTP_ERROR); }
    size_t Completions() const { return m_Window.ParametersOf(WM_FTP_COMPLETE).size(); }
    Lines CommandsFromSize() const {
        Lines all = m_Server.Commands(0);
        return Lines(std::find(all.begin(), all.end(), "SIZE f.bin"), all.end());
    }

    void ExpectFailedWith(int errorCode) {
        EXPECT_EQ(Values({errorCode}), Errors());
        EXPECT_EQ(0u, Completions());
    }
    void ExpectProgressWithin100() {
        Values progress = Progress();
        EXPECT_TRUE(transfertest::IsStrictlyIncreasing(progress));
        EXPECT_TRUE(std::all_of(progress.begin(), progress.end(), [](intptr_t p) { return p <= 100; }));
    }
    void ExpectScriptsClean() {
        m_Client.Release();
        EXPECT_TRUE(m_Server.WaitForScripts());
        EXPECT_TRUE(m_Server.Failures().empty()) << m_Server.Describe();
    }

    TempFolder m_Folder;
    std::string m_LocalPath = m_Folder.File("local.bin");
    ScriptedFtpServer m_Server;
    MessageWindow m_Window;
    Client m_Client;
};

}  // namespace

TEST_F(Download, CommandsInOrderAndTheWholeFileWritten) {
    const std::string content = NonRepeatingBytes(100000);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data = ServeUntilRetr(c, "213 100000", SendAll(content));
        if (data->WaitDone()) c.Reply("226 Transfer complete.");
        c.WaitForClientClose();
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitForEnd());

    EXPECT_EQ(1u, Completions());
    EXPECT_EQ(Values(), Errors());
    ExpectProgressWithin100();
    ASSERT_FALSE(Progress().empty());
    EXPECT_EQ(100, Progress().back());
    EXPECT_TRUE(ReadWholeFile(m_LocalPath) == content);
    EXPECT_EQ(Lines({"SIZE f.bin", "PASV", "REST 0", "RETR f.bin"}), CommandsFromSize());
    ExpectScriptsClean();
}

// ReceiveFile empties the file too; what is written after it returns shows
// that the worker empties it again before it sends anything.
TEST_F(Download, ExistingLocalFileIsEmptiedBeforeTheServerIsAskedEvenWhenTheDownloadFails) {
    Gate gate;
    std::atomic<long long> sizeWhenAsked(-1);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        if (!gate.WaitOpen()) return;
        c.Login();
        c.ExpectLine("SIZE f.bin");
        sizeWhenAsked = (long long)std::filesystem::file_size(m_LocalPath);
        c.Reply("550 /f.bin: No such file or directory.");
        c.WaitForClientClose();
    });
    WriteWholeFile(m_LocalPath, "old content");
    Connect();
    StartDownload();
    WriteWholeFile(m_LocalPath, "old content");
    gate.Open();
    ASSERT_TRUE(WaitForEnd());

    ExpectFailedWith(FTPE_BADREPLY);
    EXPECT_EQ(0, sizeWhenAsked.load());
    EXPECT_EQ("", ReadWholeFile(m_LocalPath));
    ExpectScriptsClean();
}

// A transfer starts at 0 anyway: a server that refuses "REST 0" (or has
// no REST) is asked for the file all the same, at once.
class DownloadRefusedRestart : public Download, public ::testing::WithParamInterface<const char*> {};

TEST_P(DownloadRefusedRestart, GoesOnWithRetrAndCompletes) {
    const std::string content = NonRepeatingBytes(100000);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data = ServeUntilRetr(c, "213 100000", SendAll(content), GetParam());
        if (data->WaitDone()) c.Reply("226 Transfer complete.");
        c.WaitForClientClose();
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitForEnd());

    EXPECT_EQ(1u, Completions());
    EXPECT_EQ(Values(), Errors());
    EXPECT_TRUE(ReadWholeFile(m_LocalPath) == content);
    ExpectScriptsClean();
}

INSTANTIATE_TEST_SUITE_P(Download, DownloadRefusedRestart,
                         ::testing::Values("502 Command not implemented.", "451 Restart not possible now."));

class DownloadRefusedSize : public Download, public ::testing::WithParamInterface<const char*> {};

TEST_P(DownloadRefusedSize, IsABadReplyAndAsksNothingMore) {
    m_Server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("SIZE f.bin");
        c.Reply(GetParam());
        c.WaitForClientClose();
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitForEnd());

    ExpectFailedWith(FTPE_BADREPLY);
    EXPECT_TRUE(std::filesystem::exists(m_LocalPath));
    EXPECT_EQ(0u, std::filesystem::file_size(m_LocalPath));
    ExpectScriptsClean();
    EXPECT_EQ(Lines({"SIZE f.bin"}), CommandsFromSize());
}

// A size of 0, an absent file, and a size that is no size.
INSTANTIATE_TEST_SUITE_P(Download, DownloadRefusedSize,
                         ::testing::Values("213 0", "550 /f.bin: No such file or directory.",
                                           "213 -5"));

// Completion comes from the byte count: a "226 " read before the last
// block ends nothing.
TEST_F(Download, FinalReplyBeforeTheLastBlockWaitsForIt) {
    const std::string content = NonRepeatingBytes(60000);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        DataSendPlan plan = SendAll(content);
        plan.chunkSize = 30000;
        plan.pauseMsBetweenChunks = 600;
        std::shared_ptr<PassiveData> data = ServeUntilRetr(c, "213 60000", plan);
        if (WaitUntil([&] { return data->BytesSent() >= 30000; }, kOutcomeWaitMs)) {
            c.Reply("226 Transfer complete.");
        }
        c.WaitForClientClose();
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitForEnd());

    EXPECT_EQ(1u, Completions());
    EXPECT_EQ(Values(), Errors());
    EXPECT_EQ(100, Progress().back());
    EXPECT_TRUE(ReadWholeFile(m_LocalPath) == content);
    ExpectScriptsClean();
}

// All bytes are in before the server's "226 ": the download waits for it,
// so a host that asks its next question at once gets that question's answer.
TEST_F(Download, FinalReplyIsReadBeforeTheHostsNextRequest) {
    const std::string content = NonRepeatingBytes(5000);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        DataSendPlan plan = SendAll(content);
        plan.end = scripted::DataEnd::KeepOpen;
        std::shared_ptr<PassiveData> data = ServeUntilRetr(c, "213 5000", plan);
        if (data->WaitDone()) {
            c.Pause(300);
            data->Close();
            c.Reply("226 Transfer complete.");
        }
        c.Pause(100);  // keeps the two replies in separate pieces
        c.ExpectLine("SIZE f.bin");
        c.Reply("213 77");
        c.WaitForClientClose();
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(1u, Completions());
    EXPECT_EQ(77, m_Client->GetRemoteFileSize(kRemotePath));
    EXPECT_TRUE(ReadWholeFile(m_LocalPath) == content);
    ExpectScriptsClean();
}

TEST_F(Download, FewerBytesThanAnnouncedFailTheTransfer) {
    const std::string content = NonRepeatingBytes(100000);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data =
            ServeUntilRetr(c, "213 100000", SendAll(content.substr(0, 60000)));
        if (data->WaitDone()) c.Reply("226 Transfer complete.");
        c.WaitForClientClose();
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitForEnd());

    ExpectFailedWith(FTPE_TRANSFERFAIL);
    ExpectProgressWithin100();
    EXPECT_EQ(60, Progress().back());
    EXPECT_TRUE(ReadWholeFile(m_LocalPath) == content.substr(0, 60000));
    ExpectScriptsClean();
}

// Without a final reply the end of data still ends the download, after a
// bounded wait for the reply.
TEST_F(Download, FewerBytesAndNoFinalReplyFailAfterTheBoundedWait) {
    const std::string content = NonRepeatingBytes(100000);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        ServeUntilRetr(c, "213 100000", SendAll(content.substr(0, 1000)));
        c.WaitForClientClose(kOutcomeWaitMs);
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitForEnd());

    ExpectFailedWith(FTPE_TRANSFERFAIL);
    EXPECT_EQ(Values({1}), Progress());
    ExpectScriptsClean();
}

// Nothing beyond the announced size is written, and no percentage passes 100.
TEST_F(Download, MoreBytesThanAnnouncedFailWithTheFileCutAtTheSize) {
    const std::string content = NonRepeatingBytes(5000);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data = ServeUntilRetr(c, "213 1000", SendAll(content));
        if (data->WaitDone()) c.Reply("226 Transfer complete.");
        c.WaitForClientClose();
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitForEnd());

    ExpectFailedWith(FTPE_TRANSFERFAIL);
    ExpectProgressWithin100();
    EXPECT_TRUE(ReadWholeFile(m_LocalPath) == content.substr(0, 1000));
    ExpectScriptsClean();
}

TEST_F(Download, ReceiveFileRefusesALocalPathItCannotCreate) {
    Connect();
    std::string unreachable = m_Folder.File("no-such-folder/local.bin");
    EXPECT_EQ(0, m_Client->ReceiveFile(kRemotePath, unreachable.c_str()));
    EXPECT_FALSE(m_Client.HasSession());
    EXPECT_EQ(0, m_Server.AcceptedCount());
}

// The path stops being a writable file between the request and the worker:
// the worker itself reports it, before it asks the server anything.
TEST_F(Download, LocalFileThatCannotBeOpenedIsAFileErrorBeforeAnyCommand) {
    Gate gate;
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        if (!gate.WaitOpen()) return;
        c.PlayLogin();
        c.AnswerTypeAndCwd(1500);
        c.WaitForClientClose();
    });
    Connect();
    StartDownload();
    std::filesystem::remove(m_LocalPath);
    std::filesystem::create_directory(m_LocalPath);
    gate.Open();
    ASSERT_TRUE(WaitForEnd());

    ExpectFailedWith(FTPE_FILEERROR);
    ExpectScriptsClean();
    EXPECT_EQ(Lines(), CommandsFromSize());
}

TEST_F(Download, CancelEndsQuietlyAndKeepsThePartialFile) {
    const std::string content = NonRepeatingBytes(200000);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        DataSendPlan plan = SendAll(content);
        plan.chunkSize = 10000;
        plan.pauseMsBetweenChunks = 200;
        ServeUntilRetr(c, "213 200000", plan);
        c.WaitForClientClose(kOutcomeWaitMs);
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(m_Window.WaitFor(WM_FTP_PROGRESS, kOutcomeWaitMs));
    m_Client->StopSession();
    m_Window.Drain();

    EXPECT_EQ(Values(), Errors());
    EXPECT_EQ(0u, Completions());
    std::string partial = ReadWholeFile(m_LocalPath);
    EXPECT_LT(partial.size(), content.size());
    EXPECT_TRUE(partial == content.substr(0, partial.size()));
    ExpectScriptsClean();
}

TEST_F(Download, NoActivityWithinTheLimitTimesOut) {
    std::atomic<bool> sizeSeen(false);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("SIZE f.bin");
        sizeSeen = true;
        c.WaitForClientClose(kOutcomeWaitMs);
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitUntil([&] { return sizeSeen.load(); }, kOutcomeWaitMs));
    m_Window.Drain();
    EXPECT_EQ(Values(), Errors());
    plat::SetClockOffsetForTesting(kWorkerInactivityLimitMs + 1000);
    ASSERT_TRUE(WaitForEnd());

    ExpectFailedWith(FTPE_TIMEOUT);
    EXPECT_EQ(FTPE_TIMEOUT, m_Client->m_Operation.m_nErrorCode.load());
    ExpectScriptsClean();
}

// The server stays silent on RETR until the download has timed out, and
// answers only when the next request's command arrives: its late "226 "
// comes first. It belongs to the download, never to the size request,
// which gets its own answer (here on a new connection: the timed-out
// download gave up the old one, whose state was unknown).
TEST_F(Download, LateFinalReplyAfterATimeOutIsNotTheNextRequestsAnswer) {
    std::atomic<bool> retrSeen(false);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("SIZE f.bin");
        c.Reply("213 100000");
        c.ExpectLine("PASV");
        std::shared_ptr<PassiveData> data = c.OpenPassive();
        c.Send(data->PasvReply());
        c.ExpectLine("REST 0");
        c.Reply("350 Restarting at 0.");
        c.ExpectLine("RETR f.bin");
        retrSeen = true;
        std::optional<std::string> next = c.ReadLine(kOutcomeWaitMs);
        if (!next) return;  // the client gave the connection up
        c.Send("226 Transfer complete.\r\n");
        c.Pause(200);
        if (*next == "SIZE f.bin") c.Reply("213 77");
        c.WaitForClientClose(kOutcomeWaitMs);
    });
    m_Server.OnConnection(1, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("SIZE f.bin");
        c.Reply("213 77");
        c.WaitForClientClose(kOutcomeWaitMs);
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitUntil([&] { return retrSeen.load(); }, kOutcomeWaitMs));
    plat::SetClockOffsetForTesting(kWorkerInactivityLimitMs + 1000);
    ASSERT_TRUE(WaitForEnd());
    ExpectFailedWith(FTPE_TIMEOUT);
    // Asked at once: the session that gave its connection up may still be
    // leaving, and the request must go to a new one all the same.
    EXPECT_EQ(77, m_Client->GetRemoteFileSize(kRemotePath)) << m_Server.Describe();
    ExpectScriptsClean();
}

// A control connection lost before the data has ended leaves nothing that
// could finish the download: the host is told instead of waiting for ever.
TEST_F(Download, ControlConnectionLostMidTransferIsATransferFailure) {
    const std::string content = NonRepeatingBytes(400000);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        DataSendPlan plan = SendAll(content);
        plan.chunkSize = 10000;
        plan.pauseMsBetweenChunks = 20;
        ServeUntilRetr(c, "213 400000", plan);
        c.Pause(100);
        c.Close();
    });
    Connect();
    StartDownload();
    ASSERT_TRUE(WaitForEnd());
    ExpectFailedWith(FTPE_TRANSFERFAIL);
}
