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

void CCommandThread::OnReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    m_bDone = 1;
    OnFinalReply(reply);
}

void CCommandThread::Fail(int errorCode) {
    m_bError = 1;
    NoteControlTrouble();
    OnFailure(errorCode);
}
