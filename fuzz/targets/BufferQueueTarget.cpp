// Sequences of buffer-queue operations on one thread, every result and
// every byte read compared with QueueModel. Writes stay below the free
// space, so the writer never has to wait for the reader; the cancel event
// is set from the start, so a wait that should not happen fails the write
// instead of hanging the run.
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/targets/FuzzInput.h"
#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/QueueModel.h"
#include "workers/CBufferQueue.h"

namespace {

enum QueueOperation {
    kWrite,
    kRead,
    kDiscard,
    kAvailableComplete,
    kAvailablePartial,
    kSizes,
    kStepBack,
    kEndOfData,
    kQueueOperationCount
};

uint32_t TakeLength(FuzzInput* input) {
    uint32_t low = input->TakeByte();
    return low | (uint32_t)input->TakeByte() << 8;
}

// Distinct bytes at nearby stream positions, so a byte read from the wrong
// place does not match by chance.
std::string StreamBytes(uint64_t position, uint32_t length) {
    std::string bytes(length, '\0');
    for (uint32_t i = 0; i < length; ++i) {
        uint64_t p = position + i;
        bytes[i] = (char)(p * 151 + (p >> 8) * 7 + (p >> 16));
    }
    return bytes;
}

struct QueueRun {
    CBufferQueue* queue;
    QueueModel model;
};

void DoWrite(QueueRun* run, uint32_t length) {
    if (run->model.EndOfData()) return;
    int64_t room = run->model.FreeSpace() - 1;
    if (room <= 0) return;
    length = (uint32_t)std::min<int64_t>(length, room);
    std::string bytes = StreamBytes(run->model.Written(), length);
    FuzzCheck(run->queue->Write(reinterpret_cast<const uint8_t*>(bytes.data()), length),
              "Write refused bytes that fitted");
    run->model.Write(bytes);
}

void DoRead(QueueRun* run, uint32_t length, bool keep) {
    std::vector<uint8_t> destination(length);
    uint32_t delivered = 0;
    bool held = run->queue->Read(keep ? destination.data() : nullptr, length, &delivered);
    bool drainedBefore = run->model.Drained();
    std::string expected = run->model.Read(length);
    FuzzCheck(held == !drainedBefore, "Read refused while buffers were held, or the reverse");
    FuzzCheck(delivered == expected.size(), "Read delivered another count than written");
    if (keep && delivered > 0 && delivered == expected.size()) {
        FuzzCheck(memcmp(destination.data(), expected.data(), delivered) == 0,
                  "Read delivered other bytes than written");
    }
}

void CheckSizes(QueueRun* run) {
    FuzzCheck(run->queue->GetCount() == run->model.Count(), "GetCount differs from the model");
    FuzzCheck(run->queue->BuffersAllocated() <= CBufferQueue::kMaxBuffers,
              "more buffers allocated than the queue may hold");
    if (run->model.Drained()) return;
    int64_t freeSpace = run->model.FreeSpace();
    FuzzCheck(run->queue->GetFreeSpace() == freeSpace, "GetFreeSpace differs from the model");
    FuzzCheck(run->queue->IsFull() == (freeSpace < run->queue->GetBufferSize()),
              "IsFull differs from the free space");
}

void DoOperation(QueueRun* run, QueueOperation operation, uint32_t length) {
    switch (operation) {
    case kWrite: DoWrite(run, length); break;
    case kRead: DoRead(run, length, true); break;
    case kDiscard: DoRead(run, length, false); break;
    case kAvailableComplete:
        FuzzCheck(run->queue->GetAvailable(false) == run->model.Available(false),
                  "GetAvailable(complete buffers) differs from the model");
        break;
    case kAvailablePartial:
        FuzzCheck(run->queue->GetAvailable(true) == run->model.Available(true),
                  "GetAvailable(with the tail) differs from the model");
        break;
    case kSizes: CheckSizes(run); break;
    case kStepBack:
        FuzzCheck(run->queue->StepBack(length) == run->model.StepBack(length),
                  "StepBack differs from the model");
        break;
    case kEndOfData:
        run->queue->SetEndOfData();
        run->model.SetEndOfData();
        break;
    default: break;
    }
}

}  // namespace

void FuzzBufferQueue(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    uint32_t blockSize = std::max<uint32_t>(1, TakeLength(&input));
    plat::HANDLE cancel = plat::CreateEventA(nullptr, TRUE, TRUE, nullptr);
    {
        std::unique_ptr<CBufferQueue> queue(new CBufferQueue(blockSize));
        queue->SetCancelEvent(cancel);
        QueueRun run = {queue.get(), QueueModel(queue->GetBufferSize(), CBufferQueue::kMaxBuffers)};
        FuzzCheck(queue->GetBufferSize() == blockSize, "the buffer size is not the block size");
        while (input.Remaining() > 0) {
            QueueOperation operation = (QueueOperation)input.TakeChoice(kQueueOperationCount);
            DoOperation(&run, operation, TakeLength(&input));
        }
        CheckSizes(&run);
    }
    plat::CloseHandle(cancel);
}
