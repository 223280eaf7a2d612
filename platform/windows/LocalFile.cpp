// CFile on Win32 file handles; the share flags are enforced by Windows.
#include <stdio.h>

#include "LocalFile.h"
#include "Platform.h"

namespace plat {
namespace {

const unsigned kAccessMask = CFile::modeWrite | CFile::modeReadWrite;
const unsigned kShareMask = CFile::shareExclusive | CFile::shareDenyWrite;

DWORD DesiredAccessOf(unsigned flags) {
    switch (flags & kAccessMask) {
        case CFile::modeWrite:
            return GENERIC_WRITE;
        case CFile::modeReadWrite:
            return GENERIC_READ | GENERIC_WRITE;
        default:
            return GENERIC_READ;
    }
}

// No share flag means exclusive, the compatibility mode of the original
// file class.
DWORD ShareModeOf(unsigned flags) {
    return (flags & kShareMask) == CFile::shareDenyWrite ? FILE_SHARE_READ : 0;
}

void DescribeFailure(const char* path, DWORD error, char* errorText, unsigned errorTextSize) {
    if (!errorText || !errorTextSize) return;
    char message[256] = "";
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                     0, message, sizeof message, nullptr);
    snprintf(errorText, errorTextSize, "%s: %s (error %lu)", path, message,
             static_cast<unsigned long>(error));
}

HANDLE HandleOf(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

}  // namespace

bool CFile::GetStatus(const char* path) {
    return path && ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool CFile::Open(const char* path, unsigned flags, char* errorText, unsigned errorTextSize) {
    Close();
    if (!path) {
        DescribeFailure("(null)", ERROR_INVALID_PARAMETER, errorText, errorTextSize);
        return false;
    }
    const HANDLE file = ::CreateFileA(path, DesiredAccessOf(flags), ShareModeOf(flags), nullptr,
                                      (flags & modeCreate) ? CREATE_ALWAYS : OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DescribeFailure(path, ::GetLastError(), errorText, errorTextSize);
        return false;
    }
    m_hFile = reinterpret_cast<intptr_t>(file);
    return true;
}

bool CFile::Write(const void* data, unsigned length) {
    if (!IsOpen()) return false;
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        DWORD written = 0;
        if (!::WriteFile(HandleOf(m_hFile), next, length, &written, nullptr) || written == 0) {
            return false;
        }
        next += written;
        length -= written;
    }
    return true;
}

void CFile::Close() {
    if (!IsOpen()) return;
    ::CloseHandle(HandleOf(m_hFile));
    m_hFile = -1;
}

bool IsLocalPathSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace plat
