// Content types by file extension, and which of them a browser page shows
// in a <video> or an <audio> element.
#pragma once

#include <string>

enum class MediaKind { kNone, kVideo, kAudio };

// "application/octet-stream" for an extension it does not know.
std::string ContentTypeOf(const std::string& path);
MediaKind MediaKindOf(const std::string& path);
