// The reply reader and the reply-text helpers against independent readings
// of the same text.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz/targets/FuzzInput.h"
#include "fuzz/targets/FuzzTargets.h"
#include "session/FieldSizes.h"
#include "session/ReplyReader.h"
#include "session/ReplyText.h"
#include "workers/PassiveReply.h"

namespace {

const size_t kMaxPieces = 64;

// strtoll reads the same syntax (blanks, sign, decimal digits); clamping
// its saturated result gives what the saturating reader must return.
int ClampedDecimal(const char* text) {
    long long value = strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return (int)value;
}

void CheckLeadingInt(const char* text) {
    FuzzCheck(ParseLeadingInt(text) == ClampedDecimal(text),
              "ParseLeadingInt differs from a clamped strtoll");
}

void CheckFileSize(const FtpReply& reply) {
    int64_t size = -1;
    if (!ParseReplySize(reply, &size)) return;
    FuzzCheck(reply.code == 213, "a size from a reply other than \"213 \"");
    FuzzCheck(size >= 0 && (unsigned long long)size == strtoull(reply.text + 3, nullptr, 10),
              "ParseReplySize is not the number after the code");
}

void CheckReply(const FtpReply& reply) {
    FuzzCheck(reply.code >= 100 && reply.code <= 599, "reply code out of range");
    FuzzCheck(memchr(reply.text, '\0', sizeof reply.text) != nullptr, "reply text without its NUL");
    FuzzCheck(strchr(reply.text, '\n') == nullptr, "reply text holds a line feed");
    FuzzCheck(atoi(reply.text) == reply.code && strlen(reply.text) >= 3,
              "reply text does not start with its code");
    FuzzCheck(reply.text[3] == '\0' || reply.text[3] == ' ', "a reply's final line without a blank");
}

// The address goes into a buffer of exactly addressSize bytes, so writing
// past it is caught by the address sanitizer.
void CheckPassiveReply(const char* text, size_t addressSize) {
    std::unique_ptr<char[]> address(new char[addressSize]);
    memset(address.get(), 'x', addressSize);
    uint16_t port = 0;
    if (!ParsePassiveReply(text, address.get(), addressSize, &port)) return;
    FuzzCheck(memchr(address.get(), '\0', addressSize) != nullptr,
              "ParsePassiveReply left the address without its NUL");
    const char* open = strchr(text, '(');
    FuzzCheck(open != nullptr && strchr(open, ')') != nullptr,
              "ParsePassiveReply accepted text without parentheses");
}

void CheckPiece(const char* text, size_t addressSize) {
    CheckLeadingInt(text);
    CheckPassiveReply(text, addressSize);
}

std::vector<std::string> Texts(CReplyReader* reader) {
    std::vector<std::string> texts;
    FtpReply reply;
    while (reader->Next(&reply)) {
        CheckReply(reply);
        CheckFileSize(reply);
        texts.push_back(reply.text);
    }
    return texts;
}

}  // namespace

// However the text is cut into receives, the reader finds the same replies
// as when it arrives in one piece.
void FuzzReplyText(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    size_t choice = input.TakeByte();
    size_t addressSize = choice == 0 ? kTextFieldSize : (choice % 32) + 1;
    CReplyReader cut, whole;
    std::vector<std::string> fromPieces;
    std::string all;
    for (const std::string& piece : SplitAt(input.TakeRest(), kPieceEnd, kMaxPieces)) {
        CheckPiece(piece.c_str(), addressSize);
        cut.Append(piece.data(), piece.size());
        for (const std::string& text : Texts(&cut)) {
            CheckPiece(text.c_str(), addressSize);
            fromPieces.push_back(text);
        }
        all += piece;
    }
    whole.Append(all.data(), all.size());
    std::vector<std::string> fromWhole = Texts(&whole);
    // Only a flood beyond what the reader keeps waiting may differ.
    if (fromWhole.size() < CReplyReader::kMaxWaitingReplies) {
        FuzzCheck(fromPieces == fromWhole, "the replies depend on how the text was cut");
    }
}
