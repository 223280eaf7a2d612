#include "workers/CReceThread.h"

#include <stdio.h>
#include <string.h>

#include "client/CFtpClient.h"
#include "session/NetworkPrimitives.h"
#include "session/ReplyText.h"

CReceThread::CReceThread(CFtpClientThread* session)
    : CWorkerThread(session, kOperationDownload),
      m_nStep(kWaitSize),
      m_nRemoteSize(0),
      m_nReceived(0),
      m_bDataFinished(false),
      m_bOverrun(false),
      m_bFinalReplyIn(false) {
    memset(&m_tDataFinished, 0, sizeof m_tDataFinished);
}

// Created, or emptied when it exists, before anything goes to the server.
bool CReceThread::PrepareBeforeStart() {
    if (m_File.Open(m_pSession->m_szLocalPath,
                    plat::CFile::modeCreate | plat::CFile::modeWrite |
                        plat::CFile::shareExclusive | plat::CFile::typeBinary)) {
        return true;
    }
    FailWith(FTPE_FILEERROR);
    return false;
}

void CReceThread::Run() {
    // The mark comes first: once the server has the command, the limit
    // already runs.
    NoteActivity();
    m_Pacer.Restart();
    SendWithFileName("SIZE %s");
    while (IsRunning()) {
        int ready = 0;
        PollResult sockets;
        if (!PollPass(3, false, false, &ready, &sockets)) break;
        if (ready < 0) {
            m_bError = 1;
        } else if (ready == 0) {
            if (IsInactive()) TimeOut();
        } else {
            if (sockets.dataReadable) OnData();
            if (!m_bError && sockets.controlReadable) OnReply();
            NoteActivity();
        }
        if (IsRunning()) EndWhenSettled();
    }
    m_File.Close();
}

void CReceThread::AfterOperationEnded() {
    if (m_bDone) Post(WM_FTP_COMPLETE, 0);
}

// ---- Data side ---------------------------------------------------------------

// Nothing beyond the announced size reaches the file: the bytes up to it
// are kept, the rest ends the data side as an overrun.
void CReceThread::OnData() {
    int received = plat::recv(m_hDataSocket, m_DataBuf, kDataReceiveSize, 0);
    if (received <= 0) {
        CloseDataSocket();
        FinishDataSide();
        return;
    }
    int room = m_nRemoteSize - m_nReceived;
    int kept = received < room ? received : room;
    if (kept > 0 && !WriteReceived(kept)) return;
    m_Pacer.AfterBlock(received, Client()->m_dTransferRate.load(), m_pSession->m_hCancelEvent);
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
    plat::GetSystemTime(&m_tDataFinished);
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

void CReceThread::OnReply() {
    if (ReadReplyPiece() <= 0) {
        OnControlLost();
        return;
    }
    switch (m_nStep) {
    case kWaitSize: OnSizeReply(); break;
    case kWaitPasv: OnPasvReply(); break;
    case kWaitRest: OnRestReply(); break;
    case kWaitRetr: OnRetrReply(); break;
    case kRetrAnswered: OnLaterReply(); break;
    }
}

// Once the data side is finished no reply can change the outcome, so a
// lost control connection only ends the wait for one. Before that the
// download cannot finish, and the host, which waits for a notice, is told.
void CReceThread::OnControlLost() {
    char line[64];
    snprintf(line, sizeof line, "close on CReceThread.---error code %i.\n", plat::WSAGetLastError());
    plat::OutputDebugStringA(line);
    if (m_bDataFinished) {
        m_bFinalReplyIn = true;
    } else {
        m_bError = 1;
        Post(WM_FTP_ERROR, FTPE_TRANSFERFAIL);
    }
}

void CReceThread::OnSizeReply() {
    if (!ReplyComplete()) return;
    // -1 also for a size beyond the signed 32-bit range this worker counts in.
    int size = ReplyFileSize(m_szReply);
    ClearReply();
    if (size <= 0) {
        FailWith(FTPE_BADREPLY);
        return;
    }
    m_nRemoteSize = size;
    m_nStep = kWaitPasv;
    m_pSession->SendCommand("PASV");
}

void CReceThread::OnPasvReply() {
    if (!ReplyHas("227 ")) return;
    OpenPassiveDataConnection(true);
    ClearReply();
    m_nReceived = 0;
    m_pSession->SendCommand("REST 0");
    m_nStep = kWaitRest;
}

// A server that refuses REST leaves the worker here until the inactivity
// limit: without the restart point it could not know where data begins.
void CReceThread::OnRestReply() {
    if (!ReplyHas("350 ")) return;
    ClearReply();
    SendWithFileName("RETR %s");
    m_nStep = kWaitRetr;
}

// The newest whole reply is judged: "150 " and "226 " may come in one
// piece, and a byte count or a file name in a reply's text is no code.
void CReceThread::OnRetrReply() {
    int code = LastReplyCode(m_szReply);
    if (code == 0) return;
    ClearReply();
    switch (code) {
    case 150:
        return;  // the transfer runs; its final reply follows
    case 125:
        m_nStep = kRetrAnswered;
        return;
    case 226:
        m_bFinalReplyIn = true;
        m_nStep = kRetrAnswered;
        return;
    default:
        // A failure reply after the data ended ("426 "): the byte count
        // decides the outcome.
        if (m_bDataFinished) {
            m_bFinalReplyIn = true;
        } else {
            FailWith(FTPE_BADREPLY);
        }
        return;
    }
}

// After "125 " the next whole reply is the transfer's final one.
void CReceThread::OnLaterReply() {
    if (LastReplyCode(m_szReply) == 0) return;
    m_bFinalReplyIn = true;
    ClearReply();
}

// ---- Failures --------------------------------------------------------------------

void CReceThread::TimeOut() {
    Client()->m_nErrorCode = FTPE_TIMEOUT;
    FailWith(FTPE_TIMEOUT);
}

void CReceThread::FailWith(int errorCode) {
    m_bError = 1;
    Post(WM_FTP_ERROR, errorCode);
}
