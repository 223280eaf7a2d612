#include "workers/CListThread.h"

#include <stdio.h>
#include <string.h>

#include "client/CFtpClient.h"
#include "session/NetworkPrimitives.h"
#include "session/ReplyText.h"

CListThread::CListThread(CFtpClientThread* session)
    : CWorkerThread(session, kOperationList), m_nStep(kWaitTypeA), m_bTransferReplied(false) {
    memset(&m_tTransferReplied, 0, sizeof m_tTransferReplied);
    m_szListing[0] = '\0';
}

void CListThread::Run() {
    m_szListing[0] = '\0';
    m_pSession->SendCommand("TYPE A");
    NoteActivity();
    while (IsRunning()) {
        int ready = 0;
        PollResult sockets;
        if (!PollPass(3, false, false, &ready, &sockets)) break;
        if (ready < 0) {
            m_bError = 1;
            break;
        }
        bool received = false;
        if (ready > 0 && sockets.dataReadable) received |= OnData();
        if (ready > 0 && !m_bError && sockets.controlReadable) received |= OnControl();
        CheckComplete();
        if (received) {
            NoteActivity();
        } else if (!m_bError && IsInactive()) {
            // Only bytes count: an ended data connection stays readable.
            Client()->m_nErrorCode = FTPE_TIMEOUT;
            m_bError = 1;
        }
    }
}

// The listing keeps its first 259 characters; hosts copy it into buffers of
// the field's size.
bool CListThread::OnData() {
    int received = plat::recv(m_hDataSocket, m_DataBuf, kDataReceiveSize, 0);
    if (received <= 0) {
        CloseDataSocket();
        CheckComplete();
        return false;
    }
    m_DataBuf[received] = '\0';
    size_t held = strlen(m_szListing);
    size_t room = sizeof m_szListing - 1 - held;
    size_t take = strnlen(m_DataBuf, (size_t)received);
    if (take > room) take = room;
    memcpy(m_szListing + held, m_DataBuf, take);
    m_szListing[held + take] = '\0';
    return true;
}

bool CListThread::OnControl() {
    if (ReadReplyPiece() <= 0) {
        m_bError = 1;
        return false;
    }
    AfterReply();
    ClearReply();
    return true;
}

void CListThread::AfterReply() {
    switch (m_nStep) {
    case kWaitTypeA:
        if (ReplyHas("200 ")) {
            m_pSession->SendCommand("TYPE I");
            m_nStep = kWaitTypeI;
        }
        return;
    case kWaitTypeI:
        if (ReplyHas("200 ")) {
            m_pSession->SendCommand("PASV");
            m_nStep = kWaitPasv;
        }
        return;
    case kWaitPasv:
        if (ReplyHas("227 ")) OpenPassiveDataConnection(true);
        if (ReplyHas("200 ") || ReplyHas("227 ")) {
            SendWithFileName("LIST %s");
            m_nStep = kWaitTransfer;
        }
        return;
    case kWaitTransfer:
        if (ReplyHas("226 ")) {
            m_bTransferReplied = true;
            plat::GetSystemTime(&m_tTransferReplied);
            CheckComplete();
        } else if (HasNegativeReply(m_szReply)) {
            // The server refused the listing (no such path, a pattern it
            // does not expand): there is nothing to wait for.
            m_bError = 1;
        }
        return;
    case kComplete:
        return;
    }
}

// The listing is complete once the server has confirmed the transfer and
// the data connection has delivered everything ("226 " may be read before
// the last listing bytes), or a short while after the confirmation when the
// server keeps the data connection open.
void CListThread::CheckComplete() {
    if (!m_bTransferReplied || m_bDone) return;
    if (m_hDataSocket != INVALID_SOCKET && !IsOverLimit(m_tTransferReplied, kDataDrainMs)) return;
    m_nStep = kComplete;
    m_bDone = 1;
}

void CListThread::WriteResults() {
    char* result = Client()->m_szListResult;
    if (m_bDone && m_szListing[0] != '\0') {
        snprintf(result, kTextFieldSize, "%s", m_szListing);
    } else {
        result[0] = '\0';
    }
}
