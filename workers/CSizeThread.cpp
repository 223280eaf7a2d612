#include "workers/CSizeThread.h"

#include <stdint.h>

#include "session/ReplyText.h"

CSizeThread::CSizeThread(CFtpClientThread* session)
    : CCommandThread(session, kOperationSize), m_bTransient(false) {}

// A transient refusal (4xx) says nothing about the file.
void CSizeThread::OnFinalReply(const FtpReply& reply) {
    int64_t size = -1;
    if (!ParseReplySize(reply, &size)) size = -1;
    Record()->m_nFileSize = size;
    m_bTransient = reply.IsNegative() && reply.code < 500;
    if (m_bTransient && Record()->m_nErrorCode.load() == 0) Record()->m_nErrorCode = FTPE_BADREPLY;
}

// A failure is no size either. The operation succeeded when the server
// answered, with a size or with a final refusal (no such file).
void CSizeThread::WriteResults() {
    if (m_bError) Record()->m_nFileSize = -1;
    Record()->m_bSucceeded = (m_bDone && !m_bError && !m_bTransient) ? 1 : 0;
}
