#include "workers/PassiveReply.h"

#include <string.h>

#include "session/ReplyText.h"

bool ParsePassiveReply(const char* reply, char* address, size_t addressSize, uint16_t* port) {
    const char* open = strchr(reply, '(');
    if (open == nullptr) return false;
    const char* close = strchr(open, ')');
    if (close == nullptr) return false;
    size_t length = (size_t)(close - open - 1);
    char inner[260];
    if (length >= sizeof inner) return false;
    memcpy(inner, open + 1, length);
    inner[length] = '\0';

    int commas = 0;
    for (const char* p = inner; *p != '\0'; ++p) commas += (*p == ',');
    if (commas < 5) return false;

    char* last = strrchr(inner, ',');
    int64_t low = ParseLeadingInt(last + 1);
    *last = '\0';
    char* previous = strrchr(inner, ',');
    int64_t high = ParseLeadingInt(previous + 1);
    *previous = '\0';
    *port = (uint16_t)((uint64_t)(high * 256 + low) & 0xFFFFu);

    for (char* p = inner; *p != '\0'; ++p) {
        if (*p == ',') *p = '.';
    }
    size_t addressLength = strlen(inner);
    if (addressLength >= addressSize) return false;
    memcpy(address, inner, addressLength + 1);
    return true;
}
