// Pure helpers: the reply reader, reply numbers, the passive reply.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "session/FieldSizes.h"
#include "session/ReplyReader.h"
#include "session/ReplyText.h"
#include "workers/COwedReplies.h"
#include "workers/PassiveReply.h"

namespace {

// What a reader makes of text received in the given pieces: each complete
// reply as "code|final line".
std::vector<std::string> Read(const std::vector<std::string>& pieces) {
    CReplyReader reader;
    std::vector<std::string> replies;
    FtpReply reply;
    for (const std::string& piece : pieces) {
        reader.Append(piece.data(), piece.size());
        while (reader.Next(&reply)) replies.push_back(std::to_string(reply.code) + "|" + reply.text);
    }
    return replies;
}

using Replies = std::vector<std::string>;

struct ReaderCase {
    const char* name;
    std::vector<std::string> pieces;
    Replies expected;
};

class ReplyReaderCases : public testing::TestWithParam<ReaderCase> {};

TEST_P(ReplyReaderCases, JudgesEachReplyByItsFinalLineOnceItHasEnded) {
    EXPECT_EQ(GetParam().expected, Read(GetParam().pieces));
}

const std::string kLong(400, 'x');

INSTANTIATE_TEST_SUITE_P(
    Pieces, ReplyReaderCases,
    testing::Values(
        ReaderCase{"Whole", {"213 987\r\n"}, {"213|213 987"}},
        ReaderCase{"CutBeforeTheLineEnd", {"213 9", "87\r", "\n"}, {"213|213 987"}},
        ReaderCase{"CutInsideTheCode", {"22", "7 Entering Passive Mode (127,0,0,1,4,1)\r\n"},
                   {"227|227 Entering Passive Mode (127,0,0,1,4,1)"}},
        ReaderCase{"TwoInOnePiece", {"150 Go.\r\n226 Done.\r\n"}, {"150|150 Go.", "226|226 Done."}},
        ReaderCase{"SecondUnfinished", {"150 Go.\r\n226 Do", "ne.\r\n"}, {"150|150 Go.", "226|226 Done."}},
        ReaderCase{"MultiLine", {"226-Stats\r\n226-more 250 x\r\n 213 y\r\n226 Done.\r\n"},
                   {"226|226 Done."}},
        ReaderCase{"MultiLineOtherCodeInside", {"220-a\r\n250 not the end\r\n220 b\r\n"}, {"220|220 b"}},
        ReaderCase{"BareLineFeedAndBareCode", {"226 Done.\n", "200\r\n"}, {"226|226 Done.", "200|200"}},
        ReaderCase{"DigitsInTextAreNoCode",
                   {"550 /tv/Show 213 .mkv: No such file\r\n"}, {"550|550 /tv/Show 213 .mkv: No such file"}},
        ReaderCase{"NoCodeNoReply", {"x226 Done.\r\n", "22\r\n", "hello\r\n", "099 low\r\n", "600 high\r\n"}, {}},
        ReaderCase{"NotEndedYet", {"226 Done."}, {}},
        ReaderCase{"NulBytesArePadding", {std::string(1, '\0') + "250 ok" + '\0' + "\r\n"}, {"250|250 ok"}},
        ReaderCase{"LongLineKeepsItsHead", {"213 100000 " + kLong, "\r\n"},
                   {"213|213 100000 " + std::string(259 - 11, 'x')}}),
    [](const testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

FtpReply ReplyOf(const char* text) {
    CReplyReader reader;
    reader.Append(text, strlen(text));
    FtpReply reply = {0, ""};
    reader.Next(&reply);
    return reply;
}

}  // namespace

TEST(ReplyReader, FloodKeepsTheNewestRepliesAndClearForgets) {
    CReplyReader reader;
    for (size_t i = 0; i < CReplyReader::kMaxWaitingReplies + 5; ++i) reader.Append("200 x\r\n", 7);
    EXPECT_EQ(CReplyReader::kMaxWaitingReplies, reader.WaitingCount());
    reader.Append("150-a\r\n226 ", 11);
    EXPECT_TRUE(reader.IsMidReply());
    reader.Clear();
    EXPECT_EQ(0u, reader.WaitingCount());
    EXPECT_FALSE(reader.IsMidReply());
    reader.Append("226 b\r\n", 7);
    FtpReply reply;
    ASSERT_TRUE(reader.Next(&reply));
    EXPECT_EQ(226, reply.code);  // the multi-line reply before Clear is forgotten
}

namespace {

// The size a reply gives, or -1 for none.
int64_t SizeOf(const char* text) {
    int64_t size = -1;
    return ParseReplySize(ReplyOf(text), &size) ? size : -1;
}

}  // namespace

TEST(ReplyText, SizesFromTheirOwnReplyOnly) {
    EXPECT_EQ(987, SizeOf("213 987\r\n"));
    EXPECT_EQ(0, SizeOf("213 0\r\n"));
    EXPECT_EQ(-1, SizeOf("213 -5\r\n"));
    EXPECT_EQ(3758096384LL, SizeOf("213 3758096384\r\n"));
    EXPECT_EQ(9223372036854775807LL, SizeOf("213 9223372036854775807\r\n"));
    EXPECT_EQ(-1, SizeOf("213 9223372036854775808\r\n"));
    EXPECT_EQ(-1, SizeOf("550 /tv/Show 213 5.mkv: No such file\r\n"));
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

// Commands sent together are answered in order: a final reply answers the
// head command only, even with a transfer command further back.
TEST(OwedReplyOrder, EachReplyAnswersTheHeadCommand) {
    COwedReplies owed;
    owed.Sent(OwedCommand::kOther);     // PASV
    owed.Sent(OwedCommand::kOther);     // REST
    owed.Sent(OwedCommand::kTransfer);  // RETR
    EXPECT_EQ(4u, owed.Replies());
    EXPECT_EQ(COwedReplies::kAnswered, owed.Take(false));  // 227
    EXPECT_EQ(3u, owed.Replies());
    EXPECT_EQ(COwedReplies::kAnswered, owed.Take(false));  // 350
    EXPECT_EQ(OwedCommand::kTransfer, owed.Head());
    EXPECT_EQ(COwedReplies::kTransferPreliminary, owed.Take(true));  // 150
    EXPECT_EQ(1u, owed.Replies());
    EXPECT_EQ(COwedReplies::kAnswered, owed.Take(true));  // pure-ftpd's 150 for an abort
    EXPECT_EQ(COwedReplies::kNothingOwed, owed.Take(false));

    owed.Sent(OwedCommand::kTransfer);
    owed.PutBackOne();  // an empty line's answer was taken as the transfer's
    EXPECT_EQ(3u, owed.Replies());
    EXPECT_EQ(COwedReplies::kAnswered, owed.Take(true));
    EXPECT_EQ(COwedReplies::kAnswered, owed.Take(false));  // "550 ": no preliminary, both gone
    EXPECT_EQ(0u, owed.Replies());
    EXPECT_EQ(0u, owed.Commands());
}
