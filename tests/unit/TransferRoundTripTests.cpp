// Upload and download against a real server (pyftpdlib on loopback, started
// by the test): files of the sizes around the block boundaries and several
// MiB of non-repeating bytes, compared byte for byte on both sides, and the
// continuation of a partial remote copy with APPE.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/unit/TestHost.h"
#include "tests/unit/TransferTestSupport.h"
#include "workers/CStorThread.h"

using testhost::Client;
using testhost::MessageWindow;
using testhost::WaitUntil;
using transfertest::IsStrictlyIncreasing;
using transfertest::NonRepeatingBytes;
using transfertest::ReadWholeFile;
using transfertest::TempFolder;
using transfertest::WaitForOutcome;
using transfertest::WriteWholeFile;
using Values = std::vector<intptr_t>;

extern char** environ;

namespace {

const int kOutcomeWaitMs = 60000;
const int kServerStartWaitMs = 15000;
const char kPassword[] = "round-trip";
const char kPassivePorts[] = "41700-41799";

// The server process, started with Debian's python (the one with
// pyftpdlib) and ended by its process id.
class PyftpdServer {
public:
    explicit PyftpdServer(const std::string& root) : m_Root(root), m_Pid(-1), m_Port(0) {
        m_Work = std::filesystem::path(root).parent_path() / "server-files";
        std::filesystem::create_directories(m_Work);
        std::filesystem::create_directories(root);
        Start();
    }
    ~PyftpdServer() { Stop(); }
    PyftpdServer(const PyftpdServer&) = delete;
    PyftpdServer& operator=(const PyftpdServer&) = delete;

    bool IsListening() const { return m_Port != 0; }
    uint16_t Port() const { return m_Port; }
    std::string Log() const { return ReadWholeFile(LogPath()); }

private:
    std::string LogPath() const { return (m_Work / "server.log").string(); }
    std::string PortFile() const { return (m_Work / "port").string(); }

    void Start() {
        std::string script = (std::filesystem::path(__FILE__).parent_path() /
                              "pyftpd_transfer_server.py").string();
        std::vector<std::string> args = {"/usr/bin/python3", script,           "--root",
                                         m_Root,             "--password",     kPassword,
                                         "--port-file",      PortFile(),       "--passive-ports",
                                         kPassivePorts};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, LogPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = -1;
        int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return;
        m_Pid = pid;
        WaitUntil([this] { return ReadPort() || HasExited(); }, kServerStartWaitMs);
    }

    bool ReadPort() {
        std::string text = ReadWholeFile(PortFile());
        if (text.empty()) return false;
        m_Port = (uint16_t)strtol(text.c_str(), nullptr, 10);
        return true;
    }

    bool HasExited() {
        int status = 0;
        if (waitpid(m_Pid, &status, WNOHANG) != m_Pid) return false;
        m_Pid = -1;
        return true;
    }

    void Stop() {
        if (m_Pid <= 0) return;
        kill(m_Pid, SIGTERM);
        if (!WaitUntil([this] { return HasExited(); }, 5000)) {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
        }
        m_Pid = -1;
    }

    std::string m_Root;
    std::filesystem::path m_Work;
    pid_t m_Pid;
    uint16_t m_Port;
};

class TransferRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Server.IsListening()) << "pyftpdlib did not start:\n" << m_Server.Log();
    }

    void Connect(Client& client, MessageWindow& window, bool overwrite, bool append) {
        client->SetConnectParameter("127.0.0.1", "tester", kPassword, m_Server.Port(), overwrite,
                                    append, "", 0);
        client->SetMessageWindow(window.Handle());
        client->SetTransferRate(100.0);
    }
    std::string Served(const std::string& name) const {
        return (std::filesystem::path(m_ServedRoot) / name).string();
    }

    TempFolder m_Folder;
    std::string m_ServedRoot = m_Folder.File("served");
    PyftpdServer m_Server{m_ServedRoot};
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
        EXPECT_TRUE(ReadWholeFile(Served(name)) == content);

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
    WriteWholeFile(Served("resume.bin"), remotePrefix);
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
    EXPECT_TRUE(ReadWholeFile(Served("resume.bin")) == remotePrefix + content.substr(remoteSize));
}

#endif  // _WIN32
