// The bounded first-in first-out store between a stream's network side and
// its reader: at most 10 buffers of the given size, allocated once
// and recycled through a free list, so a running stream allocates nothing
// once it has grown to its full size.
//
// One writer (the stream worker) and readers that are serialised by the
// session lock. The queue's own lock guards every list, count and position
// change; it is never held while the writer waits for room. Bytes are copied
// outside it where only one side can touch them: the writer fills the tail
// beyond m_nWritePos, which no reader reads before the position is moved.
#pragma once

#include <stdint.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>

#include "platform/Platform.h"

// <windows.h> (through Platform.h) keeps a Win16 macro of this name.
#ifdef GetFreeSpace
#undef GetFreeSpace
#endif

class CBufferQueue {
public:
    static constexpr int kMaxBuffers = 10;

    // A buffer size of 0 counts as 1: every buffer would be full before it
    // held a byte.
    explicit CBufferQueue(uint32_t bufferSize);
    virtual ~CBufferQueue();
    CBufferQueue(const CBufferQueue&) = delete;
    CBufferQueue& operator=(const CBufferQueue&) = delete;

    // The writer's side. Waits for the reader while ten full buffers hold
    // data; the cancel event ends that wait with false, as does a buffer
    // that cannot be allocated (IsOutOfMemory then says so). Bytes copied
    // before a failure stay queued.
    bool Write(const uint8_t* data, uint32_t length);
    // A buffer could not be allocated (at construction or in a Write).
    bool IsOutOfMemory() const { return m_bOutOfMemory.load(); }
    // Room left before the queue is full: the rest of the tail buffer and
    // the buffers that may still be added.
    uint32_t GetFreeSpace();

    // The reader's side. Bytes the reader may take: complete buffers only,
    // unless includePartial or the end of data counts the tail's bytes too.
    // Negative when the reader is already inside a tail that is also the head.
    int32_t GetAvailable(bool includePartial);
    // Takes up to length bytes (discards them when destination is null) and
    // never reads past what was written. False, with 0 delivered, when the
    // queue holds no buffer. Taking the last byte after the end of data sets
    // the cancel event, which ends the stream worker.
    bool Read(uint8_t* destination, uint32_t length, uint32_t* delivered);
    // Moves the read position back by distance within the head buffer; false
    // when that reaches into a buffer already released.
    bool StepBack(uint64_t distance);

    int32_t GetCount();
    uint32_t GetBufferSize() const { return m_nBufferSize; }
    void SetCancelEvent(plat::HANDLE cancelEvent) { m_hCancelEvent = cancelEvent; }
    // Set by the writer once the data connection has delivered its last
    // byte: the tail's bytes become readable and read buffers are freed.
    void SetEndOfData();

    // The ready event ends a reader's wait for pre-buffering. It is set
    // while the queue is ready: full (or as full as the stream worker fills
    // it), its data ended, or its stream over. Shared, so that a reader
    // waiting on it outside the session lock keeps it valid while the
    // stream worker goes away.
    std::shared_ptr<void> ReadyEvent() const { return m_hReadyEvent; }
    // For a reader about to wait: false when the queue is ready already;
    // otherwise the ready event is reset and true. Test and reset are one
    // step under the queue's lock, where the writer sets the event, so a
    // queue that becomes ready just now is never missed, and readiness left
    // over from an earlier fill never ends a new wait early.
    bool ArmReady();
    // The stream is over (failed, ended or going away): every wait for
    // readiness, now and later, ends at once.
    void SignalReady();
    // The writer has no room left for a full buffer.
    bool IsFull();

    // Test hooks. After `allowed` more successful allocations every buffer
    // allocation fails; a negative value stops the failures.
    static void FailAllocationsAfterForTesting(int allowed);
    int32_t BuffersAllocated() const { return m_nAllocated.load(); }
    // The most buffers any one queue allocated since the last reset.
    static int32_t MostBuffersOfOneQueueForTesting();
    static void ResetBufferCountersForTesting();

private:
    typedef std::unique_ptr<uint8_t[]> Buffer;

    // Callers hold m_Lock.
    bool AddBuffer();
    bool AllocateBuffer();
    void ReleaseHeadBuffer();
    int64_t FreeSpaceLocked() const;
    bool IsReadyLocked() const;
    void SetReadyIfReadyLocked();
    uint32_t EndOfHeadBuffer() const;
    bool HeadBufferFinished() const;

    bool WaitForRoom();

    const uint32_t m_nBufferSize;
    std::atomic<bool> m_bOutOfMemory;
    std::mutex m_Lock;
    int32_t m_nCount;
    plat::HANDLE m_hCancelEvent;
    uint32_t m_nReadPos;
    bool m_bEndOfData;
    bool m_bStreamOver;
    std::shared_ptr<void> m_hReadyEvent;
    plat::HANDLE m_hSpaceEvent;
    uint32_t m_nWritePos;
    std::list<Buffer> m_FreeList;
    std::list<Buffer> m_FilledList;
    std::atomic<int32_t> m_nAllocated;
};
