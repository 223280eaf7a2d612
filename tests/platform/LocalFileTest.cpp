#include <gtest/gtest.h>

#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "LocalFile.h"
#include "TestSupport.h"

namespace {

const unsigned kCreateForWriting = plat::CFile::modeCreate | plat::CFile::modeWrite |
                                   plat::CFile::shareDenyWrite | plat::CFile::typeBinary;

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

class LocalFileTest : public ::testing::Test {
protected:
    void SetUp() override { m_Path = plat_test::UniqueTempPath("file"); }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove(m_Path, ignored);
    }
    std::string m_Path;
};

TEST_F(LocalFileTest, CreatesWritesAndReportsStatus) {
    EXPECT_FALSE(plat::CFile::GetStatus(m_Path.c_str()));
    plat::CFile file;
    ASSERT_TRUE(file.Open(m_Path.c_str(), kCreateForWriting));
    EXPECT_TRUE(file.IsOpen());
    EXPECT_TRUE(file.Write("hello ", 6));
    EXPECT_TRUE(file.Write("world", 5));
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(plat::CFile::GetStatus(m_Path.c_str()));
    EXPECT_EQ(ReadAll(m_Path), "hello world");
}

TEST_F(LocalFileTest, CreateTruncatesAnExistingFile) {
    {
        std::ofstream old(m_Path, std::ios::binary);
        old << "much longer old content";
    }
    plat::CFile file;
    ASSERT_TRUE(file.Open(m_Path.c_str(), kCreateForWriting));
    EXPECT_TRUE(file.Write("new", 3));
    file.Close();
    EXPECT_EQ(ReadAll(m_Path), "new");
}

TEST_F(LocalFileTest, FailureExplainsItselfAndNamesThePath) {
    plat::CFile file;
    char errorText[256] = "";
    EXPECT_FALSE(file.Open(m_Path.c_str(), plat::CFile::modeRead, errorText, sizeof errorText));
    EXPECT_NE(std::string(errorText).find(m_Path), std::string::npos) << errorText;
    EXPECT_GT(std::string(errorText).size(), m_Path.size() + 2) << errorText;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.Write("x", 1));

    const std::string inMissingFolder = m_Path + "/missing/file.bin";
    EXPECT_FALSE(file.Open(inMissingFolder.c_str(), kCreateForWriting));
}

TEST_F(LocalFileTest, DirectoryExistsButDoesNotOpenAsAFile) {
    const std::string folder = std::filesystem::temp_directory_path().string();
    EXPECT_TRUE(plat::CFile::GetStatus(folder.c_str()));
    plat::CFile file;
    EXPECT_FALSE(file.Open(folder.c_str(), plat::CFile::modeRead));
}

// Windows enforces share modes; on Linux they are advisory and ignored.
TEST_F(LocalFileTest, DenyWriteBlocksASecondWriterOnWindowsOnly) {
    plat::CFile first;
    ASSERT_TRUE(first.Open(m_Path.c_str(), kCreateForWriting));
    plat::CFile second;
#ifdef _WIN32
    EXPECT_FALSE(second.Open(m_Path.c_str(), plat::CFile::modeWrite));
#else
    EXPECT_TRUE(second.Open(m_Path.c_str(), plat::CFile::modeWrite));
#endif
}

TEST(LocalPathSeparator, BackslashSeparatesOnlyOnWindows) {
    EXPECT_TRUE(plat::IsLocalPathSeparator('/'));
    EXPECT_FALSE(plat::IsLocalPathSeparator(':'));
#ifdef _WIN32
    EXPECT_TRUE(plat::IsLocalPathSeparator('\\'));
#else
    EXPECT_FALSE(plat::IsLocalPathSeparator('\\'));
#endif
}

}  // namespace
