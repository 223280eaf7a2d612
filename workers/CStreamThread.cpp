#include "workers/CStreamThread.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "client/CFtpClient.h"
#include "session/NetworkPrimitives.h"
#include "session/Notifications.h"
#include "session/ReplyText.h"

namespace {

// Servers send what they owe for a closed data connection within a fraction
// of a millisecond on loopback; this bounds a server that never does.
const uint32_t kOwedReplyLimitMs = 1500;
std::atomic<uint32_t> g_nOwedReplyLimitMs(kOwedReplyLimitMs);
const plat::DWORD kOwedReplyPollMs = 20;
const uint32_t kSmallBlock = 8192;
const plat::DWORD kSocketTimeoutMs = 2000;

// The complete lines of reply text that end a reply: three digits and a
// blank at the start of a line ended by a line feed. Continuation lines of
// a multi-line reply ("150-...") and unfinished lines do not count.
struct FinalLines {
    int count;
    bool preliminary;  // 1xx
    bool completion;   // 2xx to 5xx
};

bool IsFinalLineStart(const char* line) {
    return isdigit((unsigned char)line[0]) && isdigit((unsigned char)line[1]) &&
           isdigit((unsigned char)line[2]) && line[3] == ' ';
}

FinalLines ScanFinalLines(const char* text) {
    FinalLines found = {0, false, false};
    for (const char* line = text;;) {
        const char* end = strchr(line, '\n');
        if (end == nullptr) return found;
        if (end - line >= 4 && IsFinalLineStart(line)) {
            ++found.count;
            if (line[0] == '1') {
                found.preliminary = true;
            } else {
                found.completion = true;
            }
        }
        line = end + 1;
    }
}

}  // namespace

void CStreamThread::SetOwedReplyLimitForTesting(uint32_t milliseconds) {
    g_nOwedReplyLimitMs = milliseconds != 0 ? milliseconds : kOwedReplyLimitMs;
}

CStreamThread::CStreamThread(CFtpClientThread* session)
    : CWorkerThread(session, kOperationStream),
      m_nThrottleMark(0),
      m_bReportBuffering(0),
      m_Queue(session->m_pClient),
      m_bEndOfData(0),
      m_bComplete(0),
      m_nStartOffset(session->m_nStreamStart.load()),
      m_nReceivedEnd((uint64_t)m_nStartOffset),
      m_nStreamMode(1),
      m_nStep(kWaitPassive),
      m_bDrained(0),
      m_bControlTrouble(false),
      m_bPreliminarySeen(false),
      m_bCompletionSeen(false),
      m_bPassOnRead(false) {
    m_Queue.SetCancelEvent(session->m_hCancelEvent);
    session->m_nStreamPos = m_nStartOffset;
    session->m_bHeadServed = 0;
}

// ---- The loop -----------------------------------------------------------------

void CStreamThread::Run() {
    int one = 1;
    plat::setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof one);
    m_pSession->SendCommand("");
    m_pSession->SendCommand("PASV");
    NoteActivity();
    m_nStreamMode = Client()->m_nStreamMode.load();
    while (RunPass()) {
    }
    if (m_bError || m_bComplete.load()) m_Queue.SignalReady();
    CloseDataSocket();
    CollectOwedReplies();
}

bool CStreamThread::RunPass() {
    if (!WaitForRunPermission()) return false;
    plat::Sleep(1);
    switch (PlanPass()) {
    case kEndLoop:
        m_bDone = 1;  // ended by itself, after "226 "
        return false;
    case kSkipPolling: return true;
    case kPoll: break;
    }
    return PollSockets();
}

// The wake event is the worker's permission to run; the cancel event, which
// wins when both are set, ends it.
bool CStreamThread::WaitForRunPermission() {
    plat::HANDLE handles[2] = {m_pSession->m_hCancelEvent, m_pSession->m_hStreamWakeEvent};
    return plat::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

// Under m_cs, so that the reader's requests and wake-ups and the worker's
// decisions to pause are taken one after the other, never crossing.
CStreamThread::PassPlan CStreamThread::PlanPass() {
    RequestLock lock(m_pSession->m_cs);
    if (m_pSession->m_bReadPending.load()) {
        if (CanServe()) {
            ServeRead();
        } else if (RoomWithoutWaiting() == 0) {
            RefuseUnservableRead();
        }
    }
    if (IsFinishedAfterCompletion()) return kEndLoop;
    if (m_bEndOfData.load()) {
        // Only requests are served now, each time the reader wakes us.
        plat::ResetEvent(m_pSession->m_hStreamWakeEvent);
        m_Queue.SignalReady();
        return kSkipPolling;
    }
    if (RoomWithoutWaiting() == 0) {
        // Not listening while the reader lags is not the server's silence.
        plat::ResetEvent(m_pSession->m_hStreamWakeEvent);
        NoteActivity();
        return kSkipPolling;
    }
    return kPoll;
}

bool CStreamThread::PollSockets() {
    int ready = 0;
    PollResult sockets;
    if (!PollPass(0, false, false, &ready, &sockets)) return false;  // cancelled
    if (ready < 0) {
        m_bError = 1;
        m_bControlTrouble = true;
        return false;
    }
    if (ready == 0) {
        if (IsInactive()) {
            Client()->m_nErrorCode = FTPE_TIMEOUT;
            m_bError = 1;
            m_bControlTrouble = true;
        }
        return !m_bError;
    }
    if (sockets.dataReadable) {
        OnData();
    } else if (m_bComplete.load()) {
        m_bDrained = 1;
    }
    if (!m_bError && sockets.controlReadable) OnReply();
    NoteActivity();
    return !m_bError;
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

// ---- Pending reads --------------------------------------------------------------

bool CStreamThread::CanServe() {
    return m_bEndOfData.load() || m_Queue.GetAvailable(true) >= m_pSession->m_nValue.load();
}

void CStreamThread::ServeRead() {
    CFtpClientThread* s = m_pSession;
    uint32_t delivered = 0;
    m_Queue.Read(s->m_pReadBuffer.load(), (uint32_t)s->m_nValue.load(), &delivered);
    *s->m_pReadCount.load() = delivered;
    s->m_nStreamPos += (int32_t)delivered;
    s->m_bSucceeded = 1;
    s->m_bReadPending = 0;
    plat::SetEvent(Client()->m_hDoneEvent);
}

// The queue is as full as it gets and still holds less than the read asks
// for: only the reader could make room, and it is the one waiting.
void CStreamThread::RefuseUnservableRead() {
    Client()->m_nErrorCode = FTPE_NOMEMORY;
    m_pSession->m_bSucceeded = 0;
    m_pSession->m_bReadPending = 0;
    plat::SetEvent(Client()->m_hDoneEvent);
}

// ---- Data ---------------------------------------------------------------------------

// Polled only with room in the queue (PlanPass), and only the reader changes
// the room meanwhile, by adding to it.
void CStreamThread::OnData() {
    uint32_t room = std::min<uint32_t>(RoomWithoutWaiting(), kDataReceiveSize);
    int received = plat::recv(m_hDataSocket, (char*)m_DataBuf, (int)room, 0);
    if (received <= 0) {
        OnEndOfData();
        return;
    }
    uint32_t length = (uint32_t)received;
    if (m_Queue.Write(m_DataBuf, length)) {
        Throttle(length);
        CaptureHead(m_DataBuf, length);
    } else {
        m_bError = 1;
    }
    m_nReceivedEnd += length;
    if (m_bReportBuffering.load() == 1) {
        PostBufferingNotice(m_pSession->m_hNotifyWnd.load(),
                            m_Queue.GetCount() * 100 / CBufferQueue::kMaxBuffers);
    }
}

// A failed receive counts as the end of the file. The session's cancel
// event is left alone: set now, it is the session's request to stop.
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
        RequestLock lock(m_pSession->m_cs);
        if (m_Queue.GetCount() != CBufferQueue::kMaxBuffers) {
            m_nThrottleMark = 0;
        } else if (m_nThrottleMark.load() == 0) {
            m_nThrottleMark = (uint32_t)m_pSession->m_nStreamPos.load();
            plat::SetEvent(m_pSession->m_hStreamWakeEvent);
        } else {
            m_nThrottleMark += blockLength;
            if ((uint32_t)m_pSession->m_nStreamPos.load() >= m_nThrottleMark.load()) {
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

void CStreamThread::OnReply() {
    if (ReadReplyPiece() <= 0) {
        Client()->m_nErrorCode = FTPE_TRANSFERFAIL;
        m_bError = 1;
        m_bControlTrouble = true;
        GiveUpControlConnection();
        return;
    }
    if (m_hDataSocket == INVALID_SOCKET && HasCompletePassiveReply()) OpenStreamDataConnection();
    switch (m_nStep) {
    case kWaitPassive:
        if (ReplyHas("200 ") || HasCompletePassiveReply()) SendRest();
        return;
    case kWaitRest:
        if (ReplyHas("350 ")) SendRetr();
        return;
    case kWaitTransfer:
        JudgeTransferReply();
        return;
    case kTransferAnswered:
        NoteTransferLines();
        DropCompleteLines();
        return;
    }
}

// A passive reply split over two receives is used once its line is whole.
bool CStreamThread::HasCompletePassiveReply() const {
    const char* reply = strstr(m_szReply, "227");
    return reply != nullptr && strchr(reply, '\n') != nullptr;
}

// Text before the passive reply (the answer to the empty line) may hold
// parentheses of its own: the address is read from the reply's own line.
void CStreamThread::OpenStreamDataConnection() {
    char* reply = strstr(m_szReply, "227");
    memmove(m_szReply, reply, strlen(reply) + 1);
    OpenPassiveDataConnection(true);
    SetStreamSocketOptions();
}

void CStreamThread::SetStreamSocketOptions() {
    if (m_hDataSocket == INVALID_SOCKET) return;
    plat::WinsockLinger linger = {1, 1};
    plat::setsockopt(m_hDataSocket, SOL_SOCKET, SO_LINGER, (const char*)&linger, sizeof linger);
    plat::DWORD timeout = kSocketTimeoutMs;
    plat::setsockopt(m_hDataSocket, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof timeout);
    plat::setsockopt(m_hDataSocket, SOL_SOCKET, SO_SNDTIMEO, (const char*)&timeout, sizeof timeout);
}

// A stream from the file's start arms the head capture when it is off.
void CStreamThread::SendRest() {
    char command[32];
    snprintf(command, sizeof command, "REST %i", (int)m_nStartOffset);
    if (m_nStartOffset == 0) {
        int32_t off = -1;
        m_pSession->m_nHeadLength.compare_exchange_strong(off, 0);
    }
    m_pSession->SendCommand(command);
    ClearReply();
    m_nStep = kWaitRest;
}

// Whatever arrived before RETR went out is never taken for its outcome.
void CStreamThread::SendRetr() {
    ClearReply();
    SendWithFileName("RETR %s");
    m_nStep = kWaitTransfer;
}

// Judged once a reply's last line is in; "150 " keeps waiting, "226 "
// completes the transfer, "125 " starts it, anything else fails it. The
// codes are tested in that order, so "150 " and "226 " together count as
// "150 " and the stream simply runs to the end of its data.
void CStreamThread::JudgeTransferReply() {
    if (ScanFinalLines(m_szReply).count == 0) return;
    NoteTransferLines();
    if (HasReplyLine(m_szReply, "150 ")) {
        // Preliminary: the outcome is still to come.
    } else if (HasReplyLine(m_szReply, "226 ")) {
        m_bComplete = 1;
        m_nStep = kTransferAnswered;
    } else if (HasReplyLine(m_szReply, "125 ")) {
        m_nStep = kTransferAnswered;
    } else {
        m_bError = 1;
    }
    DropCompleteLines();
}

void CStreamThread::NoteTransferLines() {
    FinalLines lines = ScanFinalLines(m_szReply);
    if (lines.preliminary) m_bPreliminarySeen = true;
    if (lines.completion) m_bCompletionSeen = true;
}

// Keeps an unfinished last line: its rest is still to come.
void CStreamThread::DropCompleteLines() {
    const char* end = strrchr(m_szReply, '\n');
    if (end != nullptr) memmove(m_szReply, end + 1, strlen(end + 1) + 1);
}

// ---- The end -------------------------------------------------------------------------

// The replies the server still owes for this worker's commands: the next
// worker must not take them for its own. Before RETR is answered, both its
// preliminary and its final reply; at the first step also the answer to the
// empty line, which only some servers give (a wait for it is bounded).
int CStreamThread::OwedReplies() const {
    switch (m_nStep) {
    case kWaitPassive: return 2;
    case kWaitRest: return 1;
    default:
        if (m_bCompletionSeen) return 0;
        return m_bPreliminarySeen ? 1 : 2;
    }
}

// Closing the data connection early makes the server send the aborted
// transfer's reply; a command sent at once may be answered before it, or be
// lost. So the owed replies are collected here, before the session or the
// next worker uses the connection again. A server that does not send them
// in time leaves the connection in an unknown state: it is given up, and
// the next operation connects anew.
void CStreamThread::CollectOwedReplies() {
    int owed = OwedReplies();
    if (owed == 0 || m_bControlTrouble || IsSessionStopping()) return;
    DropCompleteLines();
    plat::SYSTEMTIME start;
    plat::GetSystemTime(&start);
    while (owed > 0) {
        if (IsOverLimit(start, g_nOwedReplyLimitMs.load())) {
            GiveUpControlConnection();
            return;
        }
        if (!WaitForControlText(kOwedReplyPollMs)) continue;
        if (ReadReplyPiece() <= 0) {
            GiveUpControlConnection();
            return;
        }
        owed -= ScanFinalLines(m_szReply).count;
        DropCompleteLines();
    }
}

// The session closes the connection itself when it stops or restarts.
bool CStreamThread::IsSessionStopping() const {
    return plat::WaitForSingleObject(Client()->m_hStopEvent, 0) == WAIT_OBJECT_0;
}

bool CStreamThread::WaitForControlText(plat::DWORD milliseconds) {
    plat::SocketSet readSet;
    readSet.Add(m_hSocket);
    return plat::select(&readSet, nullptr, nullptr, milliseconds) > 0;
}

void CStreamThread::GiveUpControlConnection() {
    m_pSession->CloseControlSocket();
    m_hSocket = INVALID_SOCKET;
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
    if (m_bPassOnRead) m_pSession->m_nOperation = kOperationStream;
}

// ---- For the client's stream reading (m_cs held) ------------------------------------

int CStreamThread::SeekTo(uint32_t target) {
    int64_t distance = (int64_t)m_pSession->m_nStreamPos.load() - (int64_t)target;
    if (distance < 0) {
        if ((int64_t)m_Queue.GetAvailable(true) <= -distance) return 0;
        uint32_t delivered = 0;
        m_Queue.Read(nullptr, (uint32_t)-distance, &delivered);
        m_pSession->m_nStreamPos += (int32_t)delivered;
        return 1;
    }
    if (!m_Queue.StepBack((uint32_t)distance)) return 0;
    m_pSession->m_nStreamPos -= (int32_t)distance;
    return 1;
}

void CStreamThread::WakeIfPastThrottleMark() {
    if (m_bEndOfData.load()) return;
    if (m_nThrottleMark.load() <= (uint32_t)m_pSession->m_nStreamPos.load()) {
        plat::SetEvent(m_pSession->m_hStreamWakeEvent);
    }
}

bool CStreamThread::IsBufferingDone() {
    return m_bEndOfData.load() || m_Queue.IsFull();
}
