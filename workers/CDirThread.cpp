#include "workers/CDirThread.h"

CDirThread::CDirThread(CFtpClientThread* session)
    : CCommandThread(session, kOperationDirectory),
      m_bMakeDir(session->m_pOperation->m_bMakeDir != 0),
      m_bPositive(false),
      m_bAlreadyThere(false) {}

void CDirThread::OnFinalReply(const FtpReply& reply) {
    m_bPositive = reply.code == (m_bMakeDir ? 257 : 250);
    m_bAlreadyThere = m_bMakeDir && reply.code == 550;
}

void CDirThread::WriteResults() {
    bool answered = m_bDone && !m_bError;
    Record()->m_bSucceeded = (answered && m_bPositive) ? 1 : 0;
    // The request reports the directory as there after "257 " and also after
    // "550 " to MKD; every other end is a failure.
    Record()->m_nDirectoryResult = (answered && (m_bPositive || m_bAlreadyThere)) ? 1 : 0;
}
