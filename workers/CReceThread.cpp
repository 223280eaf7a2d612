#include "workers/CReceThread.h"

#include <stdio.h>
#include <string.h>

#include "session/NetworkPrimitives.h"
#include "session/ReplyText.h"

CReceThread::CReceThread(CFtpClientThread* session)
    : CWorkerThread(session, kOperationDownload),
      m_nStep(kWaitSize),
      m_nRemoteSize(0),
      m_nReceived(0),
      m_bDataFinished(false),
      m_bOverrun(false),
      m_bFinalReplyIn(false),
      m_tDataFinished(0) {}

// Created, or emptied when it exists, before anything goes to the server.
bool CReceThread::PrepareBeforeStart() {
    if (m_File.Open(Record()->m_szLocalPath,
                    plat::CFile::modeCreate | plat::CFile::modeWrite |
                        plat::CFile::shareExclusive | plat::CFile::typeBinary)) {
        return true;
    }
    FailWith(FTPE_FILEERROR);
    return false;
}

void CReceThread::Run() {
    m_Pacer.Restart();
    SendWithFileName("SIZE %s");
    RunLoop();
    m_File.Close();
}

void CReceThread::OnWake(const PollResult& ready) {
    if (ready.dataReadable) OnData();
    if (!m_bError && ready.controlReadable && !ReceiveAndTakeReplies()) OnControlLost();
    if (IsRunning()) EndWhenSettled();
}

void CReceThread::AfterOperationEnded() {
    if (m_bDone) Post(WM_FTP_COMPLETE, 0);
}

// ---- Data side ---------------------------------------------------------------

// Nothing beyond the announced size reaches the file: the bytes up to it
// are kept, the rest ends the data side as an overrun.
void CReceThread::OnData() {
    int received = m_Data.Receive(m_DataBuf, kDataReceiveSize);
    if (received == CFtpConnection::kNothingYet) return;
    if (received <= 0) {
        CloseDataSocket();
        FinishDataSide();
        return;
    }
    int64_t room = m_nRemoteSize - m_nReceived;
    int kept = received < room ? received : (int)room;
    if (kept > 0 && !WriteReceived(kept)) return;
    m_Pacer.AfterBlock(received, Record()->m_dTransferRate.load(), m_pSession->m_hCancelEvent);
    if (received > room) {
        m_bOverrun = true;
        CloseDataSocket();
    }
    if (m_bOverrun || m_nReceived == m_nRemoteSize) FinishDataSide();
}

bool CReceThread::WriteReceived(int length) {
    if (!m_File.Write(m_DataBuf, (unsigned)length)) {
        m_File.Close();
        FailWith(FTPE_FILEERROR);
        return false;
    }
    m_nReceived += length;
    int percent = 0;
    if (m_Progress.Advance(m_nReceived, m_nRemoteSize, &percent)) Post(WM_FTP_PROGRESS, percent);
    return true;
}

void CReceThread::FinishDataSide() {
    if (m_bDataFinished) return;
    m_bDataFinished = true;
    m_tDataFinished = plat::GetTickCount64();
}

void CReceThread::EndWhenSettled() {
    if (!m_bDataFinished) return;
    if (!m_bFinalReplyIn && !IsOverLimit(m_tDataFinished, kFinalReplyWaitMs)) return;
    if (m_nReceived == m_nRemoteSize && !m_bOverrun) {
        m_bDone = 1;
    } else {
        FailWith(FTPE_TRANSFERFAIL);
    }
}

// ---- Control side --------------------------------------------------------------

void CReceThread::OnReply(const FtpReply& reply) {
    switch (m_nStep) {
    case kWaitSize: OnSizeReply(reply); break;
    case kWaitPasv: OnPasvReply(reply); break;
    case kWaitRest: OnRestReply(reply); break;
    case kWaitRetr: OnRetrReply(reply); break;
    case kRetrAnswered: break;
    }
}

// Once the data side is finished no reply can change the outcome, so a
// lost control connection only ends the wait for one. Before that the
// download cannot finish, and the host, which waits for a notice, is told.
void CReceThread::OnControlLost() {
    char line[64];
    snprintf(line, sizeof line, "close on CReceThread.---error code %i.\n", plat::WSAGetLastError());
    plat::OutputDebugStringA(line);
    NoteControlTrouble();
    if (m_bDataFinished) {
        m_bFinalReplyIn = true;
    } else {
        FailWith(FTPE_TRANSFERFAIL);
    }
}

void CReceThread::OnSizeReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    int64_t size = 0;
    if (!ParseReplySize(reply, &size) || size <= 0) {
        FailWith(FTPE_BADREPLY);
        return;
    }
    m_nRemoteSize = size;
    m_nStep = kWaitPasv;
    SendOwing("PASV");
}

void CReceThread::OnPasvReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    if (reply.code != 227) {
        FailWith(FTPE_BADREPLY);
        return;
    }
    if (!OpenPassiveDataConnectionOrFail(reply)) return;
    m_nReceived = 0;
    SendOwing("REST 0");
    m_nStep = kWaitRest;
}

void CReceThread::OnRestReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    SendWithFileName("RETR %s", true);
    m_nStep = kWaitRetr;
}

// Preliminary replies ("150 ", "125 ") keep waiting; the final one is the
// transfer's outcome. A failure reply after the data ended ("426 "): the
// byte count decides the outcome.
void CReceThread::OnRetrReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    m_nStep = kRetrAnswered;
    if (reply.IsPositive() || m_bDataFinished) {
        m_bFinalReplyIn = true;
    } else {
        FailWith(FTPE_BADREPLY);
    }
}

// ---- Failures --------------------------------------------------------------------

// A server silent for so long owes replies it may never send; the host,
// which waits for a notice, is told.
void CReceThread::OnInactive() {
    CWorkerThread::OnInactive();
    FailWith(FTPE_TIMEOUT);
}
