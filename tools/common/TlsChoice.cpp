#include "tools/common/TlsChoice.h"

#include <stdio.h>
#include <stdlib.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <fstream>
#include <sstream>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const char kTlsKey[] = "SOFTWARE\\Pellacorde\\Ravelline\\Setting\\Tls";
const char kPinsKey[] = "SOFTWARE\\Pellacorde\\Ravelline\\Setting\\Tls\\Pins";

// The addresses of "a|b" without the scheme.
std::vector<std::string> ServerNames(const std::string& server) {
    std::string bare = server;
    size_t scheme = bare.find("://");
    if (scheme != std::string::npos) bare = bare.substr(scheme + 3);
    std::vector<std::string> names;
    std::stringstream parts(bare);
    for (std::string name; std::getline(parts, name, '|');) {
        if (!name.empty()) names.push_back(name);
    }
    return names;
}

#ifdef _WIN32
// A value as it stood before this run wrote it; put back at exit, so the
// trust a run asked for does not stay in the machine's registry for later
// ones. (HKLM cannot be redirected for the process alone: the system's
// certificate checks read it too.)
struct SavedValue {
    std::string keyName, name;
    bool existed = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

std::vector<SavedValue>& SavedValues() {
    static std::vector<SavedValue> values;
    return values;
}

void RestoreSavedValues() {
    std::vector<SavedValue>& values = SavedValues();
    for (auto value = values.rbegin(); value != values.rend(); ++value) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, value->keyName.c_str(), 0, KEY_SET_VALUE, &key) !=
            ERROR_SUCCESS) {
            continue;
        }
        if (value->existed) {
            RegSetValueExA(key, value->name.c_str(), 0, value->type, value->data.data(),
                           (DWORD)value->data.size());
        } else {
            RegDeleteValueA(key, value->name.c_str());
        }
        RegCloseKey(key);
    }
    values.clear();
}

void SaveValue(HKEY key, const char* keyName, const char* name) {
    SavedValue saved;
    saved.keyName = keyName;
    saved.name = name;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
        saved.data.resize(size);
        saved.existed = RegQueryValueExA(key, name, nullptr, &saved.type, saved.data.data(),
                                         &size) == ERROR_SUCCESS;
        saved.data.resize(size);
    }
    if (SavedValues().empty()) atexit(RestoreSavedValues);
    SavedValues().push_back(saved);
}

bool WriteString(const char* keyName, const char* name, const std::string& value,
                 std::string* error) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        *error = std::string("cannot write the registry key HKLM\\") + keyName;
        return false;
    }
    SaveValue(key, keyName, name);
    LONG result = RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)value.c_str(),
                                 (DWORD)value.size() + 1);
    RegCloseKey(key);
    if (result == ERROR_SUCCESS) return true;
    *error = std::string("cannot write ") + name + " under HKLM\\" + keyName;
    return false;
}
#else
// The registry file the library reads now, with the Tls settings added, as a
// file of this process's own that FTPCLIENT_REGISTRY then names.
bool WriteRegistryFile(const std::string& server, const TlsChoice& choice, std::string* error) {
    const char* current = getenv("FTPCLIENT_REGISTRY");
    std::string base = (current != nullptr && *current != '\0') ? current
                                                                 : "/etc/ftpclient/registry.reg";
    std::stringstream text;
    std::ifstream existing(base);
    if (existing) text << existing.rdbuf() << "\n";
    if (!choice.caFile.empty()) {
        text << "[HKEY_LOCAL_MACHINE\\" << kTlsKey << "]\n\"CaFile\"=\"" << choice.caFile << "\"\n";
    }
    if (!choice.pinSha256.empty()) {
        text << "[HKEY_LOCAL_MACHINE\\" << kPinsKey << "]\n";
        for (const std::string& name : ServerNames(server)) {
            text << "\"" << name << "\"=\"" << choice.pinSha256 << "\"\n";
        }
    }
    const char* folder = getenv("TMPDIR");
    std::string path = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                       "/ftpclient-tls-" + std::to_string((long)getpid()) + ".reg";
    std::ofstream out(path, std::ios::trunc);
    out << text.str();
    if (!out) {
        *error = "cannot write " + path;
        return false;
    }
    setenv("FTPCLIENT_REGISTRY", path.c_str(), 1);
    return true;
}
#endif

}  // namespace

std::string AddressWithScheme(const std::string& server, const TlsChoice& choice) {
    if (server.find("://") != std::string::npos) return server;
    if (choice.implicitTls) return "ftps://" + server;
    if (choice.explicitTls) return "ftpes://" + server;
    return "ftp://" + server;
}

bool ApplyTlsTrust(const std::string& server, const TlsChoice& choice, std::string* error) {
    if (choice.caFile.empty() && choice.pinSha256.empty()) return true;
#ifdef _WIN32
    if (!choice.caFile.empty() && !WriteString(kTlsKey, "CaFile", choice.caFile, error)) {
        return false;
    }
    if (!choice.pinSha256.empty()) {
        for (const std::string& name : ServerNames(server)) {
            if (!WriteString(kPinsKey, name.c_str(), choice.pinSha256, error)) return false;
        }
    }
    return true;
#else
    return WriteRegistryFile(server, choice, error);
#endif
}
