#include "session/ReplyText.h"

#include <limits.h>
#include <string.h>

namespace {

// A received NUL would end the text early and hide the rest of the reply,
// line feed included; it stands as a character that can form no code.
const char kNulStandIn = '?';

// Appends one byte to a full field. While the field holds a line feed, the
// oldest byte goes. When the whole field is one unfinished line, its head
// (where the code and its numbers are) stays and the oldest byte after the
// head goes instead.
void AppendToFullField(char* field, size_t capacity, char byte) {
    size_t drop = memchr(field, '\n', capacity) != nullptr ? 0 : capacity / 4;
    memmove(field + drop, field + drop + 1, capacity - drop - 1);
    field[capacity - 1] = byte;
}

}  // namespace

void AppendReplyPiece(char* field, size_t fieldSize, const char* piece, size_t pieceLength) {
    if (fieldSize == 0) return;
    const size_t capacity = fieldSize - 1;
    if (capacity == 0) {
        field[0] = '\0';
        return;
    }
    size_t held = strnlen(field, capacity);
    for (size_t i = 0; i < pieceLength; ++i) {
        char byte = piece[i] != '\0' ? piece[i] : kNulStandIn;
        if (held < capacity) {
            field[held++] = byte;
        } else {
            AppendToFullField(field, capacity, byte);
        }
    }
    field[held] = '\0';
}

bool HasReplyCode(const char* text, const char* code) {
    return strstr(text, code) != nullptr;
}

bool HasNegativeReply(const char* text) {
    for (const char* line = text; *line != '\0';) {
        const char* end = strchr(line, '\n');
        if (end == nullptr) return false;
        if ((line[0] == '4' || line[0] == '5') && line[1] >= '0' && line[1] <= '9' &&
            line[2] >= '0' && line[2] <= '9' && line[3] == ' ') {
            return true;
        }
        line = end + 1;
    }
    return false;
}

bool HasLineFeed(const char* text) {
    return strchr(text, '\n') != nullptr;
}

bool HasReplyLine(const char* text, const char* code) {
    size_t length = strlen(code);
    for (const char* line = text; line != nullptr; line = strchr(line, '\n')) {
        if (*line == '\n') ++line;
        if (strncmp(line, code, length) == 0) return true;
    }
    return false;
}

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

int LastReplyCode(const char* text) {
    int code = 0;
    const char* line = text;
    for (const char* end = strchr(line, '\n'); end != nullptr; end = strchr(line, '\n')) {
        if (end - line >= 4 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
            line[3] == ' ') {
            code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        }
        line = end + 1;
    }
    return code;
}

int ReplyNumberAfter(const char* text, const char* code) {
    const char* found = strstr(text, code);
    if (found == nullptr) return 0;
    return ParseLeadingInt(found + strlen(code));
}

int ReplyFileSize(const char* text) {
    const char* found = strstr(text, "213 ");
    if (found == nullptr) return -1;
    const char* p = found + 4;
    while (*p == ' ') ++p;
    if (*p < '0' || *p > '9') return -1;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) return -1;
    }
    return (int)value;
}

int ParseLeadingInt(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > (long long)INT_MAX + 1) value = (long long)INT_MAX + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return (int)value;
}

void CopyToField(char* field, size_t fieldSize, const char* text) {
    size_t length = strnlen(text, fieldSize - 1);
    memcpy(field, text, length);
    field[length] = '\0';
}

bool IsSafeCommandText(const char* text, size_t limit) {
    if (text == nullptr) return false;
    size_t length = strnlen(text, limit);
    if (length >= limit) return false;
    return strpbrk(text, "\r\n") == nullptr;
}
