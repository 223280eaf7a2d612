#include "workers/CDeleThread.h"

CDeleThread::CDeleThread(CFtpClientThread* session)
    : CCommandThread(session, kOperationDelete), m_bDeleted(false) {}

void CDeleThread::OnFinalReply(const FtpReply& reply) {
    m_bDeleted = reply.code == 250;
    if (!m_bDeleted) FailWith(FTPE_BADREPLY);
}

// A closed connection is not posted: the session reports it.
void CDeleThread::OnFailure(int errorCode) {
    if (errorCode != 0) FailWith(errorCode);
}

// Only a "250 " is a deletion; a cancel or a missing connection is not.
void CDeleThread::WriteResults() {
    Record()->m_bSucceeded = m_bDeleted ? 1 : 0;
}

void CDeleThread::AfterOperationEnded() {
    if (m_bDeleted) Post(WM_FTP_COMPLETE, 0);
}
