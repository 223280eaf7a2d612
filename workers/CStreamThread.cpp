#include "workers/CStreamThread.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "session/NetworkPrimitives.h"
#include "session/Notifications.h"
#include "session/ReplyText.h"

namespace {

const uint32_t kSmallBlock = 8192;
const uint32_t kPassiveAfterEmptyLineMs = 1500;
// Servers answer "PASV" and "REST" as soon as they read them, right behind
// the reply before.
const uint32_t kStepReplyDueMs = 1500;
const plat::DWORD kSocketTimeoutMs = 2000;
const uint32_t kFirstReadAheadBlocks = 2;
std::atomic<uint32_t> g_nFirstReadAheadBlocks(kFirstReadAheadBlocks);

}  // namespace

CStreamThread::CStreamThread(CFtpClientThread* session)
    : CWorkerThread(session, kOperationStream),
      m_nThrottleMark(0),
      m_bReportBuffering(0),
      m_Queue(session->m_pOperation->m_nBlockSize),
      m_bEndOfData(0),
      m_bComplete(0),
      m_nStartOffset(session->m_pOperation->m_nStreamStart.load()),
      m_nReceivedEnd(m_nStartOffset),
      m_nStreamMode(1),
      m_nStep(kWaitPassive),
      m_bDrained(0),
      m_bListening(false),
      m_bDataClosed(false),
      m_bEmptyLineAnswered(false),
      m_bPassOnRead(false),
      m_bTogether(false),
      m_tStepEntered(0),
      m_nReadAheadBlocks(g_nFirstReadAheadBlocks.load()),
      m_nTakenInWindow(0) {
    m_Queue.SetCancelEvent(session->m_hCancelEvent);
    if (m_Queue.IsOutOfMemory()) Record()->m_nErrorCode = FTPE_NOMEMORY;
    session->m_nStreamPos = (int64_t)m_nStartOffset;
    session->m_bHeadServed = 0;
}

void CStreamThread::SetFirstReadAheadBlocksForTesting(uint32_t blocks) {
    g_nFirstReadAheadBlocks = blocks != 0 ? blocks : kFirstReadAheadBlocks;
}

// ---- The loop -----------------------------------------------------------------

void CStreamThread::Run() {
    Control().SetNoDelay();
    m_nStreamMode = Record()->m_nStreamMode;
    m_bTogether = Record()->m_bOneCommandPerReply.load() == 0;
    if (m_bTogether) {
        SendTogether();
    } else {
        m_pSession->SendCommand("");
        SendOwing("PASV");
    }
    EnterStep(kWaitPassive);
    RunLoop();
    if (m_bError || m_bComplete.load()) m_Queue.SignalReady();
    if (m_nStep == kWaitPassive) NoteControlTrouble();
    // Before "REST"'s answer, "RETR" is already on its way: after a refusal
    // the server may never answer it (it refuses and falls silent), and
    // after an abort or a switch of file it may still answer it, with the
    // old transfer queued for the next data connection (pyftpdlib answers
    // the unused channel's close with a "226 " that would pass for RETR's).
    // Either way the connection's replies can no longer be told apart.
    if (m_bTogether && m_nStep == kWaitRest) NoteControlTrouble();
    // Before "227 ", a reply that is not a known answer to the empty line
    // was taken as "PASV"'s: it may have been the empty line's, with the
    // answer to "PASV" still to come, and the next command must not get it.
    if (m_nStep == kWaitPassive && !m_bEmptyLineAnswered) NoteRepliesUncounted();
}

// The wake event is the worker's permission to run: while the reader lags
// (the queue full) or the data has ended, the worker waits for it alone and
// listens to nothing; otherwise it waits for its sockets. The plan is made
// under m_cs, so that the reader's requests and wake-ups and the worker's
// decisions to pause are taken one after the other, never crossing.
CWorkerThread::WaitPlan CStreamThread::PlanWait() {
    const WaitPlan pause = {false, false, false, false};
    m_bListening = false;
    if (plat::WaitForSingleObject(m_pSession->m_hStreamWakeEvent, 0) != WAIT_OBJECT_0) return pause;
    plat::ScopedLock lock(m_pSession->m_cs);
    if (m_pSession->m_bReadPending.load()) {
        if (CanServe()) {
            ServeRead();
        } else if (RoomWithoutWaiting() == 0) {
            RefuseUnservableRead();
        }
    }
    if (IsFinishedAfterCompletion()) {
        m_bDone = 1;  // ended by itself, after "226 "
        return WaitPlan{true, false, false, false};
    }
    if (m_bEndOfData.load()) {
        // Only requests are served now, each time the reader wakes us.
        plat::ResetEvent(m_pSession->m_hStreamWakeEvent);
        m_Queue.SignalReady();
        return pause;
    }
    if (RoomWithoutWaiting() == 0 || ReadAheadRoom() == 0) {
        // Not listening while the reader lags is not the server's silence.
        plat::ResetEvent(m_pSession->m_hStreamWakeEvent);
        NoteActivity();
        return pause;
    }
    m_bListening = true;
    // No byte is taken before "REST" is answered: with "RETR" sent at once,
    // a refused "REST n" brings the file's start.
    return WaitPlan{false, true, m_nStep >= kWaitTransfer, false};
}

plat::HANDLE CStreamThread::WakeEvent() const {
    return m_pSession->m_hStreamWakeEvent;
}

// Mode 4 ends after "226 " once a wait that listened found the data
// connection quiet; a wake-up while paused says nothing about it.
void CStreamThread::OnWake(const PollResult& ready) {
    if (ready.dataReadable) {
        OnData();
    } else if (m_bComplete.load() && m_bListening) {
        m_bDrained = 1;
    }
    if (!m_bError && ready.controlReadable) OnControlReadable();
    if (m_bError || ready.Any()) return;
    if (IsStepReplyOverdue()) {
        FallBackToOneCommandPerReply();
    } else if (IsPassiveReplyOverdue()) {
        Refused();
    }
}

// "226 " before the end of data ends the stream at the next pass, in stream
// mode 4 only once a pass found the data connection quiet. Not while a read
// waits that more data can still answer, and not after the end of data,
// when everything the reader may want is queued.
bool CStreamThread::IsFinishedAfterCompletion() {
    if (!m_bComplete.load() || m_bEndOfData.load()) return false;
    if (m_nStreamMode == 4) return m_bDrained != 0;
    return !m_pSession->m_bReadPending.load();
}

// Write waits for the reader once the tenth buffer is full. The worker stops
// one byte short of that, so that it always comes back to its loop to serve
// a pending read and to see a cancel.
uint32_t CStreamThread::RoomWithoutWaiting() {
    uint32_t free = m_Queue.GetFreeSpace();
    return free > 0 ? free - 1 : 0;
}

// ---- Read-ahead -----------------------------------------------------------------

// A player that jumps again soon has had the server send little it throws
// away; one that reads on gets the whole queue after a few windows. The
// window never holds less than the head buffer, so a stream from the
// file's start always captures it.
uint32_t CStreamThread::ReadAheadRoom() {
    if (!IsReadAheadLimited()) return UINT32_MAX;
    uint64_t window = std::max<uint64_t>((uint64_t)m_nReadAheadBlocks.load() * m_Queue.GetBufferSize(),
                                         (uint64_t)kHeadBufferSize);
    int32_t ahead = std::max<int32_t>(m_Queue.GetAvailable(true), 0);
    return (uint64_t)ahead >= window ? 0 : (uint32_t)std::min<uint64_t>(window - (uint64_t)ahead, UINT32_MAX);
}

bool CStreamThread::IsReadAheadLimited() const {
    return m_nReadAheadBlocks.load() < (uint32_t)CBufferQueue::kMaxBuffers &&
           !m_pSession->m_bReadPending.load() && m_bReportBuffering.load() == 0;
}

void CStreamThread::NoteTakenInOrder(uint32_t delivered) {
    uint32_t blocks = m_nReadAheadBlocks.load();
    if (blocks >= (uint32_t)CBufferQueue::kMaxBuffers) return;
    m_nTakenInWindow += delivered;
    if (m_nTakenInWindow < (uint64_t)blocks * m_Queue.GetBufferSize()) return;
    m_nTakenInWindow = 0;
    m_nReadAheadBlocks = std::min<uint32_t>(blocks * 2, (uint32_t)CBufferQueue::kMaxBuffers);
}

// ---- Pending reads --------------------------------------------------------------

bool CStreamThread::CanServe() {
    return m_bEndOfData.load() || m_Queue.GetAvailable(true) >= (int32_t)Record()->m_nReadLength.load();
}

void CStreamThread::ServeRead() {
    COperationRecord* read = Record();
    uint32_t delivered = 0;
    m_Queue.Read(read->m_pReadBuffer.load(), read->m_nReadLength.load(), &delivered);
    *read->m_pReadCount.load() = delivered;
    m_pSession->m_nStreamPos += delivered;
    NoteTakenInOrder(delivered);
    read->m_bSucceeded = 1;
    m_pSession->m_bReadPending = 0;
    plat::SetEvent(read->m_hDoneEvent);
}

// The queue is as full as it gets and still holds less than the read asks
// for: only the reader could make room, and it is the one waiting.
void CStreamThread::RefuseUnservableRead() {
    Record()->m_nErrorCode = FTPE_NOMEMORY;
    Record()->m_bSucceeded = 0;
    m_pSession->m_bReadPending = 0;
    plat::SetEvent(Record()->m_hDoneEvent);
}

// ---- Data ---------------------------------------------------------------------------

// Polled only with room in the queue (PlanPass), and only the reader changes
// the room meanwhile, by adding to it.
void CStreamThread::OnData() {
    uint32_t room = std::min<uint32_t>({RoomWithoutWaiting(), ReadAheadRoom(), kDataReceiveSize});
    if (room == 0) return;
    int received = m_Data.Receive((char*)m_DataBuf, (int)room);
    if (received == CFtpConnection::kNothingYet) return;
    if (received < 0) {
        FailTransfer();
        return;
    }
    if (received == 0) {
        OnDataClosed();
        return;
    }
    uint32_t length = (uint32_t)received;
    if (m_Queue.Write(m_DataBuf, length)) {
        Throttle(length);
        CaptureHead(m_DataBuf, length);
    } else {
        if (m_Queue.IsOutOfMemory()) Record()->m_nErrorCode = FTPE_NOMEMORY;
        m_bError = 1;
    }
    m_nReceivedEnd += length;
    if (m_bReportBuffering.load() == 1) {
        PostBufferingNotice(Record()->m_hNotifyWnd.load(),
                            m_Queue.GetCount() * 100 / CBufferQueue::kMaxBuffers);
    }
}

// The server closed the data connection in order: the end of the file
// once the server confirms the transfer ("226 "), which may come before or
// after the close; a failure reply instead fails the transfer.
void CStreamThread::OnDataClosed() {
    CloseDataSocket();
    m_bDataClosed = true;
    if (m_bComplete.load()) OnEndOfData();
}

// A reset data connection or a failure reply in the middle of the file is
// no end of it: the read that finds too few bytes queued fails, and the
// stream reading retries it where it starts.
void CStreamThread::FailTransfer() {
    Record()->m_nErrorCode = FTPE_TRANSFERFAIL;
    m_bError = 1;
}

// A command the server refused will be refused again: the read is not
// retried.
void CStreamThread::Refused() {
    Record()->m_nErrorCode = FTPE_BADREPLY;
    m_bError = 1;
}

// The session's cancel event is left alone: set now, it is the session's
// request to stop.
void CStreamThread::OnEndOfData() {
    m_Queue.SetEndOfData();
    m_bEndOfData = 1;
    plat::SetEvent(m_pSession->m_hStreamWakeEvent);
    m_Queue.SignalReady();
}

// Once the queue holds ten buffers, the worker takes a block only when the
// reader has taken as much. Decided under m_cs: the reader moves the stream
// position and sets the wake event under it, so a wake-up cannot fall
// between the test and the pause, and a pending read is never paused on.
void CStreamThread::Throttle(uint32_t blockLength) {
    bool pause = false;
    {
        plat::ScopedLock lock(m_pSession->m_cs);
        if (m_Queue.GetCount() != CBufferQueue::kMaxBuffers) {
            m_nThrottleMark = 0;
        } else if (m_nThrottleMark.load() == 0) {
            m_nThrottleMark = (uint64_t)m_pSession->m_nStreamPos.load();
            plat::SetEvent(m_pSession->m_hStreamWakeEvent);
        } else {
            m_nThrottleMark += blockLength;
            if ((uint64_t)m_pSession->m_nStreamPos.load() >= m_nThrottleMark.load()) {
                pause = blockLength < kSmallBlock;
            } else if (!m_pSession->m_bReadPending.load()) {
                plat::ResetEvent(m_pSession->m_hStreamWakeEvent);
            }
        }
    }
    if (pause) plat::Sleep(1);
}

// The head buffer holds the file's first bytes only: a block is copied in
// where it continues exactly what has been captured, whichever stream
// brought it.
void CStreamThread::CaptureHead(const uint8_t* block, uint32_t length) {
    int32_t captured = m_pSession->m_nHeadLength.load();
    if (captured < 0 || captured >= kHeadBufferSize) return;
    uint64_t next = (uint64_t)captured;
    if (next < m_nReceivedEnd || next >= m_nReceivedEnd + length) return;
    uint32_t skip = (uint32_t)(next - m_nReceivedEnd);
    uint32_t take = std::min<uint32_t>((uint32_t)(kHeadBufferSize - captured), length - skip);
    memcpy(m_pSession->m_HeadBuffer + captured, block + skip, take);
    m_pSession->m_nHeadLength.compare_exchange_strong(captured, captured + (int32_t)take);
}

// ---- Control replies ---------------------------------------------------------------

void CStreamThread::OnControlReadable() {
    if (ReceiveAndTakeReplies()) return;
    Record()->m_nErrorCode = FTPE_TRANSFERFAIL;
    m_bError = 1;
    GiveUpControlConnection();
}

void CStreamThread::OnReply(const FtpReply& reply) {
    if (m_bTogether && IsOutOfPlace(reply)) {
        FallBackToOneCommandPerReply();
        return;
    }
    switch (m_nStep) {
    case kWaitPassive: OnPassiveReply(reply); return;
    case kWaitRest: OnRestReply(reply); return;
    case kWaitTransfer: OnTransferReply(reply); return;
    case kTransferAnswered: return;
    }
}

// The empty line sent before "PASV" is answered by some servers ("500 ",
// or "200 ") and not at all by others: its answer is the first reply, when
// it is one of those, and is owed by nobody.
void CStreamThread::OnPassiveReply(const FtpReply& reply) {
    if (reply.code == 227) {
        if (!OpenStreamDataConnection(reply)) {
            Refused();
        } else if (!m_Data.IsOpen()) {
            FailTransfer();
        } else if (m_bTogether) {
            EnterStep(kWaitRest);
        } else {
            SendRest();
        }
        return;
    }
    bool emptyLineAnswer = reply.code == 200 || (reply.code >= 500 && reply.code <= 502);
    if (!m_bEmptyLineAnswered && emptyLineAnswer) {
        m_bEmptyLineAnswered = true;
        // "PASV"'s answer is due right behind this one (sent together) or
        // soon after it (one command per reply).
        m_tStepEntered = plat::GetTickCount64();
        NoteUnaskedReply();
        return;
    }
    if (reply.IsNegative()) {
        FailOn(reply);
    } else if (!reply.IsPreliminary()) {
        Refused();
    }
}

// Replies come in the order of their commands: once the empty line has its
// answer, "PASV" has its own at the latest a round trip later. A server that
// gave no answer to the empty line and refused "PASV" with the same codes
// would otherwise leave the stream to its inactivity limit.
bool CStreamThread::IsPassiveReplyOverdue() const {
    return !m_bTogether && m_nStep == kWaitPassive && m_bEmptyLineAnswered &&
           IsOverLimit(m_tStepEntered, kPassiveAfterEmptyLineMs);
}

// A refused "REST 0" changes nothing: a transfer starts at 0 anyway.
void CStreamThread::OnRestReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    if ((reply.code == 350 || m_nStartOffset == 0) && m_bTogether) {
        EnterStep(kWaitTransfer);
    } else if (reply.code == 350 || m_nStartOffset == 0) {
        SendRetr();
    } else if (reply.IsNegative()) {
        FailOn(reply);
    } else {
        Refused();
    }
}

// Preliminary replies ("150 ", "125 ") keep waiting; "226 " completes the
// transfer, and the end of data is the file's end from then on.
void CStreamThread::OnTransferReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    m_nStep = kTransferAnswered;
    if (reply.IsPositive()) {
        m_bComplete = 1;
        if (m_bDataClosed) OnEndOfData();
    } else {
        FailOn(reply);
    }
}

// A transient refusal (4xx: "421 ", "425 ", "426 ", "451 ") is worth a
// retry on a new connection; a final one (5xx: "550 " for a missing file)
// is not.
void CStreamThread::FailOn(const FtpReply& reply) {
    if (reply.code < 500) {
        FailTransfer();
    } else {
        Refused();
    }
}

// False when the reply cannot be parsed.
bool CStreamThread::OpenStreamDataConnection(const FtpReply& reply) {
    bool parsed = OpenPassiveDataConnection(reply);
    SetStreamSocketOptions();
    return parsed;
}

void CStreamThread::SetStreamSocketOptions() {
    if (m_Data.IsOpen()) m_Data.SetTimeouts(kSocketTimeoutMs);
}

void CStreamThread::SendRest() {
    char command[32];
    FormatRest(command, sizeof command);
    ArmHeadCapture();
    SendOwing(command);
    EnterStep(kWaitRest);
}

void CStreamThread::SendRetr() {
    SendWithFileName("RETR %s", true);
    EnterStep(kWaitTransfer);
}

void CStreamThread::FormatRest(char* command, size_t size) {
    snprintf(command, size, "REST %llu", (unsigned long long)m_nStartOffset);
}

// A stream from the file's start arms the head capture when it is off.
void CStreamThread::ArmHeadCapture() {
    if (m_nStartOffset != 0) return;
    int32_t off = -1;
    m_pSession->m_nHeadLength.compare_exchange_strong(off, 0);
}

// ---- Commands sent together -----------------------------------------------------

void CStreamThread::SendTogether() {
    char rest[32];
    FormatRest(rest, sizeof rest);
    char retr[2 * kTextFieldSize];
    snprintf(retr, sizeof retr, "RETR %s", m_pSession->m_szFileName);
    ArmHeadCapture();
    const OutgoingCommand commands[] = {{"", false, OwedCommand::kOther},
                                        {"PASV", true, OwedCommand::kOther},
                                        {rest, true, OwedCommand::kOther},
                                        {retr, true, OwedCommand::kTransfer}};
    SendOwingTogether(commands, sizeof commands / sizeof commands[0]);
}

void CStreamThread::EnterStep(Step step) {
    m_nStep = step;
    m_tStepEntered = plat::GetTickCount64();
}

// What each command may be answered with; anything else answers another
// command, or a command the server dropped. "500 " and "503 " to "REST" or
// "RETR" are what a server says to commands it read as garbage or out of
// sequence: one command per reply tells whether it means them.
bool CStreamThread::IsOutOfPlace(const FtpReply& reply) const {
    bool dropped = reply.code == 500 || reply.code == 503;
    switch (m_nStep) {
    case kWaitPassive:
        if (reply.IsNegative()) return false;
        return reply.code != 227 && !(reply.code == 200 && !m_bEmptyLineAnswered);
    case kWaitRest:
        if (reply.IsNegative()) return dropped;
        return reply.code != 350 && !(m_nStartOffset == 0 && reply.IsPositive() && reply.code != 227);
    case kWaitTransfer:
        return reply.IsIntermediate() || reply.code == 227 || dropped;
    case kTransferAnswered:
        return false;
    }
    return false;
}

// Replies to commands sent together come one right behind the other: each
// is due soon after the one before it (the empty line's, "227 "), however
// long the link's round trip; before any came back nothing is known of the
// link. Below the inactivity limit only: a connection silent that long is a
// time-out, as it always was.
bool CStreamThread::IsStepReplyOverdue() {
    bool afterAReply = m_nStep == kWaitRest || (m_nStep == kWaitPassive && m_bEmptyLineAnswered);
    return m_bTogether && afterAReply && IsOverLimit(m_tStepEntered, kStepReplyDueMs) &&
           !IsInactive();
}

void CStreamThread::FallBackToOneCommandPerReply() {
    Record()->m_bOneCommandPerReply = 1;
    plat::OutputDebugStringA("Commands sent together were answered out of place: one command per reply from now on.\n");
    NoteRepliesUncounted();
    FailTransfer();
}

// ---- The end, under m_cs (the base class) -------------------------------------------

void CStreamThread::WriteResults() {
    // Whatever made the worker stop, queued bytes are still the file's.
    if (m_pSession->m_bReadPending.load() && CanServe()) ServeRead();
    m_bPassOnRead = m_pSession->m_bReadPending.load() && m_bDone;
    m_pSession->m_bHeadServed = 0;
    m_Queue.SignalReady();
}

// A read that arrived just as the stream ended after "226 " is handed to a
// new stream worker, which starts where the read starts.
void CStreamThread::AfterOperationEnded() {
    if (m_bPassOnRead) m_pSession->PostOperation(kOperationStream);
}

// ---- For the client's stream reading (m_cs held) ------------------------------------

// Distances are whole 64-bit file offsets: a jump of 4 GiB or more is never
// within the queue, whatever its low 32 bits say.
int CStreamThread::SeekTo(uint64_t target) {
    int64_t streamPos = m_pSession->m_nStreamPos.load();
    if (streamPos < 0 || target > (uint64_t)INT64_MAX) return 0;
    int64_t distance = streamPos - (int64_t)target;
    if (distance < 0) {
        if ((int64_t)m_Queue.GetAvailable(true) <= -distance) return 0;
        uint32_t delivered = 0;
        m_Queue.Read(nullptr, (uint32_t)-distance, &delivered);
        m_pSession->m_nStreamPos += delivered;
        return 1;
    }
    if (!m_Queue.StepBack((uint64_t)distance)) return 0;
    m_pSession->m_nStreamPos -= distance;
    return 1;
}

bool CStreamThread::ReadQueued(uint8_t* buffer, uint32_t length, bool afterBuffering,
                               uint32_t* delivered) {
    int32_t wanted = (int32_t)length;
    bool enough = afterBuffering
                      ? !IsReceiving() || m_Queue.GetAvailable(true) >= wanted
                      : m_Queue.GetAvailable(false) >= wanted;
    if (!enough) return false;
    *delivered = 0;
    m_Queue.Read(buffer, length, delivered);
    m_pSession->m_nStreamPos += *delivered;
    NoteTakenInOrder(*delivered);
    WakeIfPastThrottleMark();
    return true;
}

std::shared_ptr<void> CStreamThread::BeginBufferingWait() {
    if (!m_Queue.ArmReady()) return nullptr;
    m_bReportBuffering = 1;
    m_nThrottleMark = 0;
    plat::SetEvent(m_pSession->m_hStreamWakeEvent);
    return m_Queue.ReadyEvent();
}

void CStreamThread::WakeIfPastThrottleMark() {
    if (m_bEndOfData.load()) return;
    if (m_nThrottleMark.load() <= (uint64_t)m_pSession->m_nStreamPos.load() ||
        (IsReadAheadLimited() && ReadAheadRoom() > 0)) {
        plat::SetEvent(m_pSession->m_hStreamWakeEvent);
    }
}
