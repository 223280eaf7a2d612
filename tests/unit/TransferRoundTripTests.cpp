// Upload and download against a real server (pyftpdlib on loopback): files
// of the sizes around the block boundaries and several MiB of non-repeating
// bytes, compared byte for byte on both sides, and the continuation of a
// partial remote copy with APPE.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/RealFtpServer.h"
#include "tests/unit/TestHost.h"
#include "tests/unit/TransferTestSupport.h"
#include "workers/CStorThread.h"

using realserver::RealFtpServer;
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

class TransferRoundTrip : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_Server.Start()) << m_Server.Error(); }

    void Connect(Client& client, MessageWindow& window, bool overwrite, bool append) {
        client->SetConnectParameter("127.0.0.1", "tester", realserver::kPassword, m_Server.Port(),
                                    overwrite, append, "", 0);
        client->SetMessageWindow(window.Handle());
        client->SetTransferRate(100.0);
    }

    TempFolder m_Folder;
    RealFtpServer m_Server;
};

void ExpectProgressToTheEnd(const MessageWindow& window) {
    Values progress = window.ParametersOf(WM_FTP_PROGRESS);
    EXPECT_TRUE(IsStrictlyIncreasing(progress));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(100, progress.back());
}

}  // namespace

// Uploaded, then downloaded: 0 bytes (which the download refuses, as the
// server announces size 0), 1 byte, exactly one block, one block and a
// byte, and several MiB.
TEST_F(TransferRoundTrip, FilesOfEverySizeArriveIntactBothWays) {
    const size_t sizes[] = {0, 1, (size_t)CStorThread::kBlockSize,
                            (size_t)CStorThread::kBlockSize + 1, 4 * 1048576 + 321};
    for (size_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string name = "file-" + std::to_string(size) + ".bin";
        const std::string content = NonRepeatingBytes(size, (uint32_t)size + 7);
        const std::string source = m_Folder.File("source-" + name);
        const std::string destination = m_Folder.File("destination-" + name);
        WriteWholeFile(source, content);
        Client client;
        MessageWindow uploadWindow;
        Connect(client, uploadWindow, false, false);

        ASSERT_EQ(1, client->SendFile(source.c_str(), ("/" + name).c_str()));
        ASSERT_TRUE(WaitForOutcome(uploadWindow, client.get(), kOutcomeWaitMs));
        EXPECT_EQ(Values(), uploadWindow.ParametersOf(WM_FTP_ERROR));
        EXPECT_EQ(1u, uploadWindow.ParametersOf(WM_FTP_COMPLETE).size());
        if (size > 0) ExpectProgressToTheEnd(uploadWindow);
        EXPECT_TRUE(ReadWholeFile(m_Server.LocalPathOf("/" + name)) == content);

        MessageWindow downloadWindow;
        ASSERT_EQ(1, client->SetMessageWindow(downloadWindow.Handle()));
        ASSERT_EQ(1, client->ReceiveFile(("/" + name).c_str(), destination.c_str()));
        ASSERT_TRUE(WaitForOutcome(downloadWindow, client.get(), kOutcomeWaitMs));
        if (size == 0) {
            EXPECT_EQ(Values({FTPE_BADREPLY}), downloadWindow.ParametersOf(WM_FTP_ERROR));
            EXPECT_TRUE(downloadWindow.ParametersOf(WM_FTP_COMPLETE).empty());
        } else {
            EXPECT_EQ(Values(), downloadWindow.ParametersOf(WM_FTP_ERROR));
            EXPECT_EQ(1u, downloadWindow.ParametersOf(WM_FTP_COMPLETE).size());
            ExpectProgressToTheEnd(downloadWindow);
        }
        EXPECT_TRUE(ReadWholeFile(destination) == content);
    }
}

// The remote copy's first bytes differ from the local file's on purpose:
// only a continuation keeps them.
TEST_F(TransferRoundTrip, PartialRemoteCopyIsContinuedWithAppe) {
    const int32_t remoteSize = 300000;
    const std::string content = NonRepeatingBytes(1048576 + 5, 3);
    const std::string remotePrefix = NonRepeatingBytes(remoteSize, 4);
    const std::string source = m_Folder.File("source.bin");
    WriteWholeFile(source, content);
    WriteWholeFile(m_Server.LocalPathOf("/resume.bin"), remotePrefix);
    Client client;
    MessageWindow window;
    Connect(client, window, true, true);

    ASSERT_EQ(1, client->SendFile(source.c_str(), "/resume.bin"));
    ASSERT_TRUE(WaitForOutcome(window, client.get(), kOutcomeWaitMs));
    EXPECT_EQ(Values(), window.ParametersOf(WM_FTP_ERROR));
    EXPECT_EQ(1u, window.ParametersOf(WM_FTP_COMPLETE).size());
    ExpectProgressToTheEnd(window);
    // The first block ends at the remote size plus one block.
    Values progress = window.ParametersOf(WM_FTP_PROGRESS);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ((intptr_t)((remoteSize + CStorThread::kBlockSize) * 100.0 / content.size()), progress[0]);
    EXPECT_TRUE(ReadWholeFile(m_Server.LocalPathOf("/resume.bin")) ==
                remotePrefix + content.substr(remoteSize));
}
