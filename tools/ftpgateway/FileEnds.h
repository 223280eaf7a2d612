// The first and the last MiB of the files read lately, from the bytes the
// gateway read for its requests anyway. A player opens a file by reading
// its start, then its index at the end (an MP4's moov, Matroska's cues),
// then the start again: the second and third reads come from here, with no
// transfer to restart.
//
// Bound: kFiles files, each at most kEdge bytes of its start and kEdge of
// its end (16 MiB in all); the file used longest ago goes first. Bytes are
// kept under the file's size: a size that changed throws them away, and
// they are not given out later than kKeep after the file was first read
// (a file rewritten with the same size is served as it was for at most
// that long).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class FileEnds {
public:
    static constexpr uint64_t kEdge = 1048576;
    static constexpr size_t kFiles = 8;
    static constexpr std::chrono::seconds kKeep{60};

    // length bytes of path (of size bytes) read at position: what falls in
    // its first or last kEdge is kept.
    void Keep(const std::string& path, uint64_t size, uint64_t position, const unsigned char* data,
              size_t length);
    // Up to length bytes kept from position on: how many were copied, 0 when
    // the byte at position is not kept.
    size_t Copy(const std::string& path, uint64_t size, uint64_t position, unsigned char* out,
                size_t length);

private:
    // Bytes in a row from `from` on.
    struct Span {
        uint64_t from = 0;
        std::vector<unsigned char> bytes;
        uint64_t End() const { return from + bytes.size(); }
    };
    struct Kept {
        uint64_t size = 0;
        Span head;  // within [0, kEdge)
        Span tail;  // within [size - kEdge, size), after the head's window
        std::chrono::steady_clock::time_point since;
        uint64_t used = 0;  // m_nUses when it was last used
    };

    // Adds [position, position + length) clipped to [low, high) to span.
    static void Merge(Span& span, uint64_t low, uint64_t high, uint64_t position,
                      const unsigned char* data, size_t length);
    static size_t CopyFrom(const Span& span, uint64_t position, unsigned char* out, size_t length);
    // Under m_Mutex: the entry of path when it holds bytes of this size.
    Kept* Find(const std::string& path, uint64_t size, std::chrono::steady_clock::time_point now);

    std::mutex m_Mutex;
    std::map<std::string, Kept> m_Kept;
    uint64_t m_nUses = 0;
};
