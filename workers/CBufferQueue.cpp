#include "workers/CBufferQueue.h"

#include <limits.h>
#include <string.h>

#include <algorithm>
#include <new>

namespace {

// Negative: allocations are not refused. Otherwise the number still allowed.
std::atomic<int> g_nAllocationsAllowed(-1);
std::atomic<int32_t> g_nMostBuffersOfOneQueue(0);

bool AllocationRefusedForTesting() {
    int allowed = g_nAllocationsAllowed.load();
    while (allowed > 0) {
        if (g_nAllocationsAllowed.compare_exchange_weak(allowed, allowed - 1)) return false;
    }
    return allowed == 0;
}

void NoteBuffersOfOneQueue(int32_t count) {
    int32_t most = g_nMostBuffersOfOneQueue.load();
    while (count > most && !g_nMostBuffersOfOneQueue.compare_exchange_weak(most, count)) {
    }
}

std::shared_ptr<void> NewSharedEvent() {
    return std::shared_ptr<void>(plat::CreateEventA(nullptr, TRUE, FALSE, nullptr),
                                 [](void* event) { plat::CloseHandle(event); });
}

int32_t SaturateToInt32(int64_t value) {
    return (int32_t)std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, value));
}

}  // namespace

void CBufferQueue::FailAllocationsAfterForTesting(int allowed) {
    g_nAllocationsAllowed = allowed < 0 ? -1 : allowed;
}

int32_t CBufferQueue::MostBuffersOfOneQueueForTesting() {
    return g_nMostBuffersOfOneQueue.load();
}

void CBufferQueue::ResetBufferCountersForTesting() {
    g_nMostBuffersOfOneQueue = 0;
}

CBufferQueue::CBufferQueue(uint32_t bufferSize)
    : m_nBufferSize(std::max<uint32_t>(1, bufferSize)),
      m_bOutOfMemory(false),
      m_nCount(0),
      m_hCancelEvent(nullptr),
      m_nReadPos(0),
      m_bEndOfData(false),
      m_bStreamOver(false),
      m_hReadyEvent(NewSharedEvent()),
      m_hSpaceEvent(plat::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_nWritePos(0),
      m_nAllocated(0) {
    std::lock_guard<std::mutex> lock(m_Lock);
    AddBuffer();
}

CBufferQueue::~CBufferQueue() {
    m_FilledList.clear();
    m_FreeList.clear();
    // A reader may still wait for pre-buffering.
    plat::SetEvent(m_hReadyEvent.get());
    plat::CloseHandle(m_hSpaceEvent);
}

bool CBufferQueue::AddBuffer() {
    if (!m_FreeList.empty()) {
        m_FilledList.splice(m_FilledList.end(), m_FreeList, m_FreeList.begin());
    } else if (!AllocateBuffer()) {
        m_bOutOfMemory = true;
        return false;
    }
    m_nWritePos = 0;
    ++m_nCount;
    return true;
}

bool CBufferQueue::AllocateBuffer() {
    if (AllocationRefusedForTesting()) return false;
    Buffer buffer(new (std::nothrow) uint8_t[m_nBufferSize]);
    if (!buffer) return false;
    try {
        m_FilledList.push_back(std::move(buffer));
    } catch (const std::bad_alloc&) {
        return false;
    }
    NoteBuffersOfOneQueue(++m_nAllocated);
    return true;
}

bool CBufferQueue::Write(const uint8_t* data, uint32_t length) {
    while (length > 0) {
        uint8_t* tail;
        uint32_t offset;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            if (m_FilledList.empty() && !AddBuffer()) return false;
            tail = m_FilledList.back().get();
            offset = m_nWritePos;
        }
        uint32_t chunk = std::min(m_nBufferSize - offset, length);
        memcpy(tail + offset, data, chunk);
        data += chunk;
        length -= chunk;
        bool waitForRoom = false;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_nWritePos += chunk;
            if (m_nWritePos == m_nBufferSize) {
                if (m_nCount >= kMaxBuffers) {
                    waitForRoom = true;
                } else if (!AddBuffer()) {
                    return false;
                }
            }
            SetReadyIfReadyLocked();
        }
        if (waitForRoom && !WaitForRoom()) return false;
    }
    return true;
}

// The space event is reset under the lock that guards the count, and the
// reader sets it after changing the count: a release cannot slip between
// the test and the wait.
bool CBufferQueue::WaitForRoom() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            if (m_nCount < kMaxBuffers) return AddBuffer();
            plat::ResetEvent(m_hSpaceEvent);
        }
        plat::HANDLE handles[2];
        plat::DWORD count = 0;
        if (m_hCancelEvent != nullptr) handles[count++] = m_hCancelEvent;
        handles[count++] = m_hSpaceEvent;  // last, so that a cancel wins
        plat::DWORD signalled = plat::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (signalled != WAIT_OBJECT_0 + count - 1) return false;
    }
}

int64_t CBufferQueue::FreeSpaceLocked() const {
    return (int64_t)(kMaxBuffers + 1 - m_nCount) * m_nBufferSize - m_nWritePos;
}

uint32_t CBufferQueue::GetFreeSpace() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return (uint32_t)std::min<int64_t>(UINT32_MAX, FreeSpaceLocked());
}

bool CBufferQueue::IsFull() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return FreeSpaceLocked() < m_nBufferSize;
}

// Full, or as full as the stream worker fills it: it stops receiving one
// byte short of the end (so that Write never waits), which with one-byte
// buffers leaves a whole buffer of room.
bool CBufferQueue::IsReadyLocked() const {
    if (m_bStreamOver || m_bEndOfData) return true;
    int64_t room = FreeSpaceLocked();
    return room < m_nBufferSize || room <= 1;
}

void CBufferQueue::SetReadyIfReadyLocked() {
    if (IsReadyLocked()) plat::SetEvent(m_hReadyEvent.get());
}

bool CBufferQueue::ArmReady() {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (IsReadyLocked()) return false;
    plat::ResetEvent(m_hReadyEvent.get());
    return true;
}

int32_t CBufferQueue::GetAvailable(bool includePartial) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_nCount < 1) return 0;
    int64_t available = (int64_t)(m_nCount - 1) * m_nBufferSize - m_nReadPos;
    if (includePartial || m_bEndOfData) available += m_nWritePos;
    return SaturateToInt32(available);
}

int32_t CBufferQueue::GetCount() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_nCount;
}

// The head buffer is also the tail while it is the only one: its bytes end
// where the writer stands.
uint32_t CBufferQueue::EndOfHeadBuffer() const {
    return m_nCount == 1 ? m_nWritePos : m_nBufferSize;
}

bool CBufferQueue::HeadBufferFinished() const {
    if (m_nReadPos == m_nBufferSize) return true;
    return m_bEndOfData && m_nCount == 1 && m_nReadPos == m_nWritePos;
}

bool CBufferQueue::Read(uint8_t* destination, uint32_t length, uint32_t* delivered) {
    *delivered = 0;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_nCount < 1) return false;
    uint32_t total = 0;
    // Goes on past the last byte asked for while head buffers are finished:
    // after the end of data, a stream that ends on a buffer boundary leaves
    // an empty tail, which must go with the last byte taken.
    while (m_nCount > 0) {
        uint32_t take = std::min(EndOfHeadBuffer() - m_nReadPos, length - total);
        if (destination != nullptr) {
            memcpy(destination + total, m_FilledList.front().get() + m_nReadPos, take);
        }
        m_nReadPos += take;
        total += take;
        if (!HeadBufferFinished()) break;
        ReleaseHeadBuffer();
    }
    *delivered = total;
    return true;
}

// After the end of data nothing more is written, so read buffers are freed
// instead of kept; the last one gone ends the stream worker.
void CBufferQueue::ReleaseHeadBuffer() {
    if (m_bEndOfData) {
        m_FilledList.pop_front();
    } else {
        m_FreeList.splice(m_FreeList.end(), m_FilledList, m_FilledList.begin());
    }
    --m_nCount;
    m_nReadPos = 0;
    if (m_bEndOfData && m_nCount == 0) {
        if (m_hCancelEvent != nullptr) plat::SetEvent(m_hCancelEvent);
    } else {
        plat::SetEvent(m_hSpaceEvent);
    }
}

bool CBufferQueue::StepBack(uint64_t distance) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_nCount < 1 || distance > m_nReadPos) return false;
    m_nReadPos -= (uint32_t)distance;
    return true;
}

void CBufferQueue::SetEndOfData() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bEndOfData = true;
    SetReadyIfReadyLocked();
}

void CBufferQueue::SignalReady() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bStreamOver = true;
    SetReadyIfReadyLocked();
}
