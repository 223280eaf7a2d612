#include "session/RegistryValues.h"

#include "platform/Platform.h"

namespace {

// The value's type and bytes; false when the key or value is absent.
bool Query(const char* keyName, const char* valueName, plat::DWORD* type, void* data,
           plat::DWORD* size) {
    plat::HKEY key;
    if (plat::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    plat::LONG result =
        plat::RegQueryValueExA(key, valueName, nullptr, type, (plat::BYTE*)data, size);
    plat::RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

}  // namespace

bool ReadRegistryDword(const char* keyName, const char* valueName, uint32_t* value) {
    uint32_t read = 0;
    plat::DWORD type = 0;
    plat::DWORD size = sizeof read;
    if (!Query(keyName, valueName, &type, &read, &size)) return false;
    if (type != REG_DWORD || size != sizeof read) return false;
    *value = read;
    return true;
}

void ReadRegistryString(const char* keyName, const char* valueName, char* out, size_t outSize) {
    if (outSize == 0) return;
    out[0] = '\0';
    plat::DWORD type = 0;
    plat::DWORD size = (plat::DWORD)outSize;
    if (!Query(keyName, valueName, &type, out, &size) || type != REG_SZ || size == 0 ||
        size > outSize) {
        out[0] = '\0';
        return;
    }
    out[size - 1] = '\0';
}
