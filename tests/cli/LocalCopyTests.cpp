// Judging a read against the local copy: right bytes, wrong bytes, and
// reads that are too short or too long.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/ftpcli/LocalCopy.h"

namespace {

class LocalCopyTest : public testing::Test {
protected:
    void SetUp() override {
        m_Path = testing::TempDir() + "ftpcli-local-copy.bin";
        FILE* file = fopen(m_Path.c_str(), "wb");
        ASSERT_NE(nullptr, file);
        for (int i = 0; i < 1000; ++i) m_Bytes.push_back((unsigned char)(i * 7 % 251));
        fwrite(m_Bytes.data(), 1, m_Bytes.size(), file);
        fclose(file);
        ASSERT_TRUE(m_Copy.Open(m_Path));
    }
    void TearDown() override { remove(m_Path.c_str()); }

    std::string m_Path;
    std::vector<unsigned char> m_Bytes;
    LocalCopy m_Copy;
};

}  // namespace

TEST_F(LocalCopyTest, MeasuresAndLimitsToTheEnd) {
    EXPECT_EQ(1000, m_Copy.Size());
    EXPECT_EQ(1000, LocalCopy::SizeOf(m_Path));
    EXPECT_EQ(-1, LocalCopy::SizeOf(m_Path + ".missing"));
    EXPECT_EQ(100u, m_Copy.ExpectedLength(0, 100));
    EXPECT_EQ(10u, m_Copy.ExpectedLength(990, 100));
    EXPECT_EQ(0u, m_Copy.ExpectedLength(1000, 100));
}

TEST_F(LocalCopyTest, RightReadsPass) {
    EXPECT_EQ(-1, m_Copy.FirstDifference(100, 50, &m_Bytes[100], 50));
    EXPECT_EQ(-1, m_Copy.FirstDifference(990, 64, &m_Bytes[990], 10)) << "short at the end";
    EXPECT_EQ(-1, m_Copy.FirstDifference(1000, 64, nullptr, 0)) << "nothing beyond the end";
}

TEST_F(LocalCopyTest, WrongReadsNameTheirFirstBadOffset) {
    std::vector<unsigned char> data(m_Bytes.begin() + 200, m_Bytes.begin() + 300);
    data[37] ^= 0x01;
    EXPECT_EQ(237, m_Copy.FirstDifference(200, 100, data.data(), 100));
    EXPECT_EQ(260, m_Copy.FirstDifference(200, 100, &m_Bytes[200], 60)) << "short read";
    std::vector<unsigned char> tooLong(m_Bytes.begin() + 990, m_Bytes.end());
    tooLong.resize(20, 0);
    EXPECT_EQ(1000, m_Copy.FirstDifference(990, 64, tooLong.data(), 20)) << "beyond the end";
}
