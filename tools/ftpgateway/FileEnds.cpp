#include "FileEnds.h"

#include <string.h>

#include <algorithm>

constexpr std::chrono::seconds FileEnds::kKeep;

namespace {

// Where the kept end of a file may start: never inside the start's window.
uint64_t TailLow(uint64_t size) {
    uint64_t headHigh = std::min(size, FileEnds::kEdge);
    return size > FileEnds::kEdge ? std::max(headHigh, size - FileEnds::kEdge) : size;
}

}  // namespace

void FileEnds::Merge(Span& span, uint64_t low, uint64_t high, uint64_t position,
                     const unsigned char* data, size_t length) {
    uint64_t from = std::max(low, position);
    uint64_t to = std::min(high, position + length);
    if (from >= to) return;
    const unsigned char* piece = data + (from - position);
    size_t count = (size_t)(to - from);
    if (span.bytes.empty()) {
        span.from = from;
        span.bytes.assign(piece, piece + count);
        return;
    }
    // Apart from what is kept: kept only when nearer the window's edge the
    // reads come back to (the start of the head, the end of the tail).
    if (to < span.from || from > span.End()) {
        bool nearer = low == 0 ? from < span.from : to > span.End();
        if (nearer) {
            span.from = from;
            span.bytes.assign(piece, piece + count);
        }
        return;
    }
    if (from < span.from) {
        span.bytes.insert(span.bytes.begin(), piece, piece + (span.from - from));
        span.from = from;
    }
    if (to > span.End()) {
        uint64_t skip = span.End() - from;
        span.bytes.insert(span.bytes.end(), piece + skip, piece + count);
    }
}

size_t FileEnds::CopyFrom(const Span& span, uint64_t position, unsigned char* out, size_t length) {
    if (position < span.from || position >= span.End()) return 0;
    size_t count = (size_t)std::min<uint64_t>(length, span.End() - position);
    memcpy(out, span.bytes.data() + (position - span.from), count);
    return count;
}

FileEnds::Kept* FileEnds::Find(const std::string& path, uint64_t size,
                               std::chrono::steady_clock::time_point now) {
    auto found = m_Kept.find(path);
    if (found == m_Kept.end()) return nullptr;
    if (found->second.size != size || now - found->second.since > kKeep) {
        m_Kept.erase(found);
        return nullptr;
    }
    found->second.used = ++m_nUses;
    return &found->second;
}

void FileEnds::Keep(const std::string& path, uint64_t size, uint64_t position,
                    const unsigned char* data, size_t length) {
    uint64_t headHigh = std::min(size, kEdge);
    uint64_t tailLow = TailLow(size);
    if (position >= headHigh && position + length <= tailLow) return;
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_Mutex);
    Kept* kept = Find(path, size, now);
    if (kept == nullptr) {
        while (m_Kept.size() >= kFiles) {
            auto oldest = m_Kept.begin();
            for (auto it = m_Kept.begin(); it != m_Kept.end(); ++it) {
                if (it->second.used < oldest->second.used) oldest = it;
            }
            m_Kept.erase(oldest);
        }
        kept = &m_Kept[path];
        kept->size = size;
        kept->since = now;
        kept->used = ++m_nUses;
    }
    Merge(kept->head, 0, headHigh, position, data, length);
    Merge(kept->tail, tailLow, size, position, data, length);
}

size_t FileEnds::Copy(const std::string& path, uint64_t size, uint64_t position, unsigned char* out,
                      size_t length) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Kept* kept = Find(path, size, std::chrono::steady_clock::now());
    if (kept == nullptr) return 0;
    size_t count = CopyFrom(kept->head, position, out, length);
    return count > 0 ? count : CopyFrom(kept->tail, position, out, length);
}
