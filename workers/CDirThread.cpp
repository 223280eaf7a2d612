#include "workers/CDirThread.h"

#include "client/CFtpClient.h"

CDirThread::CDirThread(CFtpClientThread* session)
    : CWorkerThread(session, kOperationDirectory),
      m_bMakeDir(session->m_bMakeDir.load() != 0),
      m_bPositive(false),
      m_bAlreadyThere(false) {}

void CDirThread::Run() {
    SendWithFileName(m_bMakeDir ? "MKD %s" : "RMD %s");
    ClearReply();
    NoteActivity();
    while (IsRunning()) {
        int ready = 0;
        PollResult sockets;
        if (!PollPass(1, true, false, &ready, &sockets)) break;
        if (ready < 0) {
            m_bError = 1;
        } else if (sockets.controlReadable) {
            NoteActivity();
            OnReply();
        } else if (IsInactive()) {
            m_bError = 1;
        }
    }
}

void CDirThread::OnReply() {
    if (ReadReplyPiece() <= 0) {
        m_bError = 1;
        return;
    }
    if (!ReplyComplete()) return;
    m_bPositive = ReplyHas(m_bMakeDir ? "257 " : "250 ");
    m_bAlreadyThere = m_bMakeDir && ReplyHas("550 ");
    m_bDone = 1;
    ClearReply();
}

void CDirThread::WriteResults() {
    bool answered = m_bDone && !m_bError;
    m_pSession->m_bSucceeded = (answered && m_bPositive) ? 1 : 0;
    // The request reports the directory as there after "257 " and also after
    // "550 " to MKD; every other end is a failure.
    Client()->m_nDirectoryResult = (answered && (m_bPositive || m_bAlreadyThere)) ? 1 : 0;
}
