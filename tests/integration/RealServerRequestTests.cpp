// Size, delete, directories and listings against a real FTP server.
#include <gtest/gtest.h>

#include <stdio.h>

#include <filesystem>
#include <string>

#include "tests/integration/RealFtpServer.h"
#include "tests/integration/TestHost.h"

using realserver::RealFtpServer;
using testhost::Client;

namespace {

void WriteFileOfSize(const std::string& path, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, file);
    for (size_t i = 0; i < size; ++i) fputc((int)(i * 7 % 251), file);
    fclose(file);
}

bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
}

class RealServerRequests : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Server.Start()) << m_Server.Error();
        m_Client.ConnectTo(m_Server.Port(), "ignored", realserver::kPassword);
    }
    RealFtpServer m_Server;
    Client m_Client;
};

}  // namespace

TEST_F(RealServerRequests, SizeOfPresentAndMissingFiles) {
    WriteFileOfSize(m_Server.LocalPathOf("/present.bin"), 123457);
    EXPECT_EQ(123457, m_Client->GetRemoteFileSize("/present.bin"));
    EXPECT_EQ(-1, m_Client->GetRemoteFileSize("/missing.bin"));
}

TEST_F(RealServerRequests, DeleteRemovesTheFile) {
    std::string local = m_Server.LocalPathOf("/gone.bin");
    WriteFileOfSize(local, 10);
    EXPECT_EQ(1, m_Client->DeleteRemoteFile("/gone.bin"));
    EXPECT_FALSE(Exists(local));
    EXPECT_EQ(0, m_Client->DeleteRemoteFile("/gone.bin"));
}

TEST_F(RealServerRequests, MakeAndRemoveDirectories) {
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory("/made", 1));
    EXPECT_TRUE(Exists(m_Server.LocalPathOf("/made")));
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory("/made/inner", 1));
    EXPECT_TRUE(Exists(m_Server.LocalPathOf("/made/inner")));
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory("/made", 1));  // already there
    EXPECT_EQ(0, m_Client->CreateOrRemoveDirectory("/made", 0));  // not empty
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory("/made/inner", 0));
    EXPECT_EQ(1, m_Client->CreateOrRemoveDirectory("/made", 0));
    EXPECT_FALSE(Exists(m_Server.LocalPathOf("/made")));
}

// This server does not expand wildcards in LIST ("550 " to "LIST *.*"): the
// default pattern falls back to a plain listing of the folder, a name lists
// that file, and an empty pattern lists the folder.
TEST_F(RealServerRequests, ListingWithAndWithoutPattern) {
    std::filesystem::create_directory(m_Server.LocalPathOf("/pub"));
    WriteFileOfSize(m_Server.LocalPathOf("/pub/a.ts"), 1);
    WriteFileOfSize(m_Server.LocalPathOf("/pub/b.mp3"), 1);
    char* listing = m_Client->ListDirectory("/pub", "");
    ASSERT_NE(nullptr, listing);
    std::string all = listing;
    EXPECT_NE(std::string::npos, all.find("a.ts")) << all;
    EXPECT_NE(std::string::npos, all.find("b.mp3")) << all;
    listing = m_Client->ListDirectory("/pub/", "a.ts");
    ASSERT_NE(nullptr, listing);
    std::string one = listing;
    EXPECT_NE(std::string::npos, one.find("a.ts")) << one;
    EXPECT_EQ(std::string::npos, one.find("b.mp3")) << one;
    listing = m_Client->ListDirectory("/pub", nullptr);
    ASSERT_NE(nullptr, listing);
    EXPECT_EQ(all, std::string(listing));
    EXPECT_EQ(0, m_Client->m_Operation.m_nErrorCode.load());
}
