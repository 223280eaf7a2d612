#include "ByteRange.h"

#include <ctype.h>

namespace {

// Whole decimal numbers only; one beyond 2^64 is no number.
bool ParseNumber(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (!isdigit((unsigned char)c)) return false;
        result = result * 10 + (uint64_t)(c - '0');
    }
    *value = result;
    return true;
}

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

ByteRange JudgeRange(const std::string& header, uint64_t size) {
    ByteRange whole;
    std::string value = Trimmed(header);
    const std::string unit = "bytes=";
    if (value.compare(0, unit.size(), unit) != 0) return whole;
    std::string asked = Trimmed(value.substr(unit.size()));
    if (asked.find(',') != std::string::npos) return whole;
    size_t dash = asked.find('-');
    if (dash == std::string::npos) return whole;
    std::string firstText = Trimmed(asked.substr(0, dash));
    std::string lastText = Trimmed(asked.substr(dash + 1));

    ByteRange range;
    range.kind = ByteRange::kPart;
    uint64_t first = 0;
    uint64_t last = 0;
    if (firstText.empty()) {
        // The last n bytes; a suffix longer than the file means all of it.
        uint64_t suffix = 0;
        if (!ParseNumber(lastText, &suffix)) return whole;
        if (suffix == 0 || size == 0) {
            range.kind = ByteRange::kUnsatisfiable;
            return range;
        }
        range.first = suffix >= size ? 0 : size - suffix;
        range.last = size - 1;
        return range;
    }
    if (!ParseNumber(firstText, &first)) return whole;
    if (!lastText.empty()) {
        if (!ParseNumber(lastText, &last)) return whole;
        if (last < first) return whole;  // invalid: ignored, not refused
    }
    if (first >= size) {
        range.kind = ByteRange::kUnsatisfiable;
        return range;
    }
    range.first = first;
    range.last = lastText.empty() || last >= size ? size - 1 : last;
    return range;
}

bool StartBeforeSize(const std::string& header, uint64_t* first, uint64_t* last) {
    ByteRange range = JudgeRange(header, UINT64_MAX);
    std::string value = Trimmed(header);
    bool suffix = range.kind != ByteRange::kWhole &&
                  Trimmed(value.substr(value.find('=') + 1)).compare(0, 1, "-") == 0;
    if (suffix || range.kind == ByteRange::kUnsatisfiable) return false;
    *first = range.kind == ByteRange::kPart ? range.first : 0;
    *last = range.kind == ByteRange::kPart ? range.last : UINT64_MAX - 1;
    return true;
}

std::string ContentRangeOf(const ByteRange& range, uint64_t size) {
    if (range.kind == ByteRange::kUnsatisfiable) return "bytes */" + std::to_string(size);
    return "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) + "/" +
           std::to_string(size);
}
