// Pure helpers: reply accumulation, reply numbers, the passive reply.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "session/FieldSizes.h"
#include "session/ReplyText.h"
#include "workers/PassiveReply.h"

namespace {

void Append(char* field, size_t fieldSize, const std::string& piece) {
    AppendReplyPiece(field, fieldSize, piece.data(), piece.size());
}

}  // namespace

TEST(ReplyText, AppendKeepsTheNewestTextWithinTheField) {
    char field[16] = "";
    Append(field, sizeof field, "220 ");
    Append(field, sizeof field, "ready\r\n");
    EXPECT_STREQ("220 ready\r\n", field);
    Append(field, sizeof field, "150 abcdefgh");  // 11 + 12 > 15
    EXPECT_STREQ("y\r\n150 abcdefgh", field);
    Append(field, sizeof field, std::string(100, 'x') + "226 ");
    EXPECT_EQ(15u, strlen(field));
    EXPECT_TRUE(HasReplyCode(field, "226 "));
}

// A line longer than the field keeps its code and the number after it, and
// its end; a NUL byte neither ends the text nor hides the line feed after it.
TEST(ReplyText, LongLinesKeepTheirHeadAndNulBytesAreKept) {
    char field[kTextFieldSize] = "";
    Append(field, sizeof field, "213 100000 " + std::string(400, 'x'));
    Append(field, sizeof field, "\r\n");
    EXPECT_EQ(kTextFieldSize - 1, strlen(field));
    EXPECT_EQ(100000, ReplyFileSize(field));
    EXPECT_TRUE(HasLineFeed(field));

    char small[16] = "";
    Append(small, sizeof small, std::string("250 ok") + '\0' + "\r\n");
    EXPECT_STREQ("250 ok?\r\n", small);
    Append(small, sizeof small, std::string(1, '\0') + "213 1\r\n");
    EXPECT_TRUE(HasReplyCode(small, "213 "));
}

TEST(ReplyText, NumbersAfterCodes) {
    EXPECT_EQ(1048576, ReplyNumberAfter("213 1048576\r\n", "213 "));
    EXPECT_EQ(0, ReplyNumberAfter("550 nope\r\n", "213 "));
    EXPECT_EQ(987, ReplyFileSize("213 987\r\n"));
    EXPECT_EQ(0, ReplyFileSize("213 0\r\n"));
    EXPECT_EQ(-1, ReplyFileSize("213 -5\r\n"));
    EXPECT_EQ(2147483647, ReplyFileSize("213 2147483647\r\n"));
    EXPECT_EQ(-1, ReplyFileSize("213 2147483648\r\n"));
    EXPECT_EQ(-1, ReplyFileSize("213 99999999999999999999999\r\n"));
    EXPECT_EQ(-1, ReplyFileSize("550 missing\r\n"));
    EXPECT_EQ(2147483647, ParseLeadingInt("99999999999999999999"));
}

TEST(ReplyText, CommandTextSafety) {
    EXPECT_TRUE(IsSafeCommandText("a.bin", 260));
    EXPECT_FALSE(IsSafeCommandText(nullptr, 260));
    EXPECT_FALSE(IsSafeCommandText("a\r\nDELE b", 260));
    EXPECT_FALSE(IsSafeCommandText("a\nb", 260));
    EXPECT_TRUE(IsSafeCommandText(std::string(259, 'a').c_str(), 260));
    EXPECT_FALSE(IsSafeCommandText(std::string(260, 'a').c_str(), 260));
}

namespace {

struct Parsed {
    bool ok;
    std::string address;
    uint16_t port;
};

Parsed Parse(const char* reply) {
    Parsed result = {false, "", 0};
    char address[260];
    result.ok = ParsePassiveReply(reply, address, sizeof address, &result.port);
    if (result.ok) result.address = address;
    return result;
}

}  // namespace

TEST(PassiveReply, AddressAndPort) {
    Parsed p = Parse("227 Entering Passive Mode (10,0,0,5,4,1).\r\n");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ("10.0.0.5", p.address);
    EXPECT_EQ(4 * 256 + 1, p.port);
    p = Parse("227 Entering Passive Mode (192,168,1,20,3,9)");
    EXPECT_EQ("192.168.1.20", p.address);
    EXPECT_EQ(777, p.port);
}

TEST(PassiveReply, TextAfterTheLastNumberAndPortWrap) {
    Parsed p = Parse("227 (10,0,0,5,4,1 ok)\r\n");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(1025, p.port);
    p = Parse("227 (127,0,0,1,256,1)\r\n");  // 65537 wraps to 1
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(1, p.port);
    p = Parse("227 (127,0,0,1,99999999999,5)\r\n");  // absurd, but no overflow
    EXPECT_TRUE(p.ok);
}

TEST(PassiveReply, UnparsableRepliesAreRefused) {
    EXPECT_FALSE(Parse("227 Entering Passive Mode 127,0,0,1,4,1\r\n").ok);
    EXPECT_FALSE(Parse("227 Entering Passive Mode (127,0,0,1,4\r\n").ok);
    EXPECT_FALSE(Parse("227 (127,0,0,1)\r\n").ok);
    EXPECT_FALSE(Parse("227 )(127,0,0,1,4,1\r\n").ok);
}

TEST(ReplyText, NegativeRepliesNeedCodeBlankAndLineFeed) {
    EXPECT_TRUE(HasNegativeReply("550 No such file or directory.\r\n"));
    EXPECT_TRUE(HasNegativeReply("150 Opening.\r\n425 Can't open data connection.\r\n"));
    EXPECT_FALSE(HasNegativeReply("550 No such file"));  // not complete yet
    EXPECT_FALSE(HasNegativeReply("226 Transfer complete.\r\n"));
    EXPECT_FALSE(HasNegativeReply("550-Multi line\r\n"));
    EXPECT_FALSE(HasNegativeReply("x550 y\r\n"));
}
