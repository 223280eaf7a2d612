// The stream buffer queue on its own (sizes, the full-queue wait, the end of
// data, discarding reads, allocation failure, recycling, a writer and a
// reader at full speed), the stream worker's SeekTo over a queue it has not
// started filling itself, and the bounds of the session's head buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "session/CFtpClientThread.h"
#include "tests/integration/TestHost.h"
#include "workers/CBufferQueue.h"
#include "workers/CStreamThread.h"

using testhost::Client;

namespace {

const uint32_t kSize = 1000;  // buffer size of most tests
const int kBlockedCheckMs = 200;

// The byte at a stream position: no run of it repeats within the sizes used.
uint8_t ByteAt(uint64_t position) {
    uint64_t x = position + 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return (uint8_t)(x ^ (x >> 31));
}

std::vector<uint8_t> BytesAt(uint64_t position, size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = ByteAt(position + i);
    return bytes;
}

bool IsSet(plat::HANDLE event) {
    return plat::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// A queue of a chosen buffer size, fed with the stream's bytes from
// position 0 on, and the cancel event the session would own; the client is
// for the stream workers of the SeekTo cases (their queue takes its block
// size).
class QueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Client->m_nBlockSize = kSize;
        m_hCancel = plat::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        CBufferQueue::FailAllocationsAfterForTesting(-1);
    }
    void TearDown() override {
        CBufferQueue::FailAllocationsAfterForTesting(-1);
        plat::CloseHandle(m_hCancel);
    }
    std::unique_ptr<CBufferQueue> NewQueue(uint32_t bufferSize = kSize) {
        std::unique_ptr<CBufferQueue> queue(new CBufferQueue(bufferSize));
        queue->SetCancelEvent(m_hCancel);
        return queue;
    }
    bool Feed(CBufferQueue& queue, uint32_t count) {
        std::vector<uint8_t> bytes = BytesAt(m_nWritten, count);
        m_nWritten += count;
        return queue.Write(bytes.data(), count);
    }
    // Reads count bytes and checks they are the stream's bytes at m_nRead.
    void ExpectRead(CBufferQueue& queue, uint32_t count, uint32_t expectDelivered) {
        std::vector<uint8_t> got(count);
        uint32_t delivered = 12345;
        EXPECT_TRUE(queue.Read(got.data(), count, &delivered));
        ASSERT_EQ(expectDelivered, delivered);
        got.resize(delivered);
        EXPECT_EQ(BytesAt(m_nRead, delivered), got) << "at " << m_nRead;
        m_nRead += delivered;
    }

    Client m_Client;
    plat::HANDLE m_hCancel = nullptr;
    uint64_t m_nWritten = 0;
    uint64_t m_nRead = 0;
};

}  // namespace

TEST_F(QueueTest, NewQueueHoldsOneEmptyBuffer) {
    auto queue = NewQueue();
    EXPECT_EQ(1, queue->GetCount());
    EXPECT_EQ(0, queue->GetAvailable(false));
    EXPECT_EQ(0, queue->GetAvailable(true));
    EXPECT_EQ(10 * kSize, queue->GetFreeSpace());
    EXPECT_FALSE(IsSet(queue->ReadyEvent().get()));
    EXPECT_EQ(1, queue->BuffersAllocated());
}

TEST_F(QueueTest, OneBufferSizeAddsAnEmptyTailAtOnce) {
    auto queue = NewQueue();
    ASSERT_TRUE(Feed(*queue, kSize));
    EXPECT_EQ(2, queue->GetCount());
    EXPECT_EQ((int32_t)kSize, queue->GetAvailable(false));
    EXPECT_EQ((int32_t)kSize, queue->GetAvailable(true));
    EXPECT_EQ(9 * kSize, queue->GetFreeSpace());  // the new tail is empty
}

TEST_F(QueueTest, ReadyOnlyOnceMoreThanNineBuffersAreQueued) {
    auto queue = NewQueue();
    ASSERT_TRUE(Feed(*queue, 9 * kSize));
    EXPECT_EQ(10, queue->GetCount());
    EXPECT_FALSE(IsSet(queue->ReadyEvent().get()));
    EXPECT_FALSE(queue->IsFull());
    ASSERT_TRUE(Feed(*queue, 1));
    EXPECT_TRUE(IsSet(queue->ReadyEvent().get()));
    EXPECT_TRUE(queue->IsFull());
    EXPECT_EQ(kSize - 1, queue->GetFreeSpace());
}

// The stream worker stops one byte short of the end of the tenth buffer.
// With one-byte buffers that leaves a whole buffer of room: a wait for
// pre-buffering must end there all the same.
TEST_F(QueueTest, OneByteBuffersAreReadyWhereTheWriterStops) {
    auto queue = NewQueue(1);
    ASSERT_TRUE(Feed(*queue, 9));
    EXPECT_EQ(10, queue->GetCount());
    EXPECT_EQ(1u, queue->GetFreeSpace());
    EXPECT_TRUE(IsSet(queue->ReadyEvent().get()));
}

TEST_F(QueueTest, PartlyReadTailGivesNegativeCompleteCount) {
    auto queue = NewQueue();
    ASSERT_TRUE(Feed(*queue, kSize / 2));
    ExpectRead(*queue, kSize / 4, kSize / 4);
    EXPECT_EQ(-(int32_t)(kSize / 4), queue->GetAvailable(false));
    EXPECT_EQ((int32_t)(kSize / 4), queue->GetAvailable(true));
}

// A read asking for more than is queued (without the end of data) takes
// what the writer has finished and stops there.
TEST_F(QueueTest, ReadNeverPassesTheWriter) {
    auto queue = NewQueue();
    ASSERT_TRUE(Feed(*queue, 2 * kSize + 300));
    ExpectRead(*queue, 5 * kSize, 2 * kSize + 300);
    EXPECT_EQ(1, queue->GetCount());
    ASSERT_TRUE(Feed(*queue, 50));
    ExpectRead(*queue, 100, 50);
}

TEST_F(QueueTest, FullQueueHoldsTheWriterUntilAHeadBufferIsRead) {
    auto queue = NewQueue();
    ASSERT_TRUE(Feed(*queue, 10 * kSize - 1));
    std::vector<uint8_t> last = BytesAt(m_nWritten, 1 + kSize / 2);
    std::future<bool> writer = std::async(std::launch::async, [&] {
        return queue->Write(last.data(), (uint32_t)last.size());
    });
    EXPECT_EQ(std::future_status::timeout,
              writer.wait_for(std::chrono::milliseconds(kBlockedCheckMs)));
    EXPECT_EQ(10, queue->GetCount());
    ExpectRead(*queue, kSize - 1, kSize - 1);  // the head is not finished yet
    EXPECT_EQ(std::future_status::timeout,
              writer.wait_for(std::chrono::milliseconds(kBlockedCheckMs)));
    ExpectRead(*queue, 1, 1);
    ASSERT_EQ(std::future_status::ready, writer.wait_for(std::chrono::seconds(5)));
    EXPECT_TRUE(writer.get());
    m_nWritten += last.size();
    EXPECT_EQ(10, queue->GetCount());
    ExpectRead(*queue, 20 * kSize, 9 * kSize + kSize / 2);
    EXPECT_EQ(10, queue->BuffersAllocated());
}

TEST_F(QueueTest, CancelReleasesAWriterWaitingForRoom) {
    auto queue = NewQueue();
    ASSERT_TRUE(Feed(*queue, 10 * kSize - 10));
    std::vector<uint8_t> more = BytesAt(m_nWritten, 100);
    std::future<bool> writer = std::async(std::launch::async, [&] {
        return queue->Write(more.data(), (uint32_t)more.size());
    });
    EXPECT_EQ(std::future_status::timeout,
              writer.wait_for(std::chrono::milliseconds(kBlockedCheckMs)));
    plat::SetEvent(m_hCancel);
    ASSERT_EQ(std::future_status::ready, writer.wait_for(std::chrono::seconds(5)));
    EXPECT_FALSE(writer.get());
    // What was copied before the wait stays queued.
    ExpectRead(*queue, 20 * kSize, 10 * kSize);
}

TEST_F(QueueTest, EndOfDataGivesShortReadsFreesBuffersAndEndsTheWorker) {
    auto queue = NewQueue();
    ASSERT_TRUE(Feed(*queue, 2 * kSize + kSize / 2));
    EXPECT_EQ((int32_t)(2 * kSize), queue->GetAvailable(false));
    queue->SetEndOfData();
    EXPECT_EQ((int32_t)(2 * kSize + kSize / 2), queue->GetAvailable(false));
    ExpectRead(*queue, kSize + 10, kSize + 10);
    EXPECT_EQ(2, queue->GetCount());
    EXPECT_FALSE(IsSet(m_hCancel));
    ExpectRead(*queue, 4 * kSize, kSize + kSize / 2 - 10);
    EXPECT_EQ(0, queue->GetCount());
    EXPECT_TRUE(IsSet(m_hCancel));
    uint8_t byte = 0;
    uint32_t delivered = 99;
    EXPECT_FALSE(queue->Read(&byte, 1, &delivered));
    EXPECT_EQ(0u, delivered);
    EXPECT_EQ(0, queue->GetAvailable(true));
}

TEST_F(QueueTest, DiscardingReadAdvancesLikeACopyingRead) {
    auto copying = NewQueue();
    auto discarding = NewQueue();
    ASSERT_TRUE(Feed(*copying, 3 * kSize));
    m_nWritten = 0;
    ASSERT_TRUE(Feed(*discarding, 3 * kSize));
    std::vector<uint8_t> sink(kSize + 123);
    uint32_t copied = 0;
    uint32_t discarded = 0;
    ASSERT_TRUE(copying->Read(sink.data(), kSize + 123, &copied));
    ASSERT_TRUE(discarding->Read(nullptr, kSize + 123, &discarded));
    EXPECT_EQ(copied, discarded);
    EXPECT_EQ(copying->GetAvailable(true), discarding->GetAvailable(true));
    m_nRead = kSize + 123;
    ExpectRead(*discarding, 500, 500);
}

TEST_F(QueueTest, StepBackStaysWithinTheHeadBuffer) {
    auto queue = NewQueue();
    ASSERT_TRUE(Feed(*queue, 3 * kSize));
    ExpectRead(*queue, kSize + 400, kSize + 400);
    EXPECT_FALSE(queue->StepBack(401));  // into a released buffer
    EXPECT_TRUE(queue->StepBack(400));
    m_nRead -= 400;
    ExpectRead(*queue, 600, 600);
}

TEST_F(QueueTest, FailedAllocationSaysOutOfMemoryAndFailsTheWrite) {
    auto queue = NewQueue();  // one buffer allocated
    CBufferQueue::FailAllocationsAfterForTesting(2);
    EXPECT_FALSE(queue->IsOutOfMemory());
    EXPECT_FALSE(Feed(*queue, 5 * kSize));
    EXPECT_TRUE(queue->IsOutOfMemory());
    EXPECT_EQ(3, queue->GetCount());
    ExpectRead(*queue, 5 * kSize, 3 * kSize);  // copied before the failure
}

TEST_F(QueueTest, QueueWithoutAnyBufferRefusesWritesAndReads) {
    CBufferQueue::FailAllocationsAfterForTesting(0);
    auto queue = NewQueue();
    EXPECT_EQ(0, queue->GetCount());
    EXPECT_TRUE(queue->IsOutOfMemory());
    EXPECT_FALSE(Feed(*queue, 10));
    uint32_t delivered = 7;
    EXPECT_FALSE(queue->Read(nullptr, 10, &delivered));
    EXPECT_EQ(0u, delivered);
}

TEST_F(QueueTest, ReadBuffersAreRecycledNotReallocated) {
    auto queue = NewQueue();
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        uint32_t room = queue->GetFreeSpace() - 1;
        ASSERT_TRUE(Feed(*queue, std::min<uint32_t>(room, 1 + random() % (3 * kSize))));
        uint32_t available = (uint32_t)queue->GetAvailable(true);
        uint32_t take = available == 0 ? 0 : 1 + random() % available;
        ExpectRead(*queue, take, take);
    }
    EXPECT_GT(m_nRead, 50u * kSize);
    EXPECT_LE(queue->BuffersAllocated(), CBufferQueue::kMaxBuffers);
}

// A writer in its own thread and a reader under a lock of its own, as the
// stream worker and the client's reads are: every byte arrives once, in
// order, and the writer's waits for room always end.
TEST_F(QueueTest, WriterAndReaderAtFullSpeedKeepEveryByte) {
    auto queue = NewQueue();
    const uint64_t total = 400 * kSize;
    std::thread writer([&] {
        std::mt19937 random(11);
        uint64_t written = 0;
        while (written < total) {
            uint32_t chunk = (uint32_t)std::min<uint64_t>(total - written, 1 + random() % (2 * kSize));
            std::vector<uint8_t> bytes = BytesAt(written, chunk);
            if (!queue->Write(bytes.data(), chunk)) return;
            written += chunk;
        }
        queue->SetEndOfData();
    });
    std::mutex sessionLock;
    std::mt19937 random(13);
    uint64_t read = 0;
    bool mismatch = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (read < total && !mismatch && std::chrono::steady_clock::now() < deadline) {
        std::vector<uint8_t> got(1 + random() % (3 * kSize));
        uint32_t delivered = 0;
        {
            std::lock_guard<std::mutex> lock(sessionLock);
            queue->Read(got.data(), (uint32_t)got.size(), &delivered);
        }
        got.resize(delivered);
        mismatch = got != BytesAt(read, delivered);
        read += delivered;
    }
    plat::SetEvent(m_hCancel);  // releases the writer if the reader gave up
    writer.join();
    EXPECT_FALSE(mismatch) << "at " << read;
    EXPECT_EQ(total, read);
    EXPECT_LE(queue->BuffersAllocated(), CBufferQueue::kMaxBuffers);
}

// ---- SeekTo over a stream worker whose thread never starts ------------------------

namespace {

class SeekTest : public QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        m_pSession = new CFtpClientThread(m_Client.get(), &m_Client->m_Operation);
        // What a stream read writes into the record before the worker starts.
        m_Client->m_Operation.m_nStreamStart = kStart;
        m_Client->m_Operation.m_nBlockSize = m_Client->m_nBlockSize.load();
        m_pWorker = new CStreamThread(m_pSession);
        m_nWritten = kStart;
        m_nRead = kStart;
    }
    void TearDown() override {
        m_pWorker->ExitInstance();  // ends it as a finished worker does, and deletes it
        m_pSession->ReleaseRef();
        QueueTest::TearDown();
    }
    int SeekTo(uint64_t target) {
        plat::ScopedLock lock(m_pSession->m_cs);
        int moved = m_pWorker->SeekTo(target);
        if (moved) m_nRead = target;
        return moved;
    }
    int64_t StreamPos() const { return m_pSession->m_nStreamPos.load(); }
    // A read of the stream: the client moves the stream position with it.
    void ExpectStreamRead(uint32_t count) {
        ExpectRead(m_pWorker->m_Queue, count, count);
        m_pSession->m_nStreamPos += (int32_t)count;
    }

    static constexpr uint64_t kStart = 5000;
    CFtpClientThread* m_pSession = nullptr;
    CStreamThread* m_pWorker = nullptr;
};

}  // namespace

TEST_F(SeekTest, ForwardWithinTheQueueDiscardsUpToTheTarget) {
    EXPECT_EQ((int64_t)kStart, StreamPos());
    ASSERT_TRUE(Feed(m_pWorker->m_Queue, 3 * kSize + 10));
    EXPECT_EQ(1, SeekTo(kStart + 2 * kSize + 5));
    EXPECT_EQ((int64_t)(kStart + 2 * kSize + 5), StreamPos());
    ExpectStreamRead(5);
}

TEST_F(SeekTest, ForwardToOrBeyondTheLastQueuedByteIsRefused) {
    ASSERT_TRUE(Feed(m_pWorker->m_Queue, 2 * kSize));
    EXPECT_EQ(0, SeekTo(kStart + 2 * kSize));
    EXPECT_EQ((int64_t)kStart, StreamPos());
    EXPECT_EQ(1, SeekTo(kStart + 2 * kSize - 1));
    ExpectStreamRead(1);
}

TEST_F(SeekTest, BackwardWithinTheHeadBufferAndNoFurther) {
    ASSERT_TRUE(Feed(m_pWorker->m_Queue, 3 * kSize));
    EXPECT_EQ(1, SeekTo(kStart + kSize + 300));
    EXPECT_EQ(0, SeekTo(kStart + kSize - 1));  // that buffer has been released
    EXPECT_EQ((int64_t)(kStart + kSize + 300), StreamPos());
    EXPECT_EQ(1, SeekTo(kStart + kSize + 20));
    EXPECT_EQ((int64_t)(kStart + kSize + 20), StreamPos());
    ExpectStreamRead(400);
    EXPECT_EQ(1, SeekTo(kStart + kSize));
    ExpectStreamRead(10);
}

// Whole file offsets: a jump back by 4 GiB, or by 4 GiB and a little, is no
// step within the head buffer however its low 32 bits look.
TEST_F(SeekTest, BackwardByFourGibibytesOrMoreIsRefused) {
    const uint64_t far = (1ull << 32) + kStart;
    m_pSession->m_nStreamPos = (int64_t)far;
    m_nWritten = m_nRead = far;
    ASSERT_TRUE(Feed(m_pWorker->m_Queue, 3 * kSize));
    ExpectStreamRead(300);
    EXPECT_EQ(0, SeekTo(kStart + 300));
    EXPECT_EQ(0, SeekTo(kStart + 100));
    EXPECT_EQ((int64_t)(far + 300), StreamPos());
    EXPECT_EQ(1, SeekTo(far + 100));
    ExpectStreamRead(10);
}

TEST_F(SeekTest, SeekToTheCurrentPositionChangesNothing) {
    ASSERT_TRUE(Feed(m_pWorker->m_Queue, 100));
    EXPECT_EQ(1, SeekTo(kStart));
    EXPECT_EQ((int64_t)kStart, StreamPos());
    EXPECT_EQ(100, m_pWorker->m_Queue.GetAvailable(true));
}

// ---- The head buffer's bounds ------------------------------------------------------

TEST(HeadBuffer, CopiesOnlyFromACompleteHeadAndWithinIt) {
    Client client;
    CFtpClientThread* session = new CFtpClientThread(client.get(), &client->m_Operation);
    for (int i = 0; i < kHeadBufferSize; ++i) session->m_HeadBuffer[i] = ByteAt(i);
    std::vector<uint8_t> out(kHeadBufferSize + 1, 0xEE);
    uint32_t count = 77;

    session->m_nHeadLength = kHeadBufferSize - 1;
    EXPECT_EQ(0, session->CopyFromHead(0, out.data(), 10, &count));
    EXPECT_EQ(77u, count);

    session->m_nHeadLength = kHeadBufferSize;
    EXPECT_EQ(0, session->CopyFromHead(1, out.data(), kHeadBufferSize, &count));
    EXPECT_EQ(0, session->CopyFromHead(kHeadBufferSize - 9, out.data(), 10, &count));
    EXPECT_EQ(0, session->CopyFromHead(0, out.data(), kHeadBufferSize + 1, &count));
    EXPECT_EQ(0, session->CopyFromHead(0xFFFFFFF0u, out.data(), 0x20, &count));
    EXPECT_EQ(0xEE, out[0]);

    EXPECT_EQ(1, session->CopyFromHead(kHeadBufferSize - 10, out.data(), 10, &count));
    EXPECT_EQ(10u, count);
    EXPECT_EQ(BytesAt(kHeadBufferSize - 10, 10), std::vector<uint8_t>(out.begin(), out.begin() + 10));
    EXPECT_EQ(1, session->CopyFromHead(0, out.data(), kHeadBufferSize, &count));
    EXPECT_EQ((uint32_t)kHeadBufferSize, count);
    EXPECT_EQ(BytesAt(0, kHeadBufferSize), std::vector<uint8_t>(out.begin(), out.end() - 1));
    EXPECT_EQ(0xEE, out[kHeadBufferSize]);
    session->ReleaseRef();
}
