// One direction of a relayed connection: the bytes read from one side,
// each with the moment it is due at the other side, and the pacing of the
// sends that deliver them (piece size, pause between pieces, byte rate).
// Owned and used by one thread; no locking.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <string>

namespace relay {

using Clock = std::chrono::steady_clock;

struct DirectionShape {
    int delayMs = 0;
    int jitterMs = 0;
    size_t pieceBytes = 0;  // 0: everything due, up to kLargestPiece
    int gapMs = 0;          // between two sends
    size_t bytesPerSecond = 0;
};

class RelayDirection {
public:
    // Without a piece size one send takes at most this much.
    static constexpr size_t kLargestPiece = 16384;

    RelayDirection(const DirectionShape& shape, uint32_t seed);

    // Bytes read at `now`: due after the delay (and jitter), never before
    // bytes read earlier.
    void Push(std::string bytes, Clock::time_point now);
    // The end of the stream (orderly or reset) read at `now`, due like bytes.
    void PushEnd(Clock::time_point now);

    bool Empty() const { return m_Chunks.empty(); }
    size_t QueuedBytes() const { return m_QueuedBytes; }
    bool EndPushed() const { return m_EndPushed; }
    // The end may be passed on: pushed, all bytes sent, and due.
    bool EndDue(Clock::time_point now) const;

    // When the next send may happen: the first bytes are due and the pause
    // and the rate allow it. Clock::time_point::max() with nothing queued
    // (or only the end, see EndDueTime).
    Clock::time_point NextSendTime() const;
    Clock::time_point EndDueTime() const { return m_EndDue; }

    // The next piece: due bytes only, at most the piece size and `limit`.
    std::string Piece(Clock::time_point now, size_t limit) const;
    // `count` bytes of the piece went out at `now`.
    void Sent(size_t count, Clock::time_point now);
    // Drops everything queued (the receiving side has gone).
    void Discard();

private:
    struct Chunk {
        std::string bytes;
        size_t offset;
        Clock::time_point due;
    };

    Clock::time_point DueAfter(Clock::time_point now);

    const DirectionShape m_Shape;
    std::minstd_rand m_Random;
    std::deque<Chunk> m_Chunks;
    size_t m_QueuedBytes = 0;
    Clock::time_point m_LastDue;
    Clock::time_point m_NextSendAllowed;
    Clock::time_point m_RateClock;
    bool m_EndPushed = false;
    Clock::time_point m_EndDue = Clock::time_point::max();
};

}  // namespace relay
