// The text file that stands in for HKEY_LOCAL_MACHINE on Linux (the format
// is described at the top of Registry.cpp).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Platform.h"

namespace plat {

struct RegistryValue {
    DWORD type;
    std::vector<BYTE> data;
};

class RegistryFile {
public:
    // Value names, lower-cased (names are case-insensitive, as on Win32).
    typedef std::map<std::string, RegistryValue> Values;

    // False when the file cannot be read. Lines that cannot be understood are
    // skipped; their numbers are listed in MalformedLines().
    bool Load(const std::string& path);
    void Parse(const std::string& text);

    // True for a key that has a section, or a section below it, as a key
    // with subkeys exists on Win32 even without values of its own.
    bool HasKey(const std::string& keyPath) const;
    // The values of a key; empty for a key without a section of its own.
    Values ValuesOf(const std::string& keyPath) const;
    const std::vector<int>& MalformedLines() const { return m_MalformedLines; }

    // Key paths and value names compare case-insensitively, as on Win32.
    static std::string NormaliseName(const std::string& name);

private:
    bool ParseLine(const std::string& line, std::string* currentKey);

    std::map<std::string, Values> m_Keys;
    std::vector<int> m_MalformedLines;
};

}  // namespace plat
