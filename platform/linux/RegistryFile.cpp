#include "RegistryFile.h"

#include <ctype.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace plat {
namespace {

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsIgnorable(const std::string& line) {
    return line.empty() || line[0] == ';' || line[0] == '#' || line == "REGEDIT4" ||
           line.compare(0, 31, "Windows Registry Editor Version") == 0;
}

// A quoted string starting at *pos, with \" and \\ escapes; *pos ends after
// the closing quote.
bool ParseQuoted(const std::string& line, size_t* pos, std::string* text) {
    if (*pos >= line.size() || line[*pos] != '"') return false;
    text->clear();
    for (size_t i = *pos + 1; i < line.size(); ++i) {
        if (line[i] == '"') {
            *pos = i + 1;
            return true;
        }
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        text->push_back(line[i]);
    }
    return false;
}

bool ParseHexNumber(const std::string& digits, size_t maxDigits, unsigned long* number) {
    if (digits.empty() || digits.size() > maxDigits) return false;
    for (char c : digits) {
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    }
    *number = strtoul(digits.c_str(), nullptr, 16);
    return true;
}

bool ParseDword(const std::string& digits, RegistryValue* value) {
    unsigned long number = 0;
    if (!ParseHexNumber(digits, 8, &number)) return false;
    value->type = REG_DWORD;
    for (int shift = 0; shift < 32; shift += 8) {
        value->data.push_back(static_cast<BYTE>(number >> shift));  // little-endian, as Win32
    }
    return true;
}

bool ParseHexBytes(const std::string& list, RegistryValue* value) {
    value->type = REG_BINARY;
    if (Trim(list).empty()) return true;
    std::istringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        unsigned long byte = 0;
        if (!ParseHexNumber(Trim(item), 2, &byte)) return false;
        value->data.push_back(static_cast<BYTE>(byte));
    }
    return true;
}

// A REG_SZ keeps its terminating NUL in the data, as Win32 reports it.
bool ParseString(const std::string& data, RegistryValue* value) {
    size_t pos = 0;
    std::string text;
    if (!ParseQuoted(data, &pos, &text) || pos != data.size()) return false;
    value->type = REG_SZ;
    value->data.assign(text.begin(), text.end());
    value->data.push_back(0);
    return true;
}

bool ParseData(const std::string& data, RegistryValue* value) {
    const std::string lower = Lower(data);
    if (lower.compare(0, 6, "dword:") == 0) return ParseDword(data.substr(6), value);
    if (lower.compare(0, 4, "hex:") == 0) return ParseHexBytes(data.substr(4), value);
    return ParseString(data, value);
}

// "name"=data, or @=data for the key's default value (an empty name).
bool ParseValueLine(const std::string& line, std::string* name, RegistryValue* value) {
    size_t pos = 0;
    if (line[0] == '@') {
        name->clear();
        pos = 1;
    } else if (!ParseQuoted(line, &pos, name)) {
        return false;
    }
    const std::string rest = Trim(line.substr(pos));
    if (rest.empty() || rest[0] != '=') return false;
    return ParseData(Trim(rest.substr(1)), value);
}

}  // namespace

std::string RegistryFile::NormaliseName(const std::string& name) { return Lower(name); }

bool RegistryFile::Load(const std::string& path) {
    std::ifstream file(path);
    if (!file) return false;
    std::ostringstream text;
    text << file.rdbuf();
    Parse(text.str());
    return true;
}

void RegistryFile::Parse(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::string currentKey;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!ParseLine(Trim(line), &currentKey)) m_MalformedLines.push_back(number);
    }
}

bool RegistryFile::ParseLine(const std::string& line, std::string* currentKey) {
    if (IsIgnorable(line)) return true;
    if (line.front() == '[') {
        if (line.size() < 3 || line.back() != ']') return false;
        *currentKey = NormaliseName(line.substr(1, line.size() - 2));
        m_Keys[*currentKey];
        return true;
    }
    std::string name;
    RegistryValue value = {0, {}};
    if (currentKey->empty() || !ParseValueLine(line, &name, &value)) return false;
    m_Keys[*currentKey][NormaliseName(name)] = value;
    return true;
}

bool RegistryFile::HasKey(const std::string& keyPath) const {
    const std::string wanted = NormaliseName(keyPath);
    if (m_Keys.count(wanted)) return true;
    const std::string subkeyPrefix = wanted + '\\';
    const auto firstBelow = m_Keys.lower_bound(subkeyPrefix);
    return firstBelow != m_Keys.end() &&
           firstBelow->first.compare(0, subkeyPrefix.size(), subkeyPrefix) == 0;
}

RegistryFile::Values RegistryFile::ValuesOf(const std::string& keyPath) const {
    const auto found = m_Keys.find(NormaliseName(keyPath));
    return found == m_Keys.end() ? Values() : found->second;
}

}  // namespace plat
