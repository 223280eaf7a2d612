#include "workers/CSizeThread.h"

#include "session/ReplyText.h"

CSizeThread::CSizeThread(CFtpClientThread* session) : CWorkerThread(session, kOperationSize) {}

void CSizeThread::Run() {
    SendWithFileName("SIZE %s");
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
            // Only replies count as activity: a writable control socket says
            // nothing about a server that never answers.
            m_bError = 1;
        }
    }
}

void CSizeThread::OnReply() {
    if (ReadReplyPiece() <= 0) {
        m_bError = 1;
        return;
    }
    if (!ReplyComplete()) return;
    int size = ReplyFileSize(m_szReply);
    ClearReply();
    m_bDone = 1;
    m_pSession->m_nValue = size;
}

void CSizeThread::WriteResults() {
    if (m_bError) m_pSession->m_nValue = 0;
}
