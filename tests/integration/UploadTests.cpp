// The upload against the scripted server, through the client's SendFile:
// STOR or APPE by the remote size and the options, the data that reaches the
// server, progress and completion, a data connection the server ends, a
// cancel that removes the partial file, and the inactivity limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ScriptedFtpServer.h"
#include "tests/integration/TestHost.h"
#include "tests/integration/TransferTestSupport.h"
#include "workers/CStorThread.h"

using scripted::DataEnd;
using scripted::DataReceivePlan;
using scripted::PassiveData;
using scripted::ScriptedConnection;
using scripted::ScriptedFtpServer;
using testhost::Client;
using testhost::MessageWindow;
using testhost::WaitUntil;
using transfertest::NonRepeatingBytes;
using transfertest::TempFolder;
using transfertest::WaitForOutcome;
using Lines = std::vector<std::string>;
using Values = std::vector<intptr_t>;

namespace {

const int kOutcomeWaitMs = 20000;
const char kRemotePath[] = "/up.bin";

// Answers SIZE (with the reply cut into the pieces given) and PASV, and
// expects transferLine with a data side that receives until the client
// closes it (or as plan says).
std::shared_ptr<PassiveData> ServeUntilTransfer(ScriptedConnection& c, const Lines& sizeReply,
                                                const std::string& transferLine,
                                                DataReceivePlan plan = DataReceivePlan(),
                                                const std::string& preliminary = "150 Ok to send data.") {
    c.Login();
    c.ExpectLine("SIZE up.bin");
    c.SendChunks(sizeReply, 200);
    c.ExpectLine("PASV");
    std::shared_ptr<PassiveData> data = c.OpenPassive();
    c.Send(data->PasvReply());
    data->StartReceiving(plan);
    c.ExpectLine(transferLine);
    if (!preliminary.empty()) c.Reply(preliminary);
    return data;
}

// The whole exchange of an upload that completes.
void ServeCompleteUpload(ScriptedConnection& c, const Lines& sizeReply,
                         const std::string& transferLine) {
    std::shared_ptr<PassiveData> data = ServeUntilTransfer(c, sizeReply, transferLine);
    if (data->WaitDone()) c.Reply("226 Transfer complete.");
    c.WaitForClientClose();
}

class Upload : public ::testing::Test {
protected:
    void TearDown() override { plat::SetClockOffsetForTesting(0); }

    void Connect(bool overwrite, bool append, double rate = 100.0) {
        m_Client->SetConnectParameter("127.0.0.1", "tester", "secret", m_Server.Port(), overwrite,
                                      append, "", 0);
        m_Client->SetMessageWindow(m_Window.Handle());
        m_Client->SetTransferRate(rate);
    }

    // Writes content as the local file and asks for its upload.
    void StartUpload(const std::string& content) {
        transfertest::WriteWholeFile(m_LocalPath, content);
        ASSERT_EQ(1, m_Client->SendFile(m_LocalPath.c_str(), kRemotePath));
    }

    bool WaitForEnd() { return WaitForOutcome(m_Window, m_Client, kOutcomeWaitMs); }
    Values Progress() const { return m_Window.ParametersOf(WM_FTP_PROGRESS); }
    Values Errors() const { return m_Window.ParametersOf(WM_FTP_ERROR); }
    size_t Completions() const { return m_Window.ParametersOf(WM_FTP_COMPLETE).size(); }
    std::string ReceivedByServer() const { return m_Server.PassiveChannel(0, 0)->Received(); }
    // The commands from the size query on; the login's are the session's.
    Lines CommandsFromSize() const {
        Lines all = m_Server.Commands(0);
        return Lines(std::find(all.begin(), all.end(), "SIZE up.bin"), all.end());
    }

    void ExpectCompleted() {
        EXPECT_EQ(1u, Completions());
        EXPECT_EQ(Values(), Errors());
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

// Neither the end of the data nor a "226 " inside the preliminary reply's
// text completes the upload: only the server's final reply does.
TEST_F(Upload, AbsentRemoteFileIsStoredWholeAndCompletesOnlyAfter226) {
    const std::string content = NonRepeatingBytes(300000);
    std::atomic<bool> finalReplySent(false);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data =
            ServeUntilTransfer(c, {"550 /up.bin: No such file.\r\n"}, "STOR up.bin", DataReceivePlan(),
                               "150 Opening BINARY connection for report 226 final.bin");
        if (data->WaitDone()) {
            c.Pause(300);  // a client that completed on its own end of data shows now
            finalReplySent = true;
            c.Reply("226 Transfer complete.");
        }
        c.WaitForClientClose();
    });
    Connect(false, false);
    StartUpload(content);
    ASSERT_TRUE(WaitForEnd());

    EXPECT_TRUE(finalReplySent.load());
    ExpectCompleted();
    // 131072 of 300000 bytes, then 262144, then all.
    EXPECT_EQ(Values({43, 87, 100}), Progress());
    for (const testhost::Notice& notice : m_Window.Collected()) {
        EXPECT_EQ((uintptr_t)m_Client->HostObject(), notice.wParam);
    }
    EXPECT_TRUE(ReceivedByServer() == content);
    EXPECT_EQ(Lines({"SIZE up.bin", "PASV", "STOR up.bin"}), CommandsFromSize());
    ExpectScriptsClean();
}

TEST_F(Upload, PresentRemoteFileWithoutOverwriteIsABadReplyWithoutDataConnection) {
    Lines afterSize;
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("SIZE up.bin");
        c.Reply("213 100");
        afterSize = c.Silence(300);
        c.WaitForClientClose();
    });
    Connect(false, true);
    StartUpload(NonRepeatingBytes(500));
    ASSERT_TRUE(WaitForEnd());

    EXPECT_EQ(Values({FTPE_BADREPLY}), Errors());
    EXPECT_EQ(0u, Completions());
    EXPECT_EQ(Values(), Progress());
    ExpectScriptsClean();
    EXPECT_EQ(Lines(), afterSize);
    EXPECT_EQ(nullptr, m_Server.PassiveChannel(0, 0));
}

// What the size reply and the options choose, and from where the file goes.
struct TransferChoice {
    const char* name;
    Lines sizeReply;  // the pieces the server sends
    bool overwrite;
    bool append;
    size_t localSize;
    const char* transferLine;
    size_t sentFrom;
    Values progress;
};

class UploadChoice : public Upload, public ::testing::WithParamInterface<TransferChoice> {};

TEST_P(UploadChoice, SizeReplyAndOptionsChooseTheCommandAndTheOffset) {
    const TransferChoice& choice = GetParam();
    const std::string content = NonRepeatingBytes(choice.localSize);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        ServeCompleteUpload(c, choice.sizeReply, choice.transferLine);
    });
    Connect(choice.overwrite, choice.append);
    StartUpload(content);
    ASSERT_TRUE(WaitForEnd());

    ExpectCompleted();
    EXPECT_EQ(choice.progress, Progress());
    EXPECT_TRUE(ReceivedByServer() == content.substr(choice.sentFrom));
    EXPECT_TRUE(m_Server.PassiveChannel(0, 0)->ClientClosed());
    ExpectScriptsClean();
}

// Progress is the position reached: 100 + 400 of 500 bytes is 100 at once.
// A remote copy longer than the local file is replaced, whatever its size. An
// empty or equally long file sends nothing and posts no progress. A size
// reply cut before its line feed is read whole: 987, not 9.
INSTANTIATE_TEST_SUITE_P(
    Upload, UploadChoice,
    ::testing::Values(
        TransferChoice{"OverwriteWithoutAppendReplaces", {"213 100\r\n"}, true, false, 500, "STOR up.bin", 0, {100}},
        TransferChoice{"ShorterRemoteIsContinued", {"213 100\r\n"}, true, true, 500, "APPE up.bin", 100, {100}},
        TransferChoice{"LongerRemoteIsReplaced", {"213 900\r\n"}, true, true, 500, "STOR up.bin", 0, {100}},
        TransferChoice{"SizeBeyond32BitsIsReplaced", {"213 4294967396\r\n"}, true, true, 500, "STOR up.bin", 0, {100}},
        TransferChoice{"EqualSizesAppendNothing", {"213 500\r\n"}, true, true, 500, "APPE up.bin", 500, {}},
        TransferChoice{"EmptyLocalFileIsStoredEmpty", {"550 No such file.\r\n"}, false, false, 0, "STOR up.bin", 0, {}},
        TransferChoice{"SizeReplySplitBeforeItsLineFeed", {"213 9", "87\r\n"}, true, true, 2000, "APPE up.bin", 987, {100}}),
    [](const ::testing::TestParamInfo<TransferChoice>& info) { return std::string(info.param.name); });

// "150 " and "226 " read in one piece, whole or with the final reply's
// first bytes only and the rest later (a server that sends 150 late, a
// segment boundary): the final reply is not lost behind the preliminary
// one. The clock stays, so an upload that waited for its limit instead
// would not end.
struct FinalReplyPieces {
    const char* name;
    Lines pieces;
};

class PreliminaryAndFinalReply : public Upload, public ::testing::WithParamInterface<FinalReplyPieces> {};

TEST_P(PreliminaryAndFinalReply, UploadCompletes) {
    const std::string content = NonRepeatingBytes(1000);
    m_Server.OnConnection(0, [](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data = ServeUntilTransfer(
            c, {"550 No such file.\r\n"}, "STOR up.bin", DataReceivePlan(), "");
        if (data->WaitDone()) c.SendChunks(GetParam().pieces, 200);
        c.WaitForClientClose();
    });
    Connect(false, false);
    StartUpload(content);
    ASSERT_TRUE(WaitForEnd());

    ExpectCompleted();
    EXPECT_TRUE(ReceivedByServer() == content);
    ExpectScriptsClean();
}

INSTANTIATE_TEST_SUITE_P(
    Upload, PreliminaryAndFinalReply,
    ::testing::Values(
        FinalReplyPieces{"InOnePiece", {"150 Opening BINARY connection.\r\n226 Done.\r\n"}},
        FinalReplyPieces{"FinalReplyCutAfterItsFirstBytes",
                         {"150 Opening BINARY connection.\r\n226 Tra", "nsfer complete.\r\n"}}),
    [](const ::testing::TestParamInfo<FinalReplyPieces>& info) { return std::string(info.param.name); });

// Some servers (pyftpdlib) drop a data connection on which bytes or an end
// arrive before they have taken the transfer command, and then wait for
// another: nothing may go before the preliminary reply. This server takes
// its time over "STOR" and watches the data connection meanwhile; it
// answers once that time is over.
TEST_F(Upload, NothingIsSentBeforeTheServerAcceptsTheTransfer) {
    const int kQuietMs = 400;  // from the data connection's acceptance
    for (const std::string& content : {std::string(), NonRepeatingBytes(1000)}) {
        SCOPED_TRACE(content.size());
        ScriptedFtpServer server;
        std::atomic<bool> early(true);
        server.OnConnection(0, [&](ScriptedConnection& c) {
            DataReceivePlan slow;
            slow.quietFirstMs = kQuietMs;
            std::shared_ptr<PassiveData> data =
                ServeUntilTransfer(c, {"550 No such file.\r\n"}, "STOR up.bin", slow, "");
            if (data->WaitQuietTimeOver()) c.Reply("150 Ok to send data.");
            if (data->WaitDone()) c.Reply("226 Transfer complete.");
            early = data->InputCameEarly();
            c.WaitForClientClose();
        });
        MessageWindow window;
        Client client;
        client->SetConnectParameter("127.0.0.1", "tester", "secret", server.Port(), false, false, "", 0);
        client->SetMessageWindow(window.Handle());
        transfertest::WriteWholeFile(m_LocalPath, content);
        ASSERT_EQ(1, client->SendFile(m_LocalPath.c_str(), kRemotePath));
        ASSERT_TRUE(WaitForOutcome(window, client, kOutcomeWaitMs));
        EXPECT_EQ(1u, window.ParametersOf(WM_FTP_COMPLETE).size());
        client.Release();
        EXPECT_TRUE(server.WaitForScripts());
        EXPECT_FALSE(early.load());
        EXPECT_TRUE(server.PassiveChannel(0, 0)->Received() == content);
    }
}

TEST_F(Upload, TransferEndedByAnotherReplyIsABadReply) {
    m_Server.OnConnection(0, [](ScriptedConnection& c) {
        ServeUntilTransfer(c, {"550 No such file.\r\n"}, "STOR up.bin");
        c.Reply("451 Local error in processing.");
        c.WaitForClientClose();
    });
    Connect(false, false);
    StartUpload(NonRepeatingBytes(1000));
    ASSERT_TRUE(WaitForEnd());

    EXPECT_EQ(Values({FTPE_BADREPLY}), Errors());
    EXPECT_EQ(0u, Completions());
    ExpectScriptsClean();
}

TEST_F(Upload, DataConnectionEndedByTheServerFailsAndGivesUpTheControlConnection) {
    std::atomic<bool> controlClosedByClient(false);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        DataReceivePlan plan;
        plan.endAfterBytes = 200000;
        plan.end = DataEnd::Close;
        ServeUntilTransfer(c, {"550 No such file.\r\n"}, "STOR up.bin", plan);
        controlClosedByClient = c.WaitForClientClose(10000);
    });
    Connect(false, false);
    const std::string content = NonRepeatingBytes(40 * CStorThread::kBlockSize);
    StartUpload(content);
    ASSERT_TRUE(WaitForEnd());

    EXPECT_EQ(Values({FTPE_TRANSFERFAIL}), Errors());
    EXPECT_EQ(0u, Completions());
    EXPECT_TRUE(m_Server.WaitForScripts());
    EXPECT_TRUE(controlClosedByClient.load());
    EXPECT_TRUE(WaitUntil([&] { return !m_Client.HasSession(); }, kOutcomeWaitMs));
    ExpectScriptsClean();
}

// The cancel closes the data connection; the server confirms what it got,
// and only then is the partial file deleted.
// The stop does not wait for the server: sending ends at once, and the
// partial file is asked to go before the control connection closes.
TEST_F(Upload, CancelStopsSendingAtOnceAndAsksToDeleteThePartialFile) {
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        std::shared_ptr<PassiveData> data =
            ServeUntilTransfer(c, {"550 No such file.\r\n"}, "STOR up.bin");
        data->WaitDone(10000);
        c.ExpectLine("DELE up.bin");
        c.WaitForClientClose();
    });
    // 2 Mbit/s: a full block every 500 ms, so the upload is still running.
    Connect(false, false, 2.0);
    const std::string content = NonRepeatingBytes(16 * CStorThread::kBlockSize);
    StartUpload(content);
    ASSERT_TRUE(m_Window.WaitFor(WM_FTP_PROGRESS, kOutcomeWaitMs));
    m_Client->StopSession();
    m_Window.Drain();

    EXPECT_EQ(Values(), Errors());
    EXPECT_EQ(0u, Completions());
    ExpectScriptsClean();
    EXPECT_LT(ReceivedByServer().size(), content.size());
    Lines commands = m_Server.Commands(0);
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(Lines({"STOR up.bin", "DELE up.bin"}), Lines(commands.end() - 2, commands.end()));
}

TEST_F(Upload, NoProgressWithinTheLimitTimesOutAndGivesUpTheControlConnection) {
    std::atomic<bool> sizeSeen(false);
    std::atomic<bool> controlClosedByClient(false);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("SIZE up.bin");
        sizeSeen = true;
        controlClosedByClient = c.WaitForClientClose(10000);
    });
    Connect(false, false);
    StartUpload(NonRepeatingBytes(1000));
    ASSERT_TRUE(WaitUntil([&] { return sizeSeen.load(); }, kOutcomeWaitMs));
    m_Window.Drain();
    EXPECT_EQ(Values(), Errors());
    plat::SetClockOffsetForTesting(kWorkerInactivityLimitMs + 1000);
    ASSERT_TRUE(WaitForEnd());

    EXPECT_EQ(Values({FTPE_TIMEOUT}), Errors());
    EXPECT_EQ(0u, Completions());
    EXPECT_TRUE(m_Server.WaitForScripts());
    EXPECT_TRUE(controlClosedByClient.load());
    ExpectScriptsClean();
}

// A film beyond 4 GiB, most of it already on the server: APPE at the remote
// size, and only the rest goes, read from that far into the local file (a
// sparse file, with known bytes at its end).
TEST_F(Upload, ResumeBeyondFourGibibytesAppendsTheRest) {
    const uint64_t remoteSize = ((uint64_t)1 << 32) + 100;
    const std::string tail = NonRepeatingBytes(900);
    m_Server.OnConnection(0, [&](ScriptedConnection& c) {
        ServeCompleteUpload(c, {"213 " + std::to_string(remoteSize) + "\r\n"}, "APPE up.bin");
    });
    Connect(true, true);
    {
        std::ofstream create(m_LocalPath, std::ios::binary);
    }
    std::filesystem::resize_file(m_LocalPath, remoteSize);
    {
        std::ofstream append(m_LocalPath, std::ios::binary | std::ios::app);
        append << tail;
    }
    ASSERT_EQ(1, m_Client->SendFile(m_LocalPath.c_str(), kRemotePath));
    ASSERT_TRUE(WaitForEnd());

    ExpectCompleted();
    EXPECT_EQ(Values({100}), Progress());
    EXPECT_TRUE(ReceivedByServer() == tail);
    ExpectScriptsClean();
}
