#include "workers/CWorkerThread.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "session/NetworkPrimitives.h"
#include "session/Notifications.h"
#include "workers/PassiveReply.h"

namespace {

// Servers send what they owe for a closed data connection within a fraction
// of a millisecond on loopback, and within a round trip on a real network;
// this bounds a server that never does.
const uint32_t kOwedReplyLimitMs = 1500;
std::atomic<uint32_t> g_nOwedReplyLimitMs(kOwedReplyLimitMs);
const plat::DWORD kOwedReplyPollMs = 20;

}  // namespace

void CWorkerThread::SetOwedReplyLimitForTesting(uint32_t milliseconds) {
    g_nOwedReplyLimitMs = milliseconds != 0 ? milliseconds : kOwedReplyLimitMs;
}

CWorkerThread::CWorkerThread(CFtpClientThread* session, int operation)
    : m_pSession(session),
      m_nOperation(operation),
      m_tLastActivity(0),
      m_bError(0),
      m_bDone(0),
      m_nErrorToPost(0),
      m_bControlTrouble(false),
      m_bRepliesUncounted(false) {
    session->AddRef();
    m_szRecvBuf[0] = '\0';
}

CWorkerThread::~CWorkerThread() {
    CloseDataSocket();
    m_pSession->ReleaseRef();
}

BOOL CWorkerThread::InitInstance() {
    if (!PrepareBeforeStart()) return FALSE;
    plat::WaitForSingleObject(m_pSession->m_hStartEvent, INFINITE);
    if (Control().IsOpen()) {
        // The activity mark comes before the first command: once the server
        // has it, the inactivity limit already runs.
        NoteActivity();
        Run();
        CloseDataSocket();
        CollectOwedReplies();
    }
    return FALSE;
}

// Every worker ends holding the session lock, so the session's decision to
// cancel a running worker sees it either running or completely ended.
int CWorkerThread::ExitInstance() {
    m_pSession->m_cs.Lock();
    WriteResults();
    EndOperation();
    AfterOperationEnded();
    if (m_nErrorToPost != 0) Post(WM_FTP_ERROR, m_nErrorToPost);
    plat::HANDLE finished = m_pSession->m_hWorkerFinishedEvent;
    plat::HANDLE exited = m_pSession->m_hWorkerExitedEvent;
    if (IsSynchronous()) {
        Record()->m_bAnswered = true;
        plat::SetEvent(Record()->m_hDoneEvent);
    }
    plat::SetEvent(finished);
    plat::SetEvent(exited);
    m_pSession->m_cs.Unlock();
    delete this;
    return 0;
}

void CWorkerThread::EndOperation() {
    m_pSession->m_pWorker = nullptr;
    m_pSession->m_nOperation = kOperationNone;
}

// ---- The loop ----------------------------------------------------------------------

void CWorkerThread::RunLoop() {
    while (IsRunning()) {
        WaitPlan plan = PlanWait();
        if (plan.end) break;
        PollResult ready;
        if (!WaitOnce(plan, &ready)) {
            OnCancel();
            break;
        }
        if (!IsRunning()) break;
        if (ready.Any()) NoteActivity();
        OnWake(ready);
        if (IsRunning() && plan.watchSockets && !ready.Any() && IsInactive()) OnInactive();
    }
}

CWorkerThread::WaitPlan CWorkerThread::PlanWait() {
    return WaitPlan{false, true, true, false};
}

bool CWorkerThread::WaitOnce(const WaitPlan& plan, PollResult* ready) {
    *ready = PollResult{false, false, false};
    plat::HANDLE events[2] = {m_pSession->m_hCancelEvent,
                              plan.watchSockets ? nullptr : WakeEvent()};
    plat::DWORD eventCount = events[1] != nullptr ? 2 : 1;
    plat::SocketWait sockets[2] = {{Control().Socket(), true, false, false, false},
                                   {m_Data.Socket(), plan.readData, plan.writeData, false, false}};
    bool watchData = plan.watchSockets && m_Data.IsOpen() && (plan.readData || plan.writeData);
    plat::DWORD socketCount = !plan.watchSockets ? 0 : watchData ? 2 : 1;
    // Bytes a connection already holds are ready without waiting.
    bool controlHeld = plan.watchSockets && Control().HasPendingInput();
    bool dataHeld = watchData && plan.readData && m_Data.HasPendingInput();
    plat::DWORD limit = !plan.watchSockets ? INFINITE : controlHeld || dataHeld ? 0 : LongestWaitMs();
    plat::DWORD result =
        plat::WaitForEventsAndSockets(eventCount, events, sockets, socketCount, limit);
    if (result == WAIT_OBJECT_0) return false;
    if (result == WAIT_FAILED) {
        OnWaitFailed();
        return true;
    }
    ready->controlReadable = sockets[0].readable || controlHeld;
    ready->dataReadable = watchData && (sockets[1].readable || dataHeld);
    ready->dataWritable = watchData && sockets[1].writable;
    return true;
}

void CWorkerThread::OnInactive() {
    Record()->m_nErrorCode = FTPE_TIMEOUT;
    m_bError = 1;
    NoteControlTrouble();
}

void CWorkerThread::OnWaitFailed() {
    m_bError = 1;
    NoteControlTrouble();
}

// ---- Commands and replies ---------------------------------------------------------

void CWorkerThread::SendOwing(const char* command, bool transfer) {
    const OutgoingCommand one = {command, true,
                                 transfer ? OwedCommand::kTransfer : OwedCommand::kOther};
    SendOwingTogether(&one, 1);
}

void CWorkerThread::SendOwingTogether(const OutgoingCommand* commands, size_t count) {
    std::vector<const char*> lines;
    for (size_t i = 0; i < count; ++i) {
        lines.push_back(commands[i].text);
        if (commands[i].owed) m_Owed.Sent(commands[i].kind);
    }
    m_pSession->SendCommands(lines.data(), lines.size());
}

void CWorkerThread::SendWithFileName(const char* format, bool transfer) {
    char command[2 * kTextFieldSize];
    snprintf(command, sizeof command, format, m_pSession->m_szFileName);
    SendOwing(command, transfer);
}

int CWorkerThread::ReceiveReplies() {
    int received = Control().Receive(m_szRecvBuf, kControlReceiveSize);
    if (received <= 0) return received;
    m_pSession->m_Replies.Append(m_szRecvBuf, (size_t)received);
    return received;
}

bool CWorkerThread::ReceiveAndTakeReplies() {
    int received = ReceiveReplies();
    if (received == CFtpConnection::kNothingYet) return true;
    if (received <= 0) return false;
    FtpReply reply;
    while (IsRunning() && TakeReply(&reply)) OnReply(reply);
    return true;
}

// Each reply answers the oldest command still owed one (COwedReplies).
bool CWorkerThread::TakeReply(FtpReply* reply) {
    if (!m_pSession->m_Replies.Next(reply)) return false;
    if (m_Owed.Take(reply->IsPreliminary()) == COwedReplies::kTransferPreliminary) {
        ProtectDataConnection();
    }
    return true;
}

void CWorkerThread::GiveUpControlConnection() {
    m_bControlTrouble = true;
    m_pSession->CloseControlSocket();
}

// Once nothing is owed, whatever else the reader holds answers nothing the
// next worker or the session will ask: it goes.
void CWorkerThread::CollectOwedReplies() {
    if (!Control().IsOpen() || IsSessionStopping()) return;
    if (m_bRepliesUncounted || (OwesReplies() && m_bControlTrouble)) {
        GiveUpControlConnection();
        return;
    }
    uint64_t start = plat::GetTickCount64();
    FtpReply reply;
    while (OwesReplies()) {
        if (TakeReply(&reply)) continue;
        if (IsOverLimit(start, g_nOwedReplyLimitMs.load())) {
            GiveUpControlConnection();
            return;
        }
        if (!WaitForControlText(kOwedReplyPollMs)) continue;
        int received = ReceiveReplies();
        if (received == CFtpConnection::kNothingYet) continue;
        if (received <= 0) {
            GiveUpControlConnection();
            return;
        }
    }
    m_pSession->m_Replies.Clear();
}

// The session closes the connection itself when it stops or restarts.
bool CWorkerThread::IsSessionStopping() const {
    return m_pSession->IsStopRequested();
}

bool CWorkerThread::WaitForControlText(plat::DWORD milliseconds) {
    if (Control().HasPendingInput()) return true;
    plat::SocketWait control = {Control().Socket(), true, false, false, false};
    return plat::WaitForEventsAndSockets(0, nullptr, &control, 1, milliseconds) ==
           plat::kWaitSocketsReady;
}

// ---- Activity and time ---------------------------------------------------------------

void CWorkerThread::NoteActivity() {
    m_tLastActivity = plat::GetTickCount64();
}

bool CWorkerThread::IsInactive() const {
    return IsOverLimit(m_tLastActivity, kWorkerInactivityLimitMs);
}

// ---- Passive data connection ------------------------------------------------------------

bool CWorkerThread::OpenPassiveDataConnection(const FtpReply& reply) {
    char announced[kTextFieldSize];
    uint16_t port = 0;
    m_Data.Close();
    if (!ParsePassiveReply(reply.text, announced, sizeof announced, &port)) return false;
    if (plat::inet_addr(announced) == INADDR_NONE) return false;
    char serverAddress[kTextFieldSize];
    snprintf(serverAddress, sizeof serverAddress, "%s", Control().PeerAddress());
    m_Data.Attach(ConnectToServer(serverAddress, port, nullptr, nullptr, 0), serverAddress,
                  Control().PeerName());
    if (m_Data.IsOpen()) m_Data.SetLinger(1);
    return true;
}

// The server starts the data connection's handshake only once it has
// answered the transfer command (a handshake begun earlier is reset by
// some servers); the connection then offers the control connection's TLS
// session, which some servers require.
void CWorkerThread::ProtectDataConnection() {
    if (!Control().IsProtected() || !m_Data.IsOpen() || m_Data.IsProtected()) return;
    char reason[kErrorTextSize];
    if (m_Data.StartTls(Control().Trust(), &Control(), m_pSession->m_hCancelEvent,
                        kWorkerInactivityLimitMs, reason, sizeof reason)) {
        NoteActivity();
        return;
    }
    char line[kTextFieldSize + kErrorTextSize + 64];
    snprintf(line, sizeof line, "TLS on the data connection failed: %s.\n", reason);
    plat::OutputDebugStringA(line);
    Record()->NoteReason(reason);
    CloseDataSocket();
    FailWith(FTPE_TRANSFERFAIL);
}

bool CWorkerThread::IsDataProtectedAsAsked() const {
    return !Control().IsProtected() || m_Data.IsProtected();
}

bool CWorkerThread::OpenPassiveDataConnectionOrFail(const FtpReply& reply) {
    if (!OpenPassiveDataConnection(reply)) {
        FailWith(FTPE_BADREPLY);
        return false;
    }
    if (!m_Data.IsOpen()) {
        FailWith(FTPE_TRANSFERFAIL);
        return false;
    }
    return true;
}

void CWorkerThread::CloseDataSocket() {
    m_Data.Close();
}

void CWorkerThread::Post(unsigned message, int lParam) {
    FtpPostMessage(Record()->m_hNotifyWnd.load(), message, Record()->m_pOwner, lParam);
}

void CWorkerThread::FailWith(int errorCode) {
    m_bError = 1;
    if (m_nErrorToPost == 0) m_nErrorToPost = errorCode;
}
