#include "session/RemotePath.h"

#include <string.h>

static void CopyBounded(char* out, size_t outSize, const char* text, size_t length) {
    if (length >= outSize) length = outSize - 1;
    memcpy(out, text, length);
    out[length] = '\0';
}

void SplitRemotePath(const char* path, RemotePathParts* parts) {
    const char* last = strrchr(path, '/');
    if (last == nullptr) {
        CopyBounded(parts->directory, sizeof parts->directory, "/", 1);
        CopyBounded(parts->fileName, sizeof parts->fileName, path, strlen(path));
        return;
    }
    size_t position = (size_t)(last - path);
    if (position >= 2) {
        CopyBounded(parts->directory, sizeof parts->directory, path, position);
    } else {
        CopyBounded(parts->directory, sizeof parts->directory, "/", 1);
    }
    CopyBounded(parts->fileName, sizeof parts->fileName, last + 1, strlen(last + 1));
}

int FindCwdSplit(const char* directory) {
    if (directory[0] == '\0') return -1;
    const char* last = strrchr(directory + 1, '/');
    return last == nullptr ? -1 : (int)(last - directory);
}
