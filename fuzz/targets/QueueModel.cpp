#include "fuzz/targets/QueueModel.h"

#include <algorithm>

QueueModel::QueueModel(uint32_t bufferSize, int maxBuffers)
    : m_nBufferSize(bufferSize),
      m_nMaxBuffers(maxBuffers),
      m_nReadPos(0),
      m_bEndOfData(false),
      m_bDrained(false) {}

void QueueModel::Write(const std::string& bytes) {
    m_Stream += bytes;
}

// After the end of data, the read that takes the last byte releases the
// last buffer (as does any read once everything has been taken).
std::string QueueModel::Read(uint32_t length) {
    if (m_bDrained) return std::string();
    std::string taken = m_Stream.substr(m_nReadPos, length);
    m_nReadPos += taken.size();
    if (m_bEndOfData && m_nReadPos == m_Stream.size()) m_bDrained = true;
    return taken;
}

bool QueueModel::StepBack(uint32_t distance) {
    if (m_bDrained || distance > m_nReadPos - HeadStart()) return false;
    m_nReadPos -= distance;
    return true;
}

// A buffer is released as soon as it has been read to its end, so the head
// buffer starts at the last boundary at or before the reader.
uint64_t QueueModel::HeadStart() const {
    return m_nReadPos / m_nBufferSize * m_nBufferSize;
}

// A full buffer is followed at once by a new, empty tail.
uint64_t QueueModel::TailStart() const {
    return m_Stream.size() / m_nBufferSize * m_nBufferSize;
}

int64_t QueueModel::Available(bool includePartial) const {
    if (m_bDrained) return 0;
    uint64_t end = (includePartial || m_bEndOfData) ? m_Stream.size() : TailStart();
    return (int64_t)end - (int64_t)m_nReadPos;
}

int32_t QueueModel::Count() const {
    if (m_bDrained) return 0;
    return (int32_t)((TailStart() - HeadStart()) / m_nBufferSize + 1);
}

int64_t QueueModel::FreeSpace() const {
    return (int64_t)(m_nMaxBuffers + 1 - Count()) * m_nBufferSize -
           (int64_t)(m_Stream.size() - TailStart());
}
