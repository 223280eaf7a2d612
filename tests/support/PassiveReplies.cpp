#include "PassiveReplies.h"

#include <cctype>
#include <cstring>

namespace relay {

namespace {

bool IsDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Where the six numbers of a 227 line are: [*begin, *end), each 0..255.
bool FindSixNumbers(const std::string& line, size_t* begin, size_t* end, unsigned numbers[6]) {
    if (line.compare(0, 4, "227 ") != 0) return false;
    // Servers put them in parentheses; some put none, so the first digit
    // after the code starts them then.
    size_t open = line.find('(', 4);
    size_t at = open != std::string::npos ? open + 1 : 4;
    while (at < line.size() && !IsDigit(line[at])) ++at;
    *begin = at;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            if (at >= line.size() || line[at] != ',') return false;
            ++at;
        }
        size_t first = at;
        unsigned value = 0;
        while (at < line.size() && IsDigit(line[at]) && at - first < 3) value = value * 10 + (line[at++] - '0');
        if (at == first || value > 255 || (at < line.size() && IsDigit(line[at]))) return false;
        numbers[i] = value;
    }
    *end = at;
    return true;
}

// The digits of a 229 line's port: "(<d><d><d>port<d>)" with any delimiter d.
bool FindPortDigits(const std::string& line, size_t* begin, size_t* end, uint16_t* port) {
    if (line.compare(0, 4, "229 ") != 0) return false;
    size_t open = line.find('(', 4);
    if (open == std::string::npos || open + 4 >= line.size()) return false;
    char delimiter = line[open + 1];
    if (line[open + 2] != delimiter || line[open + 3] != delimiter) return false;
    size_t at = open + 4;
    unsigned long value = 0;
    while (at < line.size() && IsDigit(line[at]) && value <= 65535) value = value * 10 + (line[at++] - '0');
    if (at == open + 4 || value == 0 || value > 65535 || at >= line.size() || line[at] != delimiter) {
        return false;
    }
    *begin = open + 4;
    *end = at;
    *port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

bool ReadPassiveReply(const std::string& line, uint32_t* address, uint16_t* port) {
    size_t begin = 0;
    size_t end = 0;
    unsigned n[6];
    if (!FindSixNumbers(line, &begin, &end, n)) return false;
    // Network byte order: the first number is the first byte in memory.
    const unsigned char bytes[4] = {static_cast<unsigned char>(n[0]), static_cast<unsigned char>(n[1]),
                                    static_cast<unsigned char>(n[2]), static_cast<unsigned char>(n[3])};
    std::memcpy(address, bytes, sizeof bytes);
    *port = static_cast<uint16_t>(n[4] * 256 + n[5]);
    return *port != 0;
}

std::string RewritePassiveReply(const std::string& line, uint32_t address, uint16_t port) {
    size_t begin = 0;
    size_t end = 0;
    unsigned n[6];
    if (!FindSixNumbers(line, &begin, &end, n)) return line;
    unsigned char bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    std::string numbers;
    for (unsigned char byte : bytes) numbers += std::to_string(byte) + ",";
    numbers += std::to_string(port / 256) + "," + std::to_string(port % 256);
    return line.substr(0, begin) + numbers + line.substr(end);
}

bool ReadExtendedPassiveReply(const std::string& line, uint16_t* port) {
    size_t begin = 0;
    size_t end = 0;
    return FindPortDigits(line, &begin, &end, port);
}

std::string RewriteExtendedPassiveReply(const std::string& line, uint16_t port) {
    size_t begin = 0;
    size_t end = 0;
    uint16_t announced = 0;
    if (!FindPortDigits(line, &begin, &end, &announced)) return line;
    return line.substr(0, begin) + std::to_string(port) + line.substr(end);
}

}  // namespace relay
