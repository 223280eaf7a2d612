#include "RelayDirection.h"

#include <algorithm>
#include <utility>

namespace relay {

RelayDirection::RelayDirection(const DirectionShape& shape, uint32_t seed)
    : m_Shape(shape), m_Random(seed == 0 ? 1 : seed) {}

Clock::time_point RelayDirection::DueAfter(Clock::time_point now) {
    int extraMs = 0;
    if (m_Shape.jitterMs > 0) extraMs = static_cast<int>(m_Random() % (unsigned)(m_Shape.jitterMs + 1));
    Clock::time_point due = now + std::chrono::milliseconds(m_Shape.delayMs + extraMs);
    m_LastDue = std::max(m_LastDue, due);
    return m_LastDue;
}

void RelayDirection::Push(std::string bytes, Clock::time_point now) {
    if (bytes.empty() || m_EndPushed) return;
    m_QueuedBytes += bytes.size();
    Clock::time_point due = DueAfter(now);
    m_Chunks.push_back(Chunk{std::move(bytes), 0, due});
}

void RelayDirection::PushEnd(Clock::time_point now) {
    if (m_EndPushed) return;
    m_EndPushed = true;
    m_EndDue = DueAfter(now);
}

bool RelayDirection::EndDue(Clock::time_point now) const {
    return m_EndPushed && m_Chunks.empty() && now >= m_EndDue;
}

Clock::time_point RelayDirection::NextSendTime() const {
    if (m_Chunks.empty()) return Clock::time_point::max();
    return std::max({m_Chunks.front().due, m_NextSendAllowed, m_RateClock});
}

std::string RelayDirection::Piece(Clock::time_point now, size_t limit) const {
    size_t most = m_Shape.pieceBytes > 0 ? m_Shape.pieceBytes : kLargestPiece;
    if (m_Shape.bytesPerSecond > 0) {
        // About fifty sends a second at the limit, so the rate stays even.
        most = std::min(most, std::max<size_t>(m_Shape.bytesPerSecond / 50, 1));
    }
    most = std::min(most, limit);
    std::string piece;
    for (const Chunk& chunk : m_Chunks) {
        if (chunk.due > now || piece.size() >= most) break;
        piece.append(chunk.bytes, chunk.offset, most - piece.size());
    }
    return piece;
}

void RelayDirection::Sent(size_t count, Clock::time_point now) {
    const size_t sent = std::min(count, m_QueuedBytes);
    m_QueuedBytes -= sent;
    while (count > 0 && !m_Chunks.empty()) {
        Chunk& chunk = m_Chunks.front();
        size_t used = std::min(count, chunk.bytes.size() - chunk.offset);
        chunk.offset += used;
        count -= used;
        if (chunk.offset == chunk.bytes.size()) m_Chunks.pop_front();
    }
    m_NextSendAllowed = now + std::chrono::milliseconds(m_Shape.gapMs);
    if (m_Shape.bytesPerSecond > 0) {
        // No credit for idle time: the limit holds from every send on.
        m_RateClock = std::max(m_RateClock, now) +
                      std::chrono::microseconds(static_cast<int64_t>(sent) * 1000000 /
                                                static_cast<int64_t>(m_Shape.bytesPerSecond));
    }
}

void RelayDirection::Discard() {
    m_Chunks.clear();
    m_QueuedBytes = 0;
}

}  // namespace relay
