#include "MediaTypes.h"

#include <ctype.h>

namespace {

struct TypeEntry {
    const char* extension;
    const char* contentType;
    MediaKind kind;
};

const TypeEntry kTypes[] = {
    {"mp4", "video/mp4", MediaKind::kVideo},
    {"m4v", "video/mp4", MediaKind::kVideo},
    {"mov", "video/quicktime", MediaKind::kVideo},
    {"mkv", "video/x-matroska", MediaKind::kVideo},
    {"webm", "video/webm", MediaKind::kVideo},
    {"ogv", "video/ogg", MediaKind::kVideo},
    {"ts", "video/mp2t", MediaKind::kVideo},
    {"m2ts", "video/mp2t", MediaKind::kVideo},
    {"mpg", "video/mpeg", MediaKind::kVideo},
    {"mpeg", "video/mpeg", MediaKind::kVideo},
    {"avi", "video/x-msvideo", MediaKind::kVideo},
    {"m4a", "audio/mp4", MediaKind::kAudio},
    {"mp3", "audio/mpeg", MediaKind::kAudio},
    {"aac", "audio/aac", MediaKind::kAudio},
    {"flac", "audio/flac", MediaKind::kAudio},
    {"wav", "audio/wav", MediaKind::kAudio},
    {"ogg", "audio/ogg", MediaKind::kAudio},
    {"oga", "audio/ogg", MediaKind::kAudio},
    {"opus", "audio/ogg", MediaKind::kAudio},
    {"weba", "audio/webm", MediaKind::kAudio},
    {"m3u8", "application/vnd.apple.mpegurl", MediaKind::kNone},
    {"mpd", "application/dash+xml", MediaKind::kNone},
    {"vtt", "text/vtt", MediaKind::kNone},
    {"srt", "text/plain; charset=utf-8", MediaKind::kNone},
    {"txt", "text/plain; charset=utf-8", MediaKind::kNone},
    {"html", "text/html; charset=utf-8", MediaKind::kNone},
    {"htm", "text/html; charset=utf-8", MediaKind::kNone},
    {"json", "application/json", MediaKind::kNone},
    {"jpg", "image/jpeg", MediaKind::kNone},
    {"jpeg", "image/jpeg", MediaKind::kNone},
    {"png", "image/png", MediaKind::kNone},
    {"gif", "image/gif", MediaKind::kNone},
    {"pdf", "application/pdf", MediaKind::kNone},
};

const TypeEntry* Find(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
    std::string extension;
    for (char c : path.substr(dot + 1)) extension += (char)tolower((unsigned char)c);
    for (const TypeEntry& entry : kTypes) {
        if (extension == entry.extension) return &entry;
    }
    return nullptr;
}

}  // namespace

std::string ContentTypeOf(const std::string& path) {
    const TypeEntry* entry = Find(path);
    return entry != nullptr ? entry->contentType : "application/octet-stream";
}

MediaKind MediaKindOf(const std::string& path) {
    const TypeEntry* entry = Find(path);
    return entry != nullptr ? entry->kind : MediaKind::kNone;
}
