// HKEY_LOCAL_MACHINE on Linux: keys and values come from a text file named by
// the environment variable FTPCLIENT_REGISTRY (default
// /etc/ftpclient/registry.reg), read again on every RegOpenKeyExA so that a
// changed file takes effect without restarting the host.
//
// The file uses the syntax of exported .reg files, one item per line:
//
//   ; a comment (lines starting with ';' or '#'); blank lines are ignored
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Pellacorde\Ravelline\Setting\Bind]
//   "HostIP"=dword:0100007f      REG_DWORD, 1-8 hex digits
//   "Name"="some text"           REG_SZ; \" and \\ escape a quote, a backslash
//   "Blob"=hex:01,02,03          REG_BINARY, comma-separated hex bytes
//   @="text"                     the key's default (unnamed) value
//
// Key and value names are case-insensitive, as on Windows. A key exists when
// it has a section or a section below it. A line that cannot be read is
// skipped (with a note on the debug output) and the rest of the file still
// counts; a "Windows Registry Editor Version 5.00" or "REGEDIT4" first line
// is accepted. Values continued over several lines are not supported.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "HandleTable.h"
#include "RegistryFile.h"

namespace plat {
namespace {

const char kDefaultRegistryPath[] = "/etc/ftpclient/registry.reg";
const char kLocalMachineName[] = "HKEY_LOCAL_MACHINE";

// What an open key holds: its path and its values as read when it was opened.
struct OpenKey {
    std::string path;
    RegistryFile::Values values;
};

// Never destroyed: detached threads may still read while statics are torn down.
HandleTable<OpenKey>& OpenKeys() {
    static HandleTable<OpenKey>* keys = new HandleTable<OpenKey>;
    return *keys;
}

uintptr_t IdOf(HKEY key) { return reinterpret_cast<uintptr_t>(key); }

std::string RegistryFilePath() {
    const char* path = getenv("FTPCLIENT_REGISTRY");
    return (path && *path) ? path : kDefaultRegistryPath;
}

void ReportMalformedLines(const std::string& path, const RegistryFile& file) {
    for (int line : file.MalformedLines()) {
        const std::string note = path + ":" + std::to_string(line) + ": line ignored\n";
        OutputDebugStringA(note.c_str());
    }
}

// The full path of root\subKey, or false when root is not a key.
bool KeyPathOf(HKEY root, const char* subKey, std::string* path) {
    if (root == HKEY_LOCAL_MACHINE) {
        *path = kLocalMachineName;
    } else if (const std::shared_ptr<OpenKey> parent = OpenKeys().Find(IdOf(root))) {
        *path = parent->path;
    } else {
        return false;
    }
    if (subKey && *subKey) *path += std::string("\\") + subKey;
    return true;
}

LONG CopyValueOut(const RegistryValue& value, DWORD* type, BYTE* data, DWORD* dataSize) {
    const DWORD size = static_cast<DWORD>(value.data.size());
    if (type) *type = value.type;
    if (!dataSize) return ERROR_SUCCESS;
    const DWORD room = *dataSize;
    *dataSize = size;
    if (!data) return ERROR_SUCCESS;
    if (room < size) return ERROR_MORE_DATA;
    if (size) memcpy(data, value.data.data(), size);
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD /*options*/, DWORD /*access*/,
                   HKEY* result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string path;
    if (!KeyPathOf(root, subKey, &path)) return ERROR_INVALID_HANDLE;
    const std::string filePath = RegistryFilePath();
    RegistryFile file;
    if (!file.Load(filePath)) return ERROR_FILE_NOT_FOUND;
    ReportMalformedLines(filePath, file);
    if (!file.HasKey(path)) return ERROR_FILE_NOT_FOUND;
    const RegistryFile::Values values = file.ValuesOf(path);
    const uintptr_t id = OpenKeys().Insert(std::make_shared<OpenKey>(OpenKey{path, values}));
    *result = reinterpret_cast<HKEY>(id);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* /*reserved*/, DWORD* type,
                      BYTE* data, DWORD* dataSize) {
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    const std::shared_ptr<OpenKey> open = OpenKeys().Find(IdOf(key));
    if (!open) return ERROR_INVALID_HANDLE;
    const auto found = open->values.find(RegistryFile::NormaliseName(valueName ? valueName : ""));
    if (found == open->values.end()) return ERROR_FILE_NOT_FOUND;
    return CopyValueOut(found->second, type, data, dataSize);
}

// Closing a predefined root key succeeds and changes nothing, as on Win32.
LONG RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    return OpenKeys().Remove(IdOf(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace plat
