#include "Platform.h"

namespace plat {

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD access, HKEY* result) {
    return ::RegOpenKeyExA(root, subKey, options, access, result);
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                      BYTE* data, DWORD* dataSize) {
    return ::RegQueryValueExA(key, valueName, reserved, type, data, dataSize);
}

LONG RegCloseKey(HKEY key) { return ::RegCloseKey(key); }

}  // namespace plat
