// Log-in, size, delete, directories and listings against each kind of real
// FTP server, in the folder where the server lets the account write.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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
    std::string folder = m_Server.WritablePath("kinds-size-folder");
    ASSERT_TRUE(m_Server.MakeLocalFolder(folder));
    EXPECT_EQ(-1, m_Client->GetRemoteFileSize(folder.c_str()));
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

INSTANTIATE_TEST_SUITE_P(AllKinds, RealServerKinds,
                         testing::ValuesIn(realserver::AllServerKinds()),
                         realserver::ServerKindTestName);
