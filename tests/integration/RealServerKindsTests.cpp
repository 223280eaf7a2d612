// Log-in, size, delete, directories and listings against each kind of real
// FTP server, in the folder where the server lets the account write.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/integration/RealServerKindTest.h"
#include "tests/integration/TransferTestSupport.h"

using realserver::RealServerKindTest;
using realserver::ServerKind;

namespace {

bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
}

bool Lists(const char* listing, const char* name) {
    return std::string(listing).find(name) != std::string::npos;
}

class RealServerKinds : public RealServerKindTest {
protected:
    void WriteRemoteFile(const std::string& remotePath, size_t size) {
        transfertest::WriteWholeFile(m_Server.LocalPathOf(remotePath),
                                     transfertest::NonRepeatingBytes(size));
    }

    // A folder holding a.ts, b.mp3 and noext.
    std::string MakeListedFolder() {
        std::string folder = m_Server.WritablePath("kinds-listed");
        EXPECT_TRUE(m_Server.MakeLocalFolder(folder));
        for (const char* name : {"/a.ts", "/b.mp3", "/noext"}) WriteRemoteFile(folder + name, 1);
        return folder;
    }

    // pyftpdlib answers "550 " to a LIST with wildcards; the others expand them.
    bool ExpandsPatterns() const { return !IsKind(ServerKind::Pyftpdlib); }
};

}  // namespace

TEST_P(RealServerKinds, SizeOfPresentMissingAndDirectoryPaths) {
    RecordProperty("server", m_Server.ServerName());
    std::string present = m_Server.WritablePath("kinds-size.bin");
    WriteRemoteFile(present, 123457);
    EXPECT_EQ(123457, m_Client->GetRemoteFileSize(present.c_str()));
    EXPECT_EQ(-1, m_Client->GetRemoteFileSize(m_Server.WritablePath("kinds-missing.bin").c_str()));
    // The server answered: no size, and no error.
    long long size = 12345;
    EXPECT_EQ(0, m_Client->GetRemoteFileSize64(m_Server.WritablePath("kinds-missing.bin").c_str(), &size));
    EXPECT_EQ(-1, size);
    EXPECT_EQ(0, m_Client->GetLastErrorCode()) << m_Client->GetLastErrorText();
    std::string folder = m_Server.WritablePath("kinds-size-folder");
    ASSERT_TRUE(m_Server.MakeLocalFolder(folder));
    EXPECT_EQ(-1, m_Client->GetRemoteFileSize(folder.c_str()));
    EXPECT_EQ(1, m_Client->GetRemoteFileSize64(present.c_str(), &size));
    EXPECT_EQ(123457, size);
    // The session survives the refusals.
    EXPECT_EQ(123457, m_Client->GetRemoteFileSize(present.c_str()));
    std::filesystem::remove(m_Server.LocalPathOf(present));
}

TEST_P(RealServerKinds, DeleteRemovesTheFileOnce) {
    std::string file = m_Server.WritablePath("kinds-gone.bin");
    WriteRemoteFile(file, 10);
    EXPECT_EQ(1, m_Client->DeleteRemoteFile(file.c_str()));
    EXPECT_FALSE(Exists(m_Server.LocalPathOf(file)));
    EXPECT_EQ(0, m_Client->DeleteRemoteFile(file.c_str()));
}

TEST_P(RealServerKinds, MakeAndRemoveDirectories) {
    std::string outer = m_Server.WritablePath("kinds-made");
    std::string inner = outer + "/inner";
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory(outer.c_str(), 1));
    EXPECT_TRUE(Exists(m_Server.LocalPathOf(outer)));
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory(inner.c_str(), 1));
    EXPECT_TRUE(Exists(m_Server.LocalPathOf(inner)));
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory(outer.c_str(), 1));  // already there
    EXPECT_EQ(0, m_Client->CreateOrRemoveDirectory(outer.c_str(), 0));  // not empty
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory(inner.c_str(), 0));
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory(outer.c_str(), 0));
    EXPECT_FALSE(Exists(m_Server.LocalPathOf(outer)));
    EXPECT_EQ(0, m_Client->CreateOrRemoveDirectory(outer.c_str(), 0));  // gone
}

TEST_P(RealServerKinds, ListingWholeFolderAndOneName) {
    std::string folder = MakeListedFolder();
    const char* listing = m_Client->ListDirectory(folder.c_str(), "");
    ASSERT_NE(nullptr, listing);
    EXPECT_TRUE(Lists(listing, "a.ts") && Lists(listing, "b.mp3") && Lists(listing, "noext"))
        << listing;
    listing = m_Client->ListDirectory((folder + "/").c_str(), "a.ts");
    ASSERT_NE(nullptr, listing);
    EXPECT_TRUE(Lists(listing, "a.ts")) << listing;
    EXPECT_FALSE(Lists(listing, "b.mp3") || Lists(listing, "noext")) << listing;
}

// The default pattern is "*.*"; a server that refuses it lists the whole
// folder instead.
TEST_P(RealServerKinds, ListingWithPatterns) {
    std::string folder = MakeListedFolder();
    const char* listing = m_Client->ListDirectory(folder.c_str(), nullptr);
    ASSERT_NE(nullptr, listing);
    EXPECT_TRUE(Lists(listing, "a.ts") && Lists(listing, "b.mp3")) << listing;
    EXPECT_EQ(!ExpandsPatterns(), Lists(listing, "noext")) << listing;
    listing = m_Client->ListDirectory(folder.c_str(), "*.ts");
    ASSERT_NE(nullptr, listing);
    EXPECT_EQ(ExpandsPatterns(), Lists(listing, "a.ts")) << listing;
    EXPECT_FALSE(Lists(listing, "b.mp3")) << listing;
}

// vsftpd and pure-ftpd send an empty listing, proftpd "450 " after "150 ",
// pyftpdlib "550 ": each ends the request at once with nothing listed.
TEST_P(RealServerKinds, ListingOfAMissingNameIsEmpty) {
    std::string folder = MakeListedFolder();
    const char* listing = m_Client->ListDirectory(folder.c_str(), "missing.x");
    ASSERT_NE(nullptr, listing);
    EXPECT_STREQ("", listing);
    listing = m_Client->ListDirectory(folder.c_str(), "b.mp3");
    ASSERT_NE(nullptr, listing);
    EXPECT_TRUE(Lists(listing, "b.mp3")) << listing;
}

// 500 names of 60 characters: the whole listing, about 50 KB, through a
// buffer too small first (the listing kept for the next call, which does
// not ask the server again: a file made in between is not in it), then one
// of the size it asked for. ListDirectory's text is the start of the same
// listing.
TEST_P(RealServerKinds, ListingOfFiveHundredFilesWhole) {
    std::string folder = m_Server.WritablePath("kinds-many");
    ASSERT_TRUE(m_Server.MakeLocalFolder(folder));
    std::vector<std::string> names;
    for (int i = 0; i < 500; ++i) {
        char name[80];
        snprintf(name, sizeof name, "/film-%03d-%s.mkv", i, std::string(42, 'a' + i % 26).c_str());
        names.push_back(name + 1);
        WriteRemoteFile(folder + name, (size_t)i);
    }
    std::vector<char> small(1000);
    unsigned needed = 0;
    EXPECT_EQ(0, m_Client->ListDirectoryAll(folder.c_str(), "", small.data(), (unsigned)small.size(),
                                           &needed));
    EXPECT_EQ(0, m_Client->GetLastErrorCode()) << m_Client->GetLastErrorText();
    ASSERT_GT(needed, 500u * 60);
    WriteRemoteFile(folder + "/late-arrival.mkv", 1);
    std::vector<char> whole(needed);
    unsigned neededAgain = 0;
    ASSERT_EQ(1, m_Client->ListDirectoryAll(folder.c_str(), "", whole.data(), needed, &neededAgain));
    EXPECT_EQ(needed, neededAgain);
    std::string listing(whole.data());
    EXPECT_EQ(needed - 1, listing.size());
    for (const std::string& name : names) EXPECT_TRUE(Lists(listing.c_str(), name.c_str())) << name;
    EXPECT_FALSE(Lists(listing.c_str(), "late-arrival.mkv"));
    // Asked anew, the server lists the late file too.
    ASSERT_EQ(0, m_Client->ListDirectoryAll(folder.c_str(), "", whole.data(), needed, &neededAgain));
    EXPECT_GT(neededAgain, needed);
    std::vector<char> more(neededAgain);
    ASSERT_EQ(1, m_Client->ListDirectoryAll(folder.c_str(), "", more.data(), neededAgain, nullptr));
    EXPECT_TRUE(Lists(more.data(), "late-arrival.mkv"));
    const char* first = m_Client->ListDirectory(folder.c_str(), "");
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(259u, strlen(first));
    EXPECT_EQ(std::string(more.data(), 259), first);
    std::filesystem::remove_all(m_Server.LocalPathOf(folder));
}

INSTANTIATE_TEST_SUITE_P(AllKinds, RealServerKinds,
                         testing::ValuesIn(realserver::AllServerKinds()),
                         realserver::ServerKindTestName);
