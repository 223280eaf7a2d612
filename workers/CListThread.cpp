#include "workers/CListThread.h"

#include <stdio.h>
#include <string.h>

#include "session/NetworkPrimitives.h"
#include "session/ReplyText.h"

CListThread::CListThread(CFtpClientThread* session)
    : CWorkerThread(session, kOperationList),
      m_nStep(kWaitTypeA),
      m_bTransferReplied(false),
      m_bPlainListing(false),
      m_tTransferReplied(0) {
    m_szListing[0] = '\0';
}

void CListThread::Run() {
    m_szListing[0] = '\0';
    SendOwing("TYPE A");
    RunLoop();
}

void CListThread::OnWake(const PollResult& ready) {
    if (ready.dataReadable) OnData();
    if (IsRunning() && ready.controlReadable && !ReceiveAndTakeReplies()) {
        m_bError = 1;
        NoteControlTrouble();
    }
    CheckComplete();
}

// The listing keeps its first 259 characters; hosts copy it into buffers of
// the field's size.
void CListThread::OnData() {
    int received = m_Data.Receive(m_DataBuf, kDataReceiveSize);
    if (received <= 0) {
        CloseDataSocket();
        CheckComplete();
        return;
    }
    m_DataBuf[received] = '\0';
    size_t held = strlen(m_szListing);
    size_t room = sizeof m_szListing - 1 - held;
    size_t take = strnlen(m_DataBuf, (size_t)received);
    if (take > room) take = room;
    memcpy(m_szListing + held, m_DataBuf, take);
    m_szListing[held + take] = '\0';
}

void CListThread::OnReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    switch (m_nStep) {
    case kWaitTypeA:
    case kWaitTypeI:
        if (reply.code != 200) {
            m_bError = 1;
        } else if (m_nStep == kWaitTypeA) {
            SendOwing("TYPE I");
            m_nStep = kWaitTypeI;
        } else {
            SendOwing("PASV");
            m_nStep = kWaitPasv;
        }
        return;
    case kWaitPasv: OnPasvReply(reply); return;
    case kWaitTransfer: OnListReply(reply); return;
    case kComplete: return;
    }
}

void CListThread::OnPasvReply(const FtpReply& reply) {
    if (reply.code != 227) {
        m_bError = 1;
        return;
    }
    OpenPassiveDataConnection(reply);
    if (!m_Data.IsOpen()) {
        m_bError = 1;
        return;
    }
    if (m_bPlainListing) {
        SendOwing("LIST", true);
    } else {
        SendWithFileName("LIST %s", true);
    }
    m_nStep = kWaitTransfer;
}

// A refusal (no such path, a pattern the server does not expand) leaves
// nothing to wait for.
void CListThread::OnListReply(const FtpReply& reply) {
    if (reply.IsPositive()) {
        m_bTransferReplied = true;
        m_tTransferReplied = plat::GetTickCount64();
        CheckComplete();
    } else if (!FallBackToPlainListing()) {
        m_bError = 1;
    }
}

bool CListThread::FallBackToPlainListing() {
    if (m_bPlainListing || strcmp(m_pSession->m_szFileName, "*.*") != 0) return false;
    m_bPlainListing = true;
    CloseDataSocket();
    m_szListing[0] = '\0';
    SendOwing("PASV");
    m_nStep = kWaitPasv;
    return true;
}

// The listing is complete once the server has confirmed the transfer and
// the data connection has delivered everything ("226 " may be read before
// the last listing bytes), or a short while after the confirmation when the
// server keeps the data connection open.
void CListThread::CheckComplete() {
    if (!m_bTransferReplied || m_bDone) return;
    if (m_Data.IsOpen() && !IsOverLimit(m_tTransferReplied, kDataDrainMs)) return;
    m_nStep = kComplete;
    m_bDone = 1;
}

void CListThread::WriteResults() {
    char* result = Record()->m_szListResult;
    if (m_bDone && m_szListing[0] != '\0') {
        snprintf(result, kTextFieldSize, "%s", m_szListing);
    } else {
        result[0] = '\0';
    }
}
