#include "workers/CListThread.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "session/NetworkPrimitives.h"
#include "session/ReplyText.h"

CListThread::CListThread(CFtpClientThread* session)
    : CWorkerThread(session, kOperationList),
      m_nStep(kWaitTypeA),
      m_bTransferReplied(false),
      m_bPlainListing(false),
      m_tTransferReplied(0),
      m_bTooLong(false) {}

void CListThread::Run() {
    m_Listing.clear();
    SendOwing("TYPE A");
    RunLoop();
}

void CListThread::OnWake(const PollResult& ready) {
    if (ready.dataReadable) OnData();
    if (IsRunning() && ready.controlReadable && !ReceiveAndTakeReplies()) {
        Record()->m_nErrorCode = FTPE_NOTCONNECT;
        m_bError = 1;
        NoteControlTrouble();
    }
    CheckComplete();
}

void CListThread::OnWaitFailed() {
    Record()->m_nErrorCode = FTPE_SOCKETERROR;
    CWorkerThread::OnWaitFailed();
}

void CListThread::OnCancel() {
    Record()->m_nErrorCode = FTPE_NOTCONNECT;
}

// Each received piece counts up to its first NUL byte, as it always has for
// the 259 characters hosts copy into buffers of the field's size.
void CListThread::OnData() {
    int received = m_Data.Receive(m_DataBuf, kDataReceiveSize);
    if (received == CFtpConnection::kNothingYet) return;
    if (received <= 0) {
        CloseDataSocket();
        CheckComplete();
        return;
    }
    Append(m_DataBuf, strnlen(m_DataBuf, (size_t)received));
}

// Beyond kLargestListing, or when memory runs out, only the first 259
// characters are still needed.
void CListThread::Append(const char* text, size_t length) {
    size_t limit = m_bTooLong ? kTextFieldSize - 1 : kLargestListing;
    size_t room = m_Listing.size() < limit ? limit - m_Listing.size() : 0;
    if (length > room) {
        length = room;
        m_bTooLong = true;
    }
    if (length == 0) return;
    try {
        m_Listing.append(text, length);
    } catch (const std::bad_alloc&) {
        m_bTooLong = true;
    }
}

void CListThread::OnReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    switch (m_nStep) {
    case kWaitTypeA:
    case kWaitTypeI:
        if (reply.code != 200) {
            Refused(reply);
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
    // A server may close the refused listing's transfer with a "226 " of
    // its own once the unused data connection goes (pyftpdlib does on a
    // protected one): it answers nothing asked, and "227 " is still to come.
    if (m_bPlainListing && reply.code == 226) {
        NoteUnaskedReply();
        return;
    }
    if (reply.code != 227 || !OpenPassiveDataConnection(reply)) {
        Refused(reply);
        return;
    }
    if (!m_Data.IsOpen()) {
        Record()->m_nErrorCode = FTPE_TRANSFERFAIL;
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

// "226 " ends the listing's transfer, and so does "250 ", which the FTP
// standard also allows after LIST; any other positive reply answers nothing
// that was asked. A refusal (no such path, a pattern the server does not
// expand) leaves nothing to wait for.
void CListThread::OnListReply(const FtpReply& reply) {
    if (reply.code == 226 || reply.code == 250) {
        m_bTransferReplied = true;
        m_tTransferReplied = plat::GetTickCount64();
        CheckComplete();
    } else if (reply.IsPositive() || !FallBackToPlainListing()) {
        Refused(reply);
    }
}

// "421 " is the server ending its service.
void CListThread::Refused(const FtpReply& reply) {
    Record()->m_nErrorCode = reply.code == 421 ? FTPE_NOTCONNECT : FTPE_BADREPLY;
    m_bError = 1;
}

bool CListThread::FallBackToPlainListing() {
    if (m_bPlainListing || strcmp(m_pSession->m_szFileName, "*.*") != 0) return false;
    m_bPlainListing = true;
    CloseDataSocket();
    m_Listing.clear();
    m_bTooLong = false;
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

// A listing that completed succeeded, also when the control connection
// failed after it; one kept short of its end is no whole listing.
void CListThread::WriteResults() {
    COperationRecord* record = Record();
    if (m_bDone) {
        snprintf(record->m_szListResult, kTextFieldSize, "%s", m_Listing.c_str());
    } else {
        record->m_szListResult[0] = '\0';
    }
    record->m_bSucceeded = m_bDone ? 1 : 0;
    if (m_bDone && m_bTooLong) {
        record->m_nErrorCode = FTPE_NOMEMORY;
        m_Listing.clear();
    }
    record->PutListing(m_bDone ? std::move(m_Listing) : std::string());
}
