#include "Console.h"

#include <stdint.h>
#include <stdio.h>

#include "IFtpClient.h"

namespace {

// The length of the UTF-8 sequence at text[at] when it is a well-formed one
// for a printable character (not U+0080-U+009F, the C1 controls); else 0.
size_t PrintableSequence(const std::string& text, size_t at) {
    unsigned char lead = (unsigned char)text[at];
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size()) return 0;
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = (unsigned char)text[at + i];
        if ((next & 0xC0) != 0x80) return 0;
        code = (code << 6) | (next & 0x3F);
    }
    bool shortest = length == 2 || (length == 3 && code >= 0x800) || (length == 4 && code >= 0x10000);
    bool valid = shortest && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    return valid && code > 0x9F ? length : 0;
}

}  // namespace

std::string EscapeForConsole(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string escaped;
    for (size_t at = 0; at < text.size();) {
        unsigned char c = (unsigned char)text[at];
        if (c >= 0x20 && c < 0x7F) {
            escaped += c == '\\' ? "\\\\" : std::string(1, (char)c);
            ++at;
            continue;
        }
        size_t sequence = c >= 0x80 ? PrintableSequence(text, at) : 0;
        if (sequence > 0) {
            escaped.append(text, at, sequence);
            at += sequence;
            continue;
        }
        switch (c) {
        case '\r': escaped += "\\r"; break;
        case '\n': escaped += "\\n"; break;
        case '\t': escaped += "\\t"; break;
        default:
            escaped += "\\x";
            escaped += kHex[c >> 4];
            escaped += kHex[c & 15];
            break;
        }
        ++at;
    }
    return escaped;
}

void Console::Write(const std::string& line) {
    std::string escaped = EscapeForConsole(line);
    std::lock_guard<std::mutex> lock(m_Mutex);
    fprintf(stderr, "ftpgateway: %s\n", escaped.c_str());
    fflush(stderr);
}

void Console::Progress(const std::string& line) {
    if (!m_bQuiet) Write(line);
}

void Console::Error(const std::string& line) {
    Write(line);
}
