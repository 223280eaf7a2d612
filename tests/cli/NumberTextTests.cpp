#include <gtest/gtest.h>

#include "tools/ftpcli/NumberText.h"

TEST(NumberText, UnsignedIsWholeTextInRange) {
    unsigned long long value = 99;
    EXPECT_TRUE(ParseUnsigned("0", 10, &value));
    EXPECT_EQ(0u, value);
    EXPECT_TRUE(ParseUnsigned("4294967295", 4294967295ull, &value));
    EXPECT_EQ(4294967295ull, value);
    for (const char* bad : {"", "11", "-1", "+1", " 1", "1 ", "0x1", "99999999999999999999"}) {
        EXPECT_FALSE(ParseUnsigned(bad, 10, &value)) << bad;
    }
    EXPECT_EQ(4294967295ull, value) << "a refused text leaves the value alone";
}

TEST(NumberText, SignedHonoursBothBounds) {
    long long value = 0;
    EXPECT_TRUE(ParseSigned("-5", -5, 5, &value));
    EXPECT_EQ(-5, value);
    EXPECT_FALSE(ParseSigned("-6", -5, 5, &value));
    EXPECT_FALSE(ParseSigned("6", -5, 5, &value));
    EXPECT_FALSE(ParseSigned("-", -5, 5, &value));
}

TEST(NumberText, RealIsFiniteOnly) {
    double value = 0;
    EXPECT_TRUE(ParseReal("2.5", &value));
    EXPECT_DOUBLE_EQ(2.5, value);
    EXPECT_TRUE(ParseReal(".5", &value));
    EXPECT_DOUBLE_EQ(0.5, value);
    for (const char* bad : {"", "inf", "nan", "1e999", "2,5", "2.5x"}) {
        EXPECT_FALSE(ParseReal(bad, &value)) << bad;
    }
}
