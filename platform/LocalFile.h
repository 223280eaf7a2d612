// The local-file calls the library makes: a status check, opening with
// Windows' create / share semantics, reading and writing, 64-bit positions
// and lengths on both targets (films pass 4 GiB), closing. Windows enforces the
// share modes; Linux has no mandatory sharing, so they are advisory there.
#pragma once

#include <stdint.h>

namespace plat {

class CFile {
public:
    enum OpenFlags {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyNone = 0x0040,
        modeCreate = 0x1000,
        typeBinary = 0x8000,
    };

    CFile();
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // True when the path names an existing file (or directory).
    static bool GetStatus(const char* path);

    // False on failure; errorText (optional, errorTextSize bytes) then holds a
    // description of the failure.
    bool Open(const char* path, unsigned flags, char* errorText = nullptr,
              unsigned errorTextSize = 0);
    // False when the data could not all be written.
    bool Write(const void* data, unsigned length);
    // The bytes read, up to length: 0 at the end of the file, -1 on failure.
    int Read(void* data, unsigned length);
    // Moves to position bytes from the start; false on failure.
    bool Seek(int64_t position);
    // The file's length in bytes; -1 on failure.
    int64_t GetLength() const;
    void Close();
    bool IsOpen() const;

private:
    intptr_t m_hFile;
};

// The character after which a local path's file name starts: backslash or
// "/" on Windows, "/" only on Linux.
bool IsLocalPathSeparator(char c);

}  // namespace plat
