// CFile on POSIX descriptors. Linux has no mandatory share modes, so
// shareExclusive / shareDenyWrite are accepted and not enforced (advisory
// locks would bind only programs that ask for them).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "LocalFile.h"

namespace plat {
namespace {

const unsigned kAccessMask = CFile::modeWrite | CFile::modeReadWrite;

int OpenFlagsOf(unsigned flags) {
    int openFlags = O_CLOEXEC;
    switch (flags & kAccessMask) {
        case CFile::modeWrite:
            openFlags |= O_WRONLY;
            break;
        case CFile::modeReadWrite:
            openFlags |= O_RDWR;
            break;
        default:
            openFlags |= O_RDONLY;
            break;
    }
    if (flags & CFile::modeCreate) openFlags |= O_CREAT | O_TRUNC;
    return openFlags;
}

void DescribeFailure(const char* path, int error, char* errorText, unsigned errorTextSize) {
    if (errorText && errorTextSize) {
        snprintf(errorText, errorTextSize, "%s: %s", path, strerror(error));
    }
}

// Windows refuses to open a directory as a file; so does this.
bool IsDirectory(int fd) {
    struct stat status = {};
    return fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

bool CFile::GetStatus(const char* path) {
    struct stat status = {};
    return path && stat(path, &status) == 0;
}

bool CFile::Open(const char* path, unsigned flags, char* errorText, unsigned errorTextSize) {
    Close();
    if (!path) {
        DescribeFailure("(null)", EINVAL, errorText, errorTextSize);
        return false;
    }
    const int fd = ::open(path, OpenFlagsOf(flags), 0666);
    if (fd < 0) {
        DescribeFailure(path, errno, errorText, errorTextSize);
        return false;
    }
    if (IsDirectory(fd)) {
        ::close(fd);
        DescribeFailure(path, EISDIR, errorText, errorTextSize);
        return false;
    }
    m_hFile = fd;
    return true;
}

bool CFile::Write(const void* data, unsigned length) {
    if (!IsOpen()) return false;
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = ::write(static_cast<int>(m_hFile), next, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        next += written;
        length -= static_cast<unsigned>(written);
    }
    return true;
}

int CFile::Read(void* data, unsigned length) {
    if (!IsOpen()) return -1;
    for (;;) {
        const ssize_t got = ::read(static_cast<int>(m_hFile), data, length);
        if (got < 0 && errno == EINTR) continue;
        return got < 0 ? -1 : static_cast<int>(got);
    }
}

bool CFile::Seek(int64_t position) {
    return IsOpen() && position >= 0 &&
           ::lseek(static_cast<int>(m_hFile), static_cast<off_t>(position), SEEK_SET) == position;
}

int64_t CFile::GetLength() const {
    struct stat status = {};
    if (!IsOpen() || fstat(static_cast<int>(m_hFile), &status) != 0) return -1;
    return static_cast<int64_t>(status.st_size);
}

void CFile::Close() {
    if (!IsOpen()) return;
    ::close(static_cast<int>(m_hFile));
    m_hFile = -1;
}

bool IsLocalPathSeparator(char c) { return c == '/'; }

}  // namespace plat
