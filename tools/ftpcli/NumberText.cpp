#include "NumberText.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>

namespace {

// strtoull accepts leading blanks and a minus sign (wrapping the value);
// neither belongs in a number given on the command line.
bool StartsLikeNumber(const std::string& text, bool allowSign) {
    if (text.empty()) return false;
    char first = text[0];
    if (first >= '0' && first <= '9') return true;
    return allowSign && (first == '-' || first == '+') && text.size() > 1 && text[1] >= '0' &&
           text[1] <= '9';
}

}  // namespace

bool ParseUnsigned(const std::string& text, unsigned long long maximum, unsigned long long* value) {
    if (!StartsLikeNumber(text, false)) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed > maximum) return false;
    *value = parsed;
    return true;
}

bool ParseSigned(const std::string& text, long long minimum, long long maximum, long long* value) {
    if (!StartsLikeNumber(text, true)) return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < minimum || parsed > maximum) return false;
    *value = parsed;
    return true;
}

bool ParseReal(const std::string& text, double* value) {
    if (!StartsLikeNumber(text, true) && !(text.size() > 1 && text[0] == '.')) return false;
    errno = 0;
    char* end = nullptr;
    double parsed = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !isfinite(parsed)) return false;
    *value = parsed;
    return true;
}
