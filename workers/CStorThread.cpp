#include "workers/CStorThread.h"

#include <limits.h>

#include "client/CFtpClient.h"
#include "session/ReplyText.h"

namespace {

const char kStor[] = "STOR %s";
const char kAppe[] = "APPE %s";

// The size of an open file, which is left at its start. False when it
// cannot be told or does not fit a signed 32-bit number.
bool MeasureOpenFile(FILE* file, int32_t* size) {
    if (fseek(file, 0, SEEK_END) != 0) return false;
    long end = ftell(file);
    if (end < 0 || end > (long)INT32_MAX) return false;
    rewind(file);
    *size = (int32_t)end;
    return true;
}

bool MeasureLocalFile(const char* path, int32_t* size) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return false;
    bool measured = MeasureOpenFile(file, size);
    fclose(file);
    return measured;
}

}  // namespace

CStorThread::CStorThread(CFtpClientThread* session)
    : CWorkerThread(session, kOperationUpload),
      m_nStep(kWaitSize),
      m_bCancelled(false),
      m_pTransferCommand(kStor),
      m_nResumeOffset(0),
      m_nLocalSize(0),
      m_nSent(0),
      m_pFile(nullptr) {}

void CStorThread::Run() {
    if (!MeasureLocalFile(m_pSession->m_szLocalPath, &m_nLocalSize)) {
        FailWith(FTPE_FILEERROR);
        return;
    }
    // The mark comes first: once the server has the command, the limit
    // already runs.
    NoteActivity();
    SendWithFileName("SIZE %s");
    m_Pacer.Restart();
    while (IsRunning()) {
        int ready = 0;
        PollResult sockets;
        if (!PollPass(1, true, true, &ready, &sockets)) {
            OnCancel();
        } else if (ready < 0) {
            FailWith(FTPE_SOCKETERROR);
        } else if (ready == 0) {
            if (IsInactive()) FailWith(FTPE_TIMEOUT);
        } else {
            OnReadySockets(sockets);
        }
    }
    CloseLocalFile();
}

// The command sequence goes on after a cancel: the server confirms what it
// got, and the partial file is then removed.
void CStorThread::OnCancel() {
    CloseLocalFile();
    CloseDataSocket();
    m_bCancelled = true;
    plat::ResetEvent(m_pSession->m_hCancelEvent);
}

// A connected control socket is writable in nearly every pass, so the
// inactivity limit is in effect tested there in every pass.
void CStorThread::OnReadySockets(const PollResult& sockets) {
    if (sockets.controlReadable) OnReply();
    if (!m_bError && sockets.dataReadable) OnDataReadable();
    if (!m_bError && sockets.controlWritable && IsInactive()) {
        GiveUpControlConnection(FTPE_TIMEOUT);
    }
    if (!m_bError && sockets.dataWritable) {
        OnDataWritable();
        NoteActivity();
    }
}

void CStorThread::AfterOperationEnded() {
    if (m_bDone && !m_bCancelled) Post(WM_FTP_COMPLETE, 0);
}

// ---- Control side --------------------------------------------------------------

// A failed receive is not a failure by itself: the final reply or the
// inactivity limit decides.
void CStorThread::OnReply() {
    if (ReadReplyPiece() <= 0) return;
    switch (m_nStep) {
    case kWaitSize: OnSizeReply(); break;
    case kWaitPasv: OnPasvReply(); break;
    case kTransferring: OnTransferReply(); break;
    case kWaitDele: OnDeleReply(); break;
    case kFinished: ClearReply(); break;
    }
}

void CStorThread::OnSizeReply() {
    if (!ReplyComplete()) return;
    if (ReplyHas("213 ")) {
        if (!m_pSession->m_bOverwrite.load()) {
            ClearReply();
            FailWith(FTPE_BADREPLY);
            return;
        }
        ChooseTransferForPresentFile(ReplyFileSize(m_szReply));
    } else {
        // Absent, or a server without "SIZE": a fresh copy.
        m_pTransferCommand = kStor;
    }
    ClearReply();
    m_nStep = kWaitPasv;
    m_pSession->SendCommand("PASV");
}

// remoteSize is -1 when the size does not fit a signed 32-bit number: the
// file is there, but nothing can be appended to it at a known offset.
void CStorThread::ChooseTransferForPresentFile(int remoteSize) {
    if (m_pSession->m_bAppend.load() && remoteSize >= 0 && m_nLocalSize >= remoteSize) {
        m_nResumeOffset = remoteSize;
        m_pTransferCommand = kAppe;
    } else {
        m_nResumeOffset = 0;
        m_pTransferCommand = kStor;
    }
}

// The upload connects to the announced address only.
void CStorThread::OnPasvReply() {
    if (!ReplyHas("227 ")) return;
    OpenPassiveDataConnection(false);
    ClearReply();
    SendWithFileName(m_pTransferCommand);
    m_nStep = kTransferring;
}

// The newest whole reply is judged: "150 " and "226 " (or a refusal) may
// come in one piece, and a file name in a reply's text is no code.
void CStorThread::OnTransferReply() {
    int code = LastReplyCode(m_szReply);
    if (code == 0) return;
    ClearReply();
    if (code == 150 || code == 125) return;
    if (code != 226) {
        FailWith(FTPE_BADREPLY);
    } else if (m_bCancelled) {
        SendWithFileName("DELE %s");
        m_nStep = kWaitDele;
    } else {
        m_bDone = 1;
        m_nStep = kFinished;
    }
}

// The host was not promised a deletion: a refusal ends the worker quietly.
void CStorThread::OnDeleReply() {
    if (!ReplyComplete()) return;
    m_nStep = kFinished;
    if (ReplyHas("250 ")) {
        m_bDone = 1;
    } else {
        m_bError = 1;
    }
    ClearReply();
}

// ---- Data side ---------------------------------------------------------------

// During an upload the data socket turns readable only when the server ends
// or resets it.
void CStorThread::OnDataReadable() {
    int received = plat::recv(m_hDataSocket, m_Block, kBlockSize, 0);
    if (received <= 0) GiveUpControlConnection(FTPE_TRANSFERFAIL);
}

// The first writable pass opens the file; each later pass sends one block.
// The file is sent as far as it reached when it was opened, so a file that
// grows meanwhile can neither overflow the counts nor pass 100 percent.
void CStorThread::OnDataWritable() {
    if (m_pFile == nullptr) {
        if (!OpenLocalFileAtResumeOffset()) FailWith(FTPE_FILEERROR);
        return;
    }
    int32_t remaining = m_nLocalSize - m_nSent;
    if (remaining <= 0) {
        EndOfLocalFile();
        return;
    }
    size_t length = fread(m_Block, 1, (size_t)(remaining < kBlockSize ? remaining : kBlockSize), m_pFile);
    if (ferror(m_pFile)) {
        FailWith(FTPE_FILEERROR);
        return;
    }
    if (length == 0) {  // the file has shrunk since it was opened
        EndOfLocalFile();
        return;
    }
    if (!SendBlock((int)length)) return;
    m_nSent += (int32_t)length;
    int percent = 0;
    if (m_Progress.Advance(m_nSent, m_nLocalSize, &percent)) Post(WM_FTP_PROGRESS, percent);
    m_Pacer.AfterBlock((int)length, Client()->m_dTransferRate.load(), m_pSession->m_hCancelEvent);
}

bool CStorThread::OpenLocalFileAtResumeOffset() {
    m_pFile = fopen(m_pSession->m_szLocalPath, "rb");
    if (m_pFile == nullptr) return false;
    if (!MeasureOpenFile(m_pFile, &m_nLocalSize)) return false;
    if (fseek(m_pFile, m_nResumeOffset, SEEK_SET) != 0) return false;
    m_nSent = m_nResumeOffset;
    m_Pacer.Restart();
    return true;
}

// Closing the data connection tells the server the file is complete; it
// answers with "226 ".
void CStorThread::EndOfLocalFile() {
    CloseLocalFile();
    CloseDataSocket();
    m_Pacer.Restart();
}

// Sends the whole block; a send may take only part of it.
bool CStorThread::SendBlock(int length) {
    for (int sent = 0; sent < length;) {
        int result = plat::send(m_hDataSocket, m_Block + sent, length - sent, 0);
        if (result <= 0) {
            GiveUpControlConnection(FTPE_TRANSFERFAIL);
            return false;
        }
        sent += result;
    }
    return true;
}

void CStorThread::CloseLocalFile() {
    if (m_pFile == nullptr) return;
    fclose(m_pFile);
    m_pFile = nullptr;
}

// ---- Failures --------------------------------------------------------------------

void CStorThread::FailWith(int errorCode) {
    m_bError = 1;
    Post(WM_FTP_ERROR, errorCode);
}

void CStorThread::GiveUpControlConnection(int errorCode) {
    FailWith(errorCode);
    m_pSession->CloseControlSocket();
}
