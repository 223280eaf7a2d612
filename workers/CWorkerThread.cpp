#include "workers/CWorkerThread.h"

#include <stdio.h>
#include <string.h>

#include "client/CFtpClient.h"
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
      m_hSocket(session->m_hSocket.load()),
      m_hDataSocket(INVALID_SOCKET),
      m_tLastActivity(0),
      m_bError(0),
      m_bDone(0),
      m_nErrorToPost(0),
      m_nOwedReplies(0),
      m_bPreliminaryOwed(false),
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
    if (m_hSocket != INVALID_SOCKET) {
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
    if (IsSynchronous()) plat::SetEvent(Client()->m_hDoneEvent);
    plat::SetEvent(finished);
    plat::SetEvent(exited);
    m_pSession->m_cs.Unlock();
    delete this;
    return 0;
}

void CWorkerThread::EndOperation() {
    CFtpClientThread* s = m_pSession;
    switch (m_nOperation) {
    case kOperationUpload: s->m_pStorThread = nullptr; break;
    case kOperationDelete: s->m_pDeleThread = nullptr; break;
    case kOperationStream: s->m_pStreamThread = nullptr; break;
    case kOperationSize: s->m_pSizeThread = nullptr; break;
    case kOperationDownload: s->m_pReceThread = nullptr; break;
    case kOperationList: s->m_pListThread = nullptr; break;
    case kOperationDirectory: s->m_pDirThread = nullptr; break;
    default: break;
    }
    s->m_nOperation = kOperationNone;
}

bool CWorkerThread::PollPass(plat::DWORD pauseMs, bool writeControl, bool writeData,
                             int* ready, PollResult* result) {
    memset(result, 0, sizeof *result);
    *ready = 0;
    if (plat::WaitForSingleObject(m_pSession->m_hCancelEvent, pauseMs) == WAIT_OBJECT_0) {
        return false;
    }
    plat::SocketSet readSet;
    plat::SocketSet writeSet;
    readSet.Add(m_hSocket);
    if (m_hDataSocket != INVALID_SOCKET) readSet.Add(m_hDataSocket);
    if (writeControl) writeSet.Add(m_hSocket);
    if (writeData && m_hDataSocket != INVALID_SOCKET) writeSet.Add(m_hDataSocket);
    *ready = plat::select(&readSet, &writeSet, nullptr, 0);
    if (*ready <= 0) {
        if (*ready < 0) *ready = -1;
        return true;
    }
    result->controlReadable = readSet.Contains(m_hSocket);
    result->controlWritable = writeSet.Contains(m_hSocket);
    if (m_hDataSocket != INVALID_SOCKET) {
        result->dataReadable = readSet.Contains(m_hDataSocket);
        result->dataWritable = writeSet.Contains(m_hDataSocket);
    }
    return true;
}

// ---- Commands and replies ---------------------------------------------------------

void CWorkerThread::SendOwing(const char* command, bool transfer) {
    m_nOwedReplies += transfer ? 2 : 1;
    m_bPreliminaryOwed = transfer;
    m_pSession->SendCommand(command);
}

void CWorkerThread::SendWithFileName(const char* format, bool transfer) {
    char command[2 * kTextFieldSize];
    snprintf(command, sizeof command, format, m_pSession->m_szFileName);
    SendOwing(command, transfer);
}

int CWorkerThread::ReceiveReplies() {
    int received = plat::recv(m_hSocket, m_szRecvBuf, kControlReceiveSize, 0);
    if (received <= 0) return received;
    m_pSession->m_Replies.Append(m_szRecvBuf, (size_t)received);
    return received;
}

// A final reply to a transfer command that had no preliminary one answers
// for both. Any reply counts while one is owed: pure-ftpd codes what it
// sends for an aborted transfer 150.
bool CWorkerThread::TakeReply(FtpReply* reply) {
    if (!m_pSession->m_Replies.Next(reply)) return false;
    int answered = (!reply->IsPreliminary() && m_bPreliminaryOwed) ? 2 : 1;
    m_bPreliminaryOwed = false;
    m_nOwedReplies = m_nOwedReplies > answered ? m_nOwedReplies - answered : 0;
    return true;
}

void CWorkerThread::GiveUpControlConnection() {
    m_bControlTrouble = true;
    m_pSession->CloseControlSocket();
    m_hSocket = INVALID_SOCKET;
}

// Once nothing is owed, whatever else the reader holds answers nothing the
// next worker or the session will ask: it goes.
void CWorkerThread::CollectOwedReplies() {
    if (m_hSocket == INVALID_SOCKET || IsSessionStopping()) return;
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
        if (ReceiveReplies() <= 0) {
            GiveUpControlConnection();
            return;
        }
    }
    m_pSession->m_Replies.Clear();
}

// The session closes the connection itself when it stops or restarts.
bool CWorkerThread::IsSessionStopping() const {
    return plat::WaitForSingleObject(Client()->m_hStopEvent, 0) == WAIT_OBJECT_0;
}

bool CWorkerThread::WaitForControlText(plat::DWORD milliseconds) {
    plat::SocketSet readSet;
    readSet.Add(m_hSocket);
    return plat::select(&readSet, nullptr, nullptr, milliseconds) > 0;
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
    m_hDataSocket = INVALID_SOCKET;
    if (!ParsePassiveReply(reply.text, announced, sizeof announced, &port)) return false;
    if (plat::inet_addr(announced) == INADDR_NONE) return false;
    char serverAddress[kTextFieldSize];
    Client()->CopyServerAddress(serverAddress, sizeof serverAddress);
    m_hDataSocket = ConnectToServer(serverAddress, port, nullptr, nullptr, 0);
    SetDataSocketOptions();
    return true;
}

bool CWorkerThread::OpenPassiveDataConnectionOrFail(const FtpReply& reply) {
    if (!OpenPassiveDataConnection(reply)) {
        FailWith(FTPE_BADREPLY);
        return false;
    }
    if (m_hDataSocket == INVALID_SOCKET) {
        FailWith(FTPE_TRANSFERFAIL);
        return false;
    }
    return true;
}

void CWorkerThread::SetDataSocketOptions() {
    if (m_hDataSocket == INVALID_SOCKET) return;
    plat::WinsockLinger linger = {1, 1};
    plat::setsockopt(m_hDataSocket, SOL_SOCKET, SO_LINGER, (const char*)&linger, sizeof linger);
}

void CWorkerThread::CloseDataSocket() {
    if (m_hDataSocket == INVALID_SOCKET) return;
    plat::closesocket(m_hDataSocket);
    m_hDataSocket = INVALID_SOCKET;
}

void CWorkerThread::Post(unsigned message, int lParam) {
    FtpPostMessage(m_pSession->m_hNotifyWnd.load(), message, Client(), lParam);
}

void CWorkerThread::FailWith(int errorCode) {
    m_bError = 1;
    if (m_nErrorToPost == 0) m_nErrorToPost = errorCode;
}
