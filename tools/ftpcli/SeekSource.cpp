#include "SeekSource.h"

#include <stdio.h>

namespace {

// The library keeps the file's first 64 KiB for players that re-read it.
const uint32_t kHeadBufferBytes = 65536;

}  // namespace

std::string SeekSource::Describe(int seekFlag, uint64_t position, uint32_t length,
                                 int64_t playhead) {
    int64_t distance = (int64_t)position - playhead;
    if (seekFlag == 0) return distance == 0 ? "stream" : Jump(distance) + ": new stream";
    if (seekFlag != 1) return "flag " + std::to_string(seekFlag);
    if (distance == 0) return "stream restarted";
    if (position == 0 && length <= kHeadBufferBytes) return "jump to head: head buffer or restart";
    return Jump(distance) + ": buffers or restart";
}

std::string SeekSource::Jump(int64_t distance) {
    return std::string("jump ") + (distance < 0 ? "back " : "ahead ") +
           Distance(distance < 0 ? -distance : distance);
}

std::string SeekSource::Distance(int64_t bytes) {
    char text[32];
    if (bytes < 1024) {
        snprintf(text, sizeof text, "%lld B", (long long)bytes);
    } else if (bytes < 1024 * 1024) {
        snprintf(text, sizeof text, "%lld KiB", (long long)(bytes / 1024));
    } else {
        snprintf(text, sizeof text, "%.1f MiB", (double)bytes / (1024.0 * 1024.0));
    }
    return text;
}
