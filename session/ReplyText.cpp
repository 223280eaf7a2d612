#include "session/ReplyText.h"

#include <limits.h>
#include <string.h>

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

bool ParseReplySize(const FtpReply& reply, int64_t* size) {
    if (reply.code != 213) return false;
    const char* p = reply.text + 3;
    while (*p == ' ') ++p;
    if (*p < '0' || *p > '9') return false;
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        int digit = *p - '0';
        if (value > (INT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *size = value;
    return true;
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
