// The synchronous requests and their workers (size, delete, directory,
// listing) against the scripted server: command sequences, success and
// failure replies, split replies, refused arguments and silent servers.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "tests/support/ScriptedFtpServer.h"
#include "tests/integration/TestHost.h"
#include "session/CFtpClientThread.h"

using scripted::DataSendPlan;
using scripted::ScriptedConnection;
using scripted::ScriptedFtpServer;
using testhost::Client;
using testhost::MessageWindow;

namespace {

struct ClockOffsetGuard {
    ~ClockOffsetGuard() { plat::SetClockOffsetForTesting(0); }
};

// Serves a listing: TYPE A, TYPE I, PASV, the expected LIST line, the data.
void ServeListing(ScriptedConnection& c, const std::string& expectedList, const std::string& data,
                  const std::string& announced = "127.0.0.1",
                  const std::string& finalReply = "226 Transfer complete.") {
    c.ExpectLine("TYPE A");
    c.Reply("200 Type set to A.");
    c.ExpectLine("TYPE I");
    c.Reply("200 Type set to I.");
    c.ExpectLine("PASV");
    std::shared_ptr<scripted::PassiveData> passive = c.OpenPassive();
    if (announced != "127.0.0.1") passive->StartDecoyAt(announced);
    c.Send(passive->PasvReply(announced));
    c.ExpectLine(expectedList);
    c.Reply("150 Here comes the listing.");
    DataSendPlan plan;
    plan.bytes = data;
    passive->StartSending(plan);
    passive->WaitDone();
    c.Reply(finalReply);
}

}  // namespace

TEST(Requests, BadArgumentsAreRefusedWithoutASession) {
    Client client;
    client.ConnectTo(1);
    std::string tooLong = "/" + std::string(259, 'a');
    EXPECT_EQ(0, client->DeleteRemoteFile(nullptr));
    EXPECT_EQ(0, client->DeleteRemoteFile(""));
    EXPECT_EQ(0, client->DeleteRemoteFile(tooLong.c_str()));
    EXPECT_EQ(0, client->DeleteRemoteFile("/a\r\nRMD /"));
    EXPECT_EQ(0, client->GetRemoteFileSize(nullptr));
    EXPECT_EQ(0, client->GetRemoteFileSize("/a\nb"));
    EXPECT_EQ(nullptr, client->ListDirectory("pub", nullptr));
    EXPECT_EQ(nullptr, client->ListDirectory("", nullptr));
    EXPECT_EQ(nullptr, client->ListDirectory(nullptr, nullptr));
    EXPECT_EQ(nullptr, client->ListDirectory("/pub", "*.ts\r\nDELE x"));
    EXPECT_EQ(nullptr, client->ListDirectory(("/" + std::string(250, 'd')).c_str(), "0123456789"));
    EXPECT_EQ(0, client->CreateOrRemoveDirectory("/", 1));
    EXPECT_EQ(0, client->CreateOrRemoveDirectory("/a/", 1));
    EXPECT_EQ(0, client->CreateOrRemoveDirectory("a", 1));
    EXPECT_EQ(0, client->CreateOrRemoveDirectory(nullptr, 1));
    EXPECT_EQ(0, client->SendFile("/no/such/local/file", nullptr));
    EXPECT_EQ(0, client->SendFile(nullptr, nullptr));
    EXPECT_EQ(0, client->ReceiveFile(nullptr, nullptr));
    EXPECT_EQ(0, client->ReceiveFile(tooLong.c_str(), nullptr));
    EXPECT_FALSE(client.HasSession());
}

TEST(SizeWorker, SizesMissingFilesAndSplitReplies) {
    ScriptedFtpServer server;
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("SIZE big.bin");
        c.Reply("213 1048576");
        c.ExpectLine("SIZE missing.bin");
        c.Reply("550 missing.bin: No such file or directory");
        c.ExpectLine("SIZE split.bin");
        c.SendChunks({"213 9", "87", "\r\n"}, 60);
        c.ExpectLine("SIZE huge.bin");
        c.Reply("213 3000000000");
    });
    Client client;
    client.ConnectTo(server.Port());
    EXPECT_EQ(1048576, client->GetRemoteFileSize("/big.bin"));
    EXPECT_EQ(1048576, client->m_nRemoteFileSize.load());
    EXPECT_EQ(-1, client->GetRemoteFileSize("/missing.bin"));
    EXPECT_EQ(987, client->GetRemoteFileSize("/split.bin"));
    // Beyond an int: its largest value, and the size in full for the stream.
    EXPECT_EQ(2147483647, client->GetRemoteFileSize("/huge.bin"));
    EXPECT_EQ(3000000000, client->m_nRemoteFileSize.load());
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST(SizeWorker, SilentServerEndsAtTheLimit) {
    ClockOffsetGuard restoreClock;
    ScriptedFtpServer server(20000);
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("SIZE f");
        c.Silence(200);
        plat::SetClockOffsetForTesting(80500);
        c.Silence(3000);
    });
    Client client;
    client.ConnectTo(server.Port());
    EXPECT_EQ(-1, client->GetRemoteFileSize("/f"));
}

TEST(DeleteWorker, SuccessFailureAndSplitReply) {
    ScriptedFtpServer server;
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("DELE a.bin");
        c.SendChunks({"250 Dele", "te done.\r\n"}, 60);
        c.ExpectLine("DELE missing.bin");
        c.Reply("550 No such file.");
    });
    MessageWindow window;
    Client client;
    client->SetMessageWindow(window.Handle());
    client.ConnectTo(server.Port());
    EXPECT_EQ(1, client->DeleteRemoteFile("/a.bin"));
    EXPECT_EQ(0, client->DeleteRemoteFile("/missing.bin"));
    window.Drain();
    EXPECT_EQ(1u, window.ParametersOf(WM_FTP_COMPLETE).size());
    EXPECT_EQ(std::vector<intptr_t>{FTPE_BADREPLY}, window.ParametersOf(WM_FTP_ERROR));
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST(DeleteWorker, SilentServerTimesOut) {
    ClockOffsetGuard restoreClock;
    ScriptedFtpServer server(20000);
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("DELE f");
        c.Silence(200);
        plat::SetClockOffsetForTesting(80500);
        c.Silence(3000);
    });
    MessageWindow window;
    Client client;
    client->SetMessageWindow(window.Handle());
    client.ConnectTo(server.Port());
    EXPECT_EQ(0, client->DeleteRemoteFile("/f"));
    window.Drain();
    EXPECT_EQ(std::vector<intptr_t>{FTPE_TIMEOUT}, window.ParametersOf(WM_FTP_ERROR));
}

TEST(DeleteWorker, ClosedControlConnectionIsNoSuccess) {
    ScriptedFtpServer server;
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("DELE f");
        c.Close();
    });
    Client client;
    client.ConnectTo(server.Port());
    EXPECT_EQ(0, client->DeleteRemoteFile("/f"));
}

TEST(DirectoryWorker, ReportsWhatTheServerAccepted) {
    ScriptedFtpServer server;
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("MKD new");
        c.Reply("257 \"/new\" created.");
        c.ExpectLine("MKD new");
        c.Reply("550 Directory exists.");
        c.ExpectLine("RMD new");
        c.Reply("250 Removed.");
        c.ExpectLine("RMD new");
        c.Reply("550 Not empty.");
        c.ExpectLine("MKD other");
        c.SendChunks({"500 Unkn", "own.\r\n"}, 60);
        c.ExpectLine("TYPE I");
        c.Reply("200 Type set to I.");
        c.ExpectLine("CWD /a");
        c.Reply("250 OK.");
        c.ExpectLine("MKD b");
        c.Reply("257 \"/a/b\" created.");
    });
    Client client;
    client.ConnectTo(server.Port());
    EXPECT_EQ(1, client->CreateOrRemoveDirectory("/new", 1));
    EXPECT_EQ(1, client->CreateOrRemoveDirectory("/new", 1));  // already there
    EXPECT_EQ(1, client->CreateOrRemoveDirectory("/new", 0));
    EXPECT_EQ(0, client->CreateOrRemoveDirectory("/new", 0));
    EXPECT_EQ(0, client->CreateOrRemoveDirectory("/other", 1));
    EXPECT_EQ(1, client->CreateOrRemoveDirectory("/a/b", 1));
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST(DirectoryWorker, SilentServerAndLostConnectionReportFailure) {
    ClockOffsetGuard restoreClock;
    ScriptedFtpServer server(20000);
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("MKD d");
        c.Silence(200);
        plat::SetClockOffsetForTesting(80500);
        c.ExpectLine("RMD d", 10000);
        c.Close();
    });
    Client client;
    client.ConnectTo(server.Port());
    EXPECT_EQ(0, client->CreateOrRemoveDirectory("/d", 1));
    plat::SetClockOffsetForTesting(0);
    EXPECT_EQ(0, client->CreateOrRemoveDirectory("/d", 0));
}

TEST(ListWorker, ListingWithDefaultAndGivenPatterns) {
    ScriptedFtpServer server;
    server.OnConnection(0, [](ScriptedConnection& c) {
        std::vector<std::string> cwds = c.Login();
        EXPECT_EQ(std::vector<std::string>{"/pub"}, cwds);
        ServeListing(c, "LIST *.*", "a.ts\r\nb.ts\r\n");
        ServeListing(c, "LIST *.ts", "a.ts\r\n");
    });
    Client client;
    client.ConnectTo(server.Port());
    char* listing = client->ListDirectory("/pub", nullptr);
    ASSERT_NE(nullptr, listing);
    EXPECT_STREQ("a.ts\r\nb.ts\r\n", listing);
    listing = client->ListDirectory("/pub/", "*.ts");
    ASSERT_NE(nullptr, listing);
    EXPECT_STREQ("a.ts\r\n", listing);
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

// "226 " and "250 " end a listing's transfer (the FTP standard allows both
// after LIST); another positive reply is no end of it.
TEST(ListWorker, OnlyTheStandardFinalRepliesCompleteAListing) {
    const struct {
        const char* finalReply;
        const char* listing;
    } rows[] = {{"226 Transfer complete.", "a.ts\r\n"},
                {"250 Closing data connection.", "a.ts\r\n"},
                {"228 Transfer complete.", ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.finalReply);
        ScriptedFtpServer server;
        server.OnConnection(0, [&](ScriptedConnection& c) {
            c.Login();
            ServeListing(c, "LIST *.*", "a.ts\r\n", "127.0.0.1", row.finalReply);
        });
        Client client;
        client.ConnectTo(server.Port());
        char* listing = client->ListDirectory("/pub", nullptr);
        ASSERT_NE(nullptr, listing);
        EXPECT_STREQ(row.listing, listing);
    }
}

TEST(ListWorker, LongListingIsBoundedAndEmptyDirectoryGivesEmptyText) {
    ScriptedFtpServer server;
    std::string longListing;
    for (int i = 0; i < 100; ++i) longListing += "file-" + std::to_string(i) + ".ts\r\n";
    server.OnConnection(0, [&](ScriptedConnection& c) {
        c.Login();
        ServeListing(c, "LIST *.*", longListing);
        ServeListing(c, "LIST *.*", "");
    });
    Client client;
    client.ConnectTo(server.Port());
    char* listing = client->ListDirectory("/pub", nullptr);
    ASSERT_NE(nullptr, listing);
    EXPECT_EQ(longListing.substr(0, 259), std::string(listing));
    listing = client->ListDirectory("/pub", nullptr);
    ASSERT_NE(nullptr, listing);
    EXPECT_STREQ("", listing);
}

TEST(ListWorker, AnnouncedAddressReplacedByTheServerAddress) {
    ScriptedFtpServer server;
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        ServeListing(c, "LIST *.*", "x\r\n", "127.0.0.2");
    });
    Client client;
    client.ConnectTo(server.Port());
    char* listing = client->ListDirectory("/pub", nullptr);
    ASSERT_NE(nullptr, listing);
    EXPECT_STREQ("x\r\n", listing);
}

// Without a data connection "LIST " could only wait out the limit.
TEST(ListWorker, UnparsablePassiveReplyEndsAtOnce) {
    ScriptedFtpServer server;
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("TYPE A");
        c.Reply("200 A.");
        c.ExpectLine("TYPE I");
        c.Reply("200 I.");
        c.ExpectLine("PASV");
        c.Reply("227 Entering Passive Mode 127,0,0,1,4,1");
        c.WaitForClientClose();
    });
    Client client;
    client.ConnectTo(server.Port());
    char* listing = client->ListDirectory("/pub", nullptr);
    ASSERT_NE(nullptr, listing);
    EXPECT_STREQ("", listing);
    // An unusable reply, not the time-out.
    EXPECT_EQ(FTPE_BADREPLY, client->GetLastErrorCode());
    client->StopSession();
    EXPECT_TRUE(server.WaitForScripts());
    EXPECT_TRUE(server.Failures().empty()) << server.Describe();
}

TEST(ListWorker, DataClosedWithoutFinalReplyEndsAtTheLimit) {
    ClockOffsetGuard restoreClock;
    ScriptedFtpServer server(20000);
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("TYPE A");
        c.Reply("200 A.");
        c.ExpectLine("TYPE I");
        c.Reply("200 I.");
        c.ExpectLine("PASV");
        std::shared_ptr<scripted::PassiveData> passive = c.OpenPassive();
        c.Send(passive->PasvReply());
        c.ExpectLine("LIST *.*");
        c.Reply("150 Here it comes.");
        DataSendPlan plan;
        plan.bytes = "partial\r\n";
        passive->StartSending(plan);
        passive->WaitDone();
        c.Silence(300);
        plat::SetClockOffsetForTesting(80500);
        c.Silence(3000);
    });
    Client client;
    client.ConnectTo(server.Port());
    char* listing = client->ListDirectory("/pub", nullptr);
    ASSERT_NE(nullptr, listing);
    EXPECT_STREQ("", listing);
}

TEST(ListWorker, RefusedListingEndsAtOnce) {
    ScriptedFtpServer server;
    server.OnConnection(0, [](ScriptedConnection& c) {
        c.Login();
        c.ExpectLine("TYPE A");
        c.Reply("200 A.");
        c.ExpectLine("TYPE I");
        c.Reply("200 I.");
        c.ExpectLine("PASV");
        std::shared_ptr<scripted::PassiveData> passive = c.OpenPassive();
        c.Send(passive->PasvReply());
        c.ExpectLine("LIST x.ts");
        c.SendChunks({"550 No such", " file or directory.\r\n"}, 50);
        c.Silence(500);
    });
    Client client;
    client.ConnectTo(server.Port());
    auto start = std::chrono::steady_clock::now();
    char* listing = client->ListDirectory("/pub", "x.ts");
    ASSERT_NE(nullptr, listing);
    EXPECT_STREQ("", listing);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
