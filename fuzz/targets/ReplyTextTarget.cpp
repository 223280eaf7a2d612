// The pure reply-text helpers against independent readings of the same
// text: each piece is judged on its own and after being appended to a
// bounded field, as the session and the workers do.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz/targets/FuzzInput.h"
#include "fuzz/targets/FuzzTargets.h"
#include "session/FieldSizes.h"
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

void CheckFileSize(const char* text) {
    int size = ReplyFileSize(text);
    FuzzCheck(size >= -1, "ReplyFileSize below -1");
    if (size < 0) return;
    const char* code = strstr(text, "213 ");
    FuzzCheck(code != nullptr, "ReplyFileSize found a size without \"213 \"");
    if (code != nullptr) {
        FuzzCheck(strtoll(code + 4, nullptr, 10) == size,
                  "ReplyFileSize is not the number after \"213 \"");
    }
}

void CheckReplyCodes(const char* text) {
    int code = LastReplyCode(text);
    FuzzCheck(code == 0 || (code >= 0 && code <= 999), "LastReplyCode out of range");
    if (code != 0 || HasNegativeReply(text)) {
        FuzzCheck(HasLineFeed(text), "a whole reply was found in text without a line feed");
    }
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
    CheckFileSize(text);
    CheckReplyCodes(text);
    CheckPassiveReply(text, addressSize);
    const char* code = strstr(text, "227 ");
    if (code != nullptr) CheckLeadingInt(code + 4);
}

// What the field must hold, kept byte by byte in a string: a NUL stands as
// "?"; a full field drops its oldest byte while it holds a line feed, and
// otherwise (one unfinished line) the byte after its first quarter.
void ModelAppend(std::string* model, const std::string& piece, size_t capacity) {
    for (char byte : piece) {
        if (byte == '\0') byte = '?';
        if (capacity > 0 && model->size() == capacity) {
            model->erase(model->find('\n') != std::string::npos ? 0 : capacity / 4, 1);
        }
        if (model->size() < capacity) model->push_back(byte);
    }
}

// The line being received: the bytes since the last line feed of all that
// was appended (NULs as "?").
void NoteLine(std::string* line, const std::string& piece) {
    for (char byte : piece) {
        if (byte == '\n') {
            line->clear();
        } else {
            line->push_back(byte == '\0' ? '?' : byte);
        }
    }
}

void CheckAppend(char* field, size_t fieldSize, std::string* model, std::string* line,
                 const std::string& piece) {
    AppendReplyPiece(field, fieldSize, piece.data(), piece.size());
    ModelAppend(model, piece, fieldSize - 1);
    NoteLine(line, piece);
    FuzzCheck(memchr(field, '\0', fieldSize) != nullptr, "AppendReplyPiece left no NUL");
    FuzzCheck(*model == field, "AppendReplyPiece did not keep what the model keeps");
    // A line longer than the field, with nothing after it, still starts the
    // field with its head and ends it with its newest bytes.
    const size_t capacity = fieldSize - 1, head = capacity / 4;
    if (line->size() > capacity && strchr(field, '\n') == nullptr) {
        FuzzCheck(line->compare(0, head, field, head) == 0, "an overlong line lost its head");
        FuzzCheck(line->compare(line->size() - (capacity - head), std::string::npos, field + head) == 0,
                  "an overlong line lost its newest bytes");
    }
}

}  // namespace

void FuzzReplyText(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    // Field and address sizes from 1 byte up; 0 picks the library's own.
    size_t choice = input.TakeByte();
    size_t fieldSize = choice == 0 ? kTextFieldSize : choice;
    size_t addressSize = choice == 0 ? kTextFieldSize : (choice % 32) + 1;
    std::unique_ptr<char[]> field(new char[fieldSize]);
    field[0] = '\0';
    std::string model, line;
    for (const std::string& piece : SplitAt(input.TakeRest(), kPieceEnd, kMaxPieces)) {
        CheckPiece(piece.c_str(), addressSize);
        CheckAppend(field.get(), fieldSize, &model, &line, piece);
        CheckPiece(field.get(), addressSize);
    }
}
