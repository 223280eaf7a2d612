// What a buffer queue must hold, told from the bytes alone: the stream as
// written, the reader's position in it, and where buffer boundaries fall
// (every buffer holds the next bufferSize bytes of the stream).
#pragma once

#include <stdint.h>

#include <string>

class QueueModel {
public:
    QueueModel(uint32_t bufferSize, int maxBuffers);

    void Write(const std::string& bytes);
    // The bytes a read of length returns, and the reader moved past them.
    std::string Read(uint32_t length);
    // Whether StepBack(distance) may succeed, and the reader moved back if so.
    bool StepBack(uint32_t distance);
    void SetEndOfData() { m_bEndOfData = true; }

    bool EndOfData() const { return m_bEndOfData; }
    // Every buffer was released: the end of data was read to its last byte.
    bool Drained() const { return m_bDrained; }
    uint64_t Written() const { return m_Stream.size(); }
    int64_t Available(bool includePartial) const;
    int64_t FreeSpace() const;
    int32_t Count() const;

private:
    uint64_t HeadStart() const;
    uint64_t TailStart() const;

    const uint32_t m_nBufferSize;
    const int m_nMaxBuffers;
    std::string m_Stream;
    uint64_t m_nReadPos;
    bool m_bEndOfData;
    bool m_bDrained;
};
