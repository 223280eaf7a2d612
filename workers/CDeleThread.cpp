#include "workers/CDeleThread.h"

CDeleThread::CDeleThread(CFtpClientThread* session) : CWorkerThread(session, kOperationDelete) {}

void CDeleThread::Run() {
    NoteActivity();
    SendWithFileName("DELE %s");
    ClearReply();
    while (IsRunning()) {
        int ready = 0;
        PollResult sockets;
        if (!PollPass(1, true, false, &ready, &sockets)) break;
        if (ready < 0) {
            FailWith(FTPE_SOCKETERROR);
        } else if (sockets.controlReadable) {
            NoteActivity();
            OnReply();
        } else if (IsInactive()) {
            FailWith(FTPE_TIMEOUT);
        }
    }
    if (m_bDone) Post(WM_FTP_COMPLETE, 0);
}

void CDeleThread::OnReply() {
    if (ReadReplyPiece() <= 0) {
        m_bError = 1;
        return;
    }
    if (!ReplyComplete()) return;
    if (ReplyHas("250 ")) {
        m_bDone = 1;
    } else {
        FailWith(FTPE_BADREPLY);
    }
    ClearReply();
}

void CDeleThread::FailWith(int errorCode) {
    m_bError = 1;
    Post(WM_FTP_ERROR, errorCode);
}

// Only a "250 " is a deletion; a cancel or a missing connection is not.
void CDeleThread::WriteResults() {
    m_pSession->m_bSucceeded = m_bDone ? 1 : 0;
}
