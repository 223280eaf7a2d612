#include "workers/CSizeThread.h"

#include <stdint.h>

#include "session/ReplyText.h"

CSizeThread::CSizeThread(CFtpClientThread* session) : CCommandThread(session, kOperationSize) {}

void CSizeThread::OnFinalReply(const FtpReply& reply) {
    int64_t size = -1;
    if (!ParseReplySize(reply, &size)) size = -1;
    Record()->m_nFileSize = size;
}

// A failure is no size either.
void CSizeThread::WriteResults() {
    if (m_bError) Record()->m_nFileSize = -1;
}
