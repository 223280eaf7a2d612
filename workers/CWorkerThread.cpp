#include "workers/CWorkerThread.h"

#include <stdio.h>
#include <string.h>

#include "client/CFtpClient.h"
#include "session/NetworkPrimitives.h"
#include "session/Notifications.h"
#include "session/ReplyText.h"
#include "workers/PassiveReply.h"

CWorkerThread::CWorkerThread(CFtpClientThread* session, int operation)
    : m_pSession(session),
      m_nOperation(operation),
      m_hSocket(session->m_hSocket.load()),
      m_hDataSocket(INVALID_SOCKET),
      m_bError(0),
      m_bDone(0) {
    session->AddRef();
    memset(&m_tLastActivity, 0, sizeof m_tLastActivity);
    m_szReply[0] = '\0';
    m_szRecvBuf[0] = '\0';
}

CWorkerThread::~CWorkerThread() {
    CloseDataSocket();
    m_pSession->ReleaseRef();
}

BOOL CWorkerThread::InitInstance() {
    if (!PrepareBeforeStart()) return FALSE;
    plat::WaitForSingleObject(m_pSession->m_hStartEvent, INFINITE);
    if (m_hSocket != INVALID_SOCKET) Run();
    CloseDataSocket();
    return FALSE;
}

// Every worker ends holding the session lock, so the session's decision to
// cancel a running worker sees it either running or completely ended.
int CWorkerThread::ExitInstance() {
    m_pSession->m_cs.Lock();
    WriteResults();
    EndOperation();
    AfterOperationEnded();
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

int CWorkerThread::ReadReplyPiece() {
    int received = plat::recv(m_hSocket, m_szRecvBuf, kControlReceiveSize - 1, 0);
    if (received <= 0) return received;
    m_szRecvBuf[received] = '\0';
    AppendReplyPiece(m_szReply, sizeof m_szReply, m_szRecvBuf, (size_t)received);
    return received;
}

bool CWorkerThread::ReplyHas(const char* code) const {
    return HasReplyCode(m_szReply, code);
}

bool CWorkerThread::ReplyComplete() const {
    return HasLineFeed(m_szReply);
}

void CWorkerThread::SendWithFileName(const char* format) {
    char command[2 * kTextFieldSize];
    snprintf(command, sizeof command, format, m_pSession->m_szFileName);
    m_pSession->SendCommand(command);
}

void CWorkerThread::NoteActivity() {
    plat::GetSystemTime(&m_tLastActivity);
}

bool CWorkerThread::IsInactive() const {
    return IsOverLimit(m_tLastActivity, kWorkerInactivityLimitMs);
}

void CWorkerThread::OpenPassiveDataConnection(bool allowServerAddress) {
    char announced[kTextFieldSize];
    uint16_t port = 0;
    m_hDataSocket = INVALID_SOCKET;
    if (!ParsePassiveReply(m_szReply, announced, sizeof announced, &port)) return;
    char serverAddress[kTextFieldSize];
    Client()->CopyServerAddress(serverAddress, sizeof serverAddress);
    bool race = allowServerAddress && strcmp(announced, serverAddress) != 0;
    m_hDataSocket = ConnectToServer(announced, port, nullptr, race ? serverAddress : nullptr, port);
    SetDataSocketOptions();
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
