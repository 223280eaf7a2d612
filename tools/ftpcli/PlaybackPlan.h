// The reads a media player makes of a file of a given size: 64 KiB pieces
// from the start, a small jump back and one forward, a far seek, a piece
// at the end, and the head again (players re-read it when they reopen).
#pragma once

#include <stdint.h>

#include <vector>

struct PlannedRead {
    uint64_t position;
    uint32_t length;
    const char* step;  // "sequential", "back", "forward", "far", "tail", "head"
};

class PlaybackPlan {
public:
    static const uint32_t kPieceLength = 65536;

    // Every read starts inside the file; a file of size 0 gets the head
    // read only.
    static std::vector<PlannedRead> For(int64_t fileSize);

private:
    explicit PlaybackPlan(int64_t fileSize) : m_nFileSize(fileSize), m_nPlayhead(0) {}
    void Add(int64_t position, const char* step);
    void Sequential(int count);

    int64_t m_nFileSize;
    int64_t m_nPlayhead;  // where the previous read ended
    std::vector<PlannedRead> m_Reads;
};
