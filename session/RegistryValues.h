// Reading the library's settings from HKEY_LOCAL_MACHINE (on Linux, the
// registry file of the platform layer).
#pragma once

#include <stddef.h>
#include <stdint.h>

// A REG_DWORD value; false when the key or value is absent or of another
// type or size.
bool ReadRegistryDword(const char* keyName, const char* valueName, uint32_t* value);
// A REG_SZ value into out, NUL-terminated; empty when absent, of another
// type or longer than out.
void ReadRegistryString(const char* keyName, const char* valueName, char* out, size_t outSize);
