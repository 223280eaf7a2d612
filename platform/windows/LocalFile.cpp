// CFile on Win32 file handles; the share flags are enforced by Windows.
#include <stdio.h>

#include "LocalFile.h"
#include "Platform.h"

namespace plat {
namespace {

const unsigned kAccessMask = CFile::modeWrite | CFile::modeReadWrite;
const unsigned kShareMask = CFile::shareExclusive | CFile::shareDenyWrite | CFile::shareDenyNone;

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
    switch (flags & kShareMask) {
        case CFile::shareDenyWrite:
            return FILE_SHARE_READ;
        case CFile::shareDenyNone:
            return FILE_SHARE_READ | FILE_SHARE_WRITE;
        default:
            return 0;
    }
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

int CFile::Read(void* data, unsigned length) {
    if (!IsOpen()) return -1;
    DWORD got = 0;
    if (!::ReadFile(HandleOf(m_hFile), data, length, &got, nullptr)) return -1;
    return static_cast<int>(got);
}

bool CFile::Seek(int64_t position) {
    if (!IsOpen() || position < 0) return false;
    LARGE_INTEGER distance;
    distance.QuadPart = position;
    return ::SetFilePointerEx(HandleOf(m_hFile), distance, nullptr, FILE_BEGIN) != 0;
}

int64_t CFile::GetLength() const {
    LARGE_INTEGER size;
    if (!IsOpen() || !::GetFileSizeEx(HandleOf(m_hFile), &size)) return -1;
    return size.QuadPart;
}

void CFile::Close() {
    if (!IsOpen()) return;
    ::CloseHandle(HandleOf(m_hFile));
    m_hFile = -1;
}

bool IsLocalPathSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace plat
