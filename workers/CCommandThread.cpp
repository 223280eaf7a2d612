#include "workers/CCommandThread.h"

CCommandThread::CCommandThread(CFtpClientThread* session, int operation)
    : CWorkerThread(session, operation) {}

void CCommandThread::Run() {
    SendWithFileName(CommandFormat());
    RunLoop();
}

void CCommandThread::OnWake(const PollResult& ready) {
    if (ready.controlReadable && !ReceiveAndTakeReplies()) Fail(0);
}

// "421 " is the server ending its service, whatever the command was.
void CCommandThread::OnReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    m_bDone = 1;
    if (reply.code == 421) Record()->m_nErrorCode = FTPE_NOTCONNECT;
    OnFinalReply(reply);
}

// The record keeps why, for a host that asks; a closed connection is the
// server gone.
void CCommandThread::Fail(int errorCode) {
    m_bError = 1;
    NoteControlTrouble();
    Record()->m_nErrorCode = errorCode != 0 ? errorCode : FTPE_NOTCONNECT;
    OnFailure(errorCode);
}

void CCommandThread::OnCancel() {
    Record()->m_nErrorCode = FTPE_NOTCONNECT;
}
