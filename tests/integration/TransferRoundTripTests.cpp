// Upload and download against each kind of real server on loopback: files
// of the sizes around the block boundaries and several MiB of non-repeating
// bytes, compared byte for byte on both sides; a present remote file kept,
// replaced or continued with APPE as the connection's choices say; and
// uploads the server refuses reported as failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/integration/RealServerKindTest.h"
#include "tests/integration/TestHost.h"
#include "tests/integration/TransferTestSupport.h"
#include "workers/CStorThread.h"

using realserver::RealServerKindTest;
using testhost::Client;
using testhost::MessageWindow;
using transfertest::IsStrictlyIncreasing;
using transfertest::NonRepeatingBytes;
using transfertest::ReadWholeFile;
using transfertest::TempFolder;
using transfertest::WaitForOutcome;
using transfertest::WriteWholeFile;
using Values = std::vector<intptr_t>;

namespace {

const int kOutcomeWaitMs = 60000;

void ExpectProgressToTheEnd(const MessageWindow& window) {
    Values progress = window.ParametersOf(WM_FTP_PROGRESS);
    EXPECT_TRUE(IsStrictlyIncreasing(progress));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(100, progress.back());
}

void ExpectCompleted(const MessageWindow& window) {
    EXPECT_EQ(Values(), window.ParametersOf(WM_FTP_ERROR));
    EXPECT_EQ(1u, window.ParametersOf(WM_FTP_COMPLETE).size());
}

void ExpectFailedWith(int errorCode, const MessageWindow& window) {
    EXPECT_EQ(Values({errorCode}), window.ParametersOf(WM_FTP_ERROR));
    EXPECT_TRUE(window.ParametersOf(WM_FTP_COMPLETE).empty());
}

class TransferRoundTrip : public RealServerKindTest {
protected:
    void SetUp() override {
        RealServerKindTest::SetUp();
        m_Client->SetTransferRate(100.0);
    }

    // A client of the test's own with these choices for a present remote file
    // (m_Client overwrites and appends).
    void Connect(Client& client, bool overwrite, bool append) {
        client->SetConnectParameter("127.0.0.1", "ignored", realserver::kPassword, m_Server.Port(),
                                    overwrite, append, "", 0);
        client->SetTransferRate(100.0);
    }

    // Sends content as remotePath; the notices land in window.
    void Upload(Client& client, MessageWindow& window, const std::string& content,
                const std::string& remotePath) {
        const std::string source = m_Folder.File("source-" + std::to_string(m_nSources++));
        WriteWholeFile(source, content);
        ASSERT_EQ(1, client->SetMessageWindow(window.Handle()));
        ASSERT_EQ(1, client->SendFile(source.c_str(), remotePath.c_str()));
        ASSERT_TRUE(WaitForOutcome(window, client, kOutcomeWaitMs));
    }

    void Download(Client& client, MessageWindow& window, const std::string& remotePath,
                  const std::string& destination) {
        ASSERT_EQ(1, client->SetMessageWindow(window.Handle()));
        ASSERT_EQ(1, client->ReceiveFile(remotePath.c_str(), destination.c_str()));
        ASSERT_TRUE(WaitForOutcome(window, client, kOutcomeWaitMs));
    }

    // A file the server itself wrote, so that its account may change it
    // (one the test writes belongs to the test's account).
    void UploadFresh(const std::string& content, const std::string& remotePath) {
        MessageWindow window;
        Upload(m_Client, window, content, remotePath);
        ExpectCompleted(window);
    }

    std::string RemoteContent(const std::string& remotePath) const {
        return ReadWholeFile(m_Server.LocalPathOf(remotePath));
    }

    TempFolder m_Folder;
    int m_nSources = 0;
};

}  // namespace

// Uploaded, then downloaded: 0 bytes (which the download refuses, as the
// server announces size 0), 1 byte, exactly one block, one block and a
// byte, and several MiB.
TEST_P(TransferRoundTrip, FilesOfEverySizeArriveIntactBothWays) {
    RecordProperty("server", m_Server.ServerName());
    const size_t sizes[] = {0, 1, (size_t)CStorThread::kBlockSize,
                            (size_t)CStorThread::kBlockSize + 1, 4 * 1048576 + 321};
    for (size_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string remote = m_Server.WritablePath("round-" + std::to_string(size) + ".bin");
        const std::string content = NonRepeatingBytes(size, (uint32_t)size + 7);
        MessageWindow uploadWindow;
        Upload(m_Client, uploadWindow, content, remote);
        ExpectCompleted(uploadWindow);
        if (size > 0) ExpectProgressToTheEnd(uploadWindow);
        EXPECT_TRUE(RemoteContent(remote) == content);

        const std::string destination = m_Folder.File("destination-" + std::to_string(size));
        MessageWindow downloadWindow;
        Download(m_Client, downloadWindow, remote, destination);
        if (size == 0) {
            ExpectFailedWith(FTPE_BADREPLY, downloadWindow);
        } else {
            ExpectCompleted(downloadWindow);
            ExpectProgressToTheEnd(downloadWindow);
        }
        EXPECT_TRUE(ReadWholeFile(destination) == content);
        EXPECT_EQ(1, m_Client->DeleteRemoteFile(remote.c_str()));
    }
}

// A download of a missing file must not leave the host believing it came.
TEST_P(TransferRoundTrip, DownloadOfAMissingFileFails) {
    MessageWindow window;
    Download(m_Client, window, m_Server.WritablePath("round-missing.bin"),
             m_Folder.File("missing"));
    ExpectFailedWith(FTPE_BADREPLY, window);
}

// Without overwrite a present file stays as it was; with it, a shorter
// local file replaces the remote one whole (no tail of the old one left),
// also when appending is allowed, as the remote copy is no prefix of it.
TEST_P(TransferRoundTrip, PresentRemoteFileIsKeptOrReplaced) {
    const std::string original = NonRepeatingBytes(700001, 11);
    const std::string kept = m_Server.WritablePath("kept.bin");
    UploadFresh(original, kept);
    Client keeping;
    Connect(keeping, false, false);
    MessageWindow refusal;
    Upload(keeping, refusal, NonRepeatingBytes(1000, 12), kept);
    ExpectFailedWith(FTPE_BADREPLY, refusal);
    EXPECT_TRUE(RemoteContent(kept) == original);
    EXPECT_EQ(1, m_Client->DeleteRemoteFile(kept.c_str()));

    for (bool append : {false, true}) {
        SCOPED_TRACE(append ? "append allowed" : "no append");
        const std::string remote = m_Server.WritablePath(append ? "replaced-a.bin" : "replaced.bin");
        UploadFresh(original, remote);
        Client replacing;
        Connect(replacing, true, append);
        const std::string replacement = NonRepeatingBytes(300007, append ? 13 : 14);
        MessageWindow window;
        Upload(replacing, window, replacement, remote);
        ExpectCompleted(window);
        ExpectProgressToTheEnd(window);
        EXPECT_TRUE(RemoteContent(remote) == replacement);
        EXPECT_EQ(1, m_Client->DeleteRemoteFile(remote.c_str()));
    }
}

// The remote copy's first bytes differ from the local file's on purpose:
// only a continuation keeps them.
TEST_P(TransferRoundTrip, PartialRemoteCopyIsContinuedWithAppe) {
    const int32_t remoteSize = 300000;
    const std::string content = NonRepeatingBytes(1048576 + 5, 3);
    const std::string remotePrefix = NonRepeatingBytes(remoteSize, 4);
    const std::string remote = m_Server.WritablePath("resume.bin");
    UploadFresh(remotePrefix, remote);
    Client resuming;
    Connect(resuming, true, true);
    MessageWindow window;
    Upload(resuming, window, content, remote);
    ExpectCompleted(window);
    ExpectProgressToTheEnd(window);
    // The first block ends at the remote size plus one block.
    Values progress = window.ParametersOf(WM_FTP_PROGRESS);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ((intptr_t)((remoteSize + CStorThread::kBlockSize) * 100.0 / content.size()), progress[0]);
    EXPECT_TRUE(RemoteContent(remote) == remotePrefix + content.substr(remoteSize));
    EXPECT_EQ(1, m_Client->DeleteRemoteFile(remote.c_str()));
}

// A refusal of the transfer command is a failure, never a completion: a
// folder that does not exist, and (vsftpd) outside the writable folder.
TEST_P(TransferRoundTrip, RefusedUploadReportsAnError) {
    MessageWindow window;
    Upload(m_Client, window, NonRepeatingBytes(5000, 15), m_Server.WritablePath("no-folder/x.bin"));
    ExpectFailedWith(FTPE_BADREPLY, window);
    if (m_Server.WritableFolder() != "/") {
        MessageWindow outside;
        Upload(m_Client, outside, NonRepeatingBytes(5000, 16), "/outside.bin");
        ExpectFailedWith(FTPE_BADREPLY, outside);
    }
}

// A film of 5 GiB (sparse) goes down with progress in sane steps and no
// error; the test stops it after its first percent.
TEST_P(TransferRoundTrip, DownloadBeyondFourGibibytesRuns) {
    const std::string path = m_Server.WritablePath(realserver::EnvironmentName(GetParam()) + "-5g.bin");
    const std::string local = m_Server.LocalPathOf(path);
    WriteWholeFile(local, "");
    std::filesystem::resize_file(local, (uint64_t)5 << 30);
    MessageWindow window;
    m_Client->SetTransferRate(1000.0);
    ASSERT_EQ(1, m_Client->SetMessageWindow(window.Handle()));
    const std::string destination = m_Folder.File("5g.bin");
    ASSERT_EQ(1, m_Client->ReceiveFile(path.c_str(), destination.c_str()));
    bool progressed = testhost::WaitUntil([&] {
        window.Drain();
        Values progress = window.ParametersOf(WM_FTP_PROGRESS);
        return (!progress.empty() && progress.back() >= 1) || !window.ParametersOf(WM_FTP_ERROR).empty();
    }, kOutcomeWaitMs);
    m_Client->StopSession();
    window.Drain();
    EXPECT_TRUE(progressed);
    Values progress = window.ParametersOf(WM_FTP_PROGRESS);
    EXPECT_TRUE(IsStrictlyIncreasing(progress));
    ASSERT_FALSE(progress.empty());
    EXPECT_GE(progress.back(), 1);
    EXPECT_LT(progress.back(), 100);
    EXPECT_EQ(Values(), window.ParametersOf(WM_FTP_ERROR));
    std::error_code ignored;
    std::filesystem::remove(local, ignored);
    std::filesystem::remove(destination, ignored);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, TransferRoundTrip,
                         testing::ValuesIn(realserver::AllServerKinds()),
                         realserver::ServerKindTestName);
