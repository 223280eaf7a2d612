#include "workers/CSizeThread.h"

#include "session/ReplyText.h"

CSizeThread::CSizeThread(CFtpClientThread* session) : CCommandThread(session, kOperationSize) {}

void CSizeThread::OnFinalReply(const FtpReply& reply) {
    m_pSession->m_nValue = ReplyFileSize(reply);
}

// A failure is no size either.
void CSizeThread::WriteResults() {
    if (m_bError) m_pSession->m_nValue = -1;
}
