// The worker of a stream (operation 3): "PASV", "REST <start>", "RETR <file>"
// on the session's control connection, the data connection poured into the
// buffer queue, and the read requests the client leaves pending served from
// it. It throttles itself while the reader lags, keeps the first 64 KiB of
// the file in the session's head buffer, reports the fill level while the
// client waits for pre-buffering, and after the end of data stays to serve
// what is queued until the reader has taken it or the session cancels it.
//
// Locks: the session's m_cs is held only around serving a read, planning a
// pass, the throttle decision and the end (the base class); never while
// polling, receiving or writing into the queue. The queue's own lock nests
// inside m_cs.
#pragma once

#include <atomic>
#include <memory>
#include <stddef.h>
#include <stdint.h>

#include "workers/CBufferQueue.h"
#include "workers/CWorkerThread.h"

class CStreamThread : public CWorkerThread {
public:
    explicit CStreamThread(CFtpClientThread* session);

    // ---- For the client's stream reading, with the session's m_cs held ----
    // Moves the stream to target within the buffered data: forward by
    // discarding queued bytes, back within the queue's head buffer. 1 when
    // the stream now stands at target, 0 when it has to start anew.
    int SeekTo(uint64_t target);
    // Serves a read straight from the queue when it holds enough: complete
    // buffers only, or anything queued once a buffering wait is over (or
    // the data has ended). The stream position moves on by what was
    // delivered. False: the read has to wait for the worker.
    bool ReadQueued(uint8_t* buffer, uint32_t length, bool afterBuffering, uint32_t* delivered);
    // Data may still arrive: the end of data has not been seen.
    bool IsReceiving() const { return m_bEndOfData.load() == 0; }
    // Arms the queue's ready event for a buffering wait (a queue that was
    // full once and has been read since must fill again), reports the fill
    // level while the wait lasts, and lifts the throttle mark: a worker
    // held at it would receive nothing while the reader waits, so the queue
    // would never fill. The event to wait for (it stays valid when the
    // worker ends), or null when the queue is ready already.
    std::shared_ptr<void> BeginBufferingWait();
    void EndBufferingWait() { m_bReportBuffering = 0; }
    // The file offset just past the last byte received.
    uint64_t ReceivedEnd() const { return m_nReceivedEnd.load(); }
    // How many blocks the worker reads ahead while nobody waits: two at
    // the start, doubled each time the reader has taken that many in order,
    // up to the queue's ten.
    uint32_t ReadAheadBlocks() const { return m_nReadAheadBlocks.load(); }
    // The window a new stream starts with (0 restores two blocks): tests of
    // the full queue start at ten.
    static void SetFirstReadAheadBlocksForTesting(uint32_t blocks);

    // The stream position the reader must reach before a worker paused on
    // a full queue receives again; 0 = none. The fields from here on are
    // the worker's own; tests look at them.
    std::atomic<uint64_t> m_nThrottleMark;
    // While 1, every received block is followed by a WM_FTP_BUFFERING notice.
    std::atomic<int32_t> m_bReportBuffering;
    CBufferQueue m_Queue;
    std::atomic<uint8_t> m_bEndOfData;
    // "226 " has been seen: unless the stream mode is 4, the stream ends by
    // itself once no read waits for it.
    std::atomic<uint8_t> m_bComplete;

protected:
    void Run() override;
    void WriteResults() override;
    void AfterOperationEnded() override;
    // A read handed on to the next stream worker waits for that one.
    bool IsSynchronous() const override { return !m_bPassOnRead; }

private:
    enum Step { kWaitPassive, kWaitRest, kWaitTransfer, kTransferAnswered };
    // One receive takes at most this much (and never more than the queue
    // has room for): on a fast link a round moves what has arrived.
    static const int kDataReceiveSize = 262144;

    // ---- The loop ----
    plat::DWORD LongestWaitMs() const override { return 1; }
    WaitPlan PlanWait() override;
    plat::HANDLE WakeEvent() const override;
    void OnWake(const PollResult& ready) override;
    bool IsFinishedAfterCompletion();
    uint32_t RoomWithoutWaiting();

    // ---- Read-ahead (m_cs held, but for ReadAheadRoom) ----
    // Bytes the worker may still take before it has read ahead as far as
    // the reader's pattern asks; no limit while a read waits, a buffering
    // wait fills the queue, or the window is the whole queue.
    uint32_t ReadAheadRoom();
    bool IsReadAheadLimited() const;
    // The reader took bytes in order: the window grows once it has taken
    // a whole window.
    void NoteTakenInOrder(uint32_t delivered);

    // ---- Pending reads (m_cs held) ----
    bool CanServe();
    void ServeRead();
    void RefuseUnservableRead();

    // ---- Data ----
    void OnData();
    void OnDataClosed();
    void OnEndOfData();
    void FailTransfer();
    void Refused();
    void FailOn(const FtpReply& reply);
    void Throttle(uint32_t blockLength);
    // A worker paused on a full queue receives again once the reader has
    // passed the throttle mark.
    void WakeIfPastThrottleMark();
    void CaptureHead(const uint8_t* block, uint32_t length);

    // ---- Control replies ----
    void OnControlReadable();
    void OnReply(const FtpReply& reply) override;
    void OnPassiveReply(const FtpReply& reply);
    bool IsPassiveReplyOverdue() const;
    void OnRestReply(const FtpReply& reply);
    void OnTransferReply(const FtpReply& reply);
    bool OpenStreamDataConnection(const FtpReply& reply);
    void SetStreamSocketOptions();
    void SendRest();
    void SendRetr();
    void FormatRest(char* command, size_t size);
    void ArmHeadCapture();

    // ---- Commands sent together ----
    // The empty line, "PASV", "REST" and "RETR" in one send; each reply is
    // then judged against the command it answers, in order.
    void SendTogether();
    void EnterStep(Step step);
    // A reply none of the answers to the command at the head can be.
    bool IsOutOfPlace(const FtpReply& reply) const;
    // The reply to "PASV" or "REST" is due right behind the reply before
    // it; silence then means the server dropped what came with the first
    // line.
    bool IsStepReplyOverdue();
    // The server answers commands sent together out of place or drops
    // them: this object's streams send one command per reply from now on,
    // and the read is retried on a new connection.
    void FallBackToOneCommandPerReply();

    const uint64_t m_nStartOffset;  // the file offset the transfer starts at ("REST")
    std::atomic<uint64_t> m_nReceivedEnd;  // file offset just past the last byte received
    int32_t m_nStreamMode;
    Step m_nStep;
    uint8_t m_bDrained;
    bool m_bListening;  // the last wait watched the sockets
    bool m_bDataClosed;         // the server closed the data connection in order
    bool m_bEmptyLineAnswered;  // the reply to the empty line before "PASV" is in
    bool m_bPassOnRead;
    bool m_bTogether;  // the commands went out together
    uint64_t m_tStepEntered;
    std::atomic<uint32_t> m_nReadAheadBlocks;
    uint64_t m_nTakenInWindow;  // bytes taken in order since the window last grew (m_cs)
    uint8_t m_DataBuf[kDataReceiveSize];
};
