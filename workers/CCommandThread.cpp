#include "workers/CCommandThread.h"

CCommandThread::CCommandThread(CFtpClientThread* session, int operation)
    : CWorkerThread(session, operation) {}

void CCommandThread::Run() {
    // The mark comes first: once the server has the command, the limit
    // already runs.
    NoteActivity();
    SendWithFileName(CommandFormat());
    while (IsRunning()) {
        int ready = 0;
        PollResult sockets;
        if (!PollPass(1, false, false, &ready, &sockets)) break;
        if (ready < 0) {
            Fail(FTPE_SOCKETERROR);
        } else if (sockets.controlReadable) {
            NoteActivity();
            OnControlReadable();
        } else if (IsInactive()) {
            Fail(FTPE_TIMEOUT);
        }
    }
}

void CCommandThread::OnControlReadable() {
    if (ReceiveReplies() <= 0) {
        Fail(0);
        return;
    }
    FtpReply reply;
    while (IsRunning() && TakeReply(&reply)) {
        if (reply.IsPreliminary()) continue;
        m_bDone = 1;
        OnFinalReply(reply);
    }
}

void CCommandThread::Fail(int errorCode) {
    m_bError = 1;
    NoteControlTrouble();
    OnFailure(errorCode);
}
