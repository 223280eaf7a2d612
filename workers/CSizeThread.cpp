#include "workers/CSizeThread.h"

#include <stdint.h>

#include "session/ReplyText.h"

CSizeThread::CSizeThread(CFtpClientThread* session) : CCommandThread(session, kOperationSize) {}

// A size beyond the int the request returns is given as the largest int,
// which is what a host that parsed the number itself would have seen.
void CSizeThread::OnFinalReply(const FtpReply& reply) {
    int64_t size = -1;
    if (!ParseReplySize(reply, &size)) size = -1;
    m_pSession->m_nFileSize = size;
    m_pSession->m_nValue = size > INT32_MAX ? INT32_MAX : (int32_t)size;
}

// A failure is no size either.
void CSizeThread::WriteResults() {
    if (!m_bError) return;
    m_pSession->m_nValue = -1;
    m_pSession->m_nFileSize = -1;
}
