#include "workers/CStorThread.h"

#include "session/NetworkPrimitives.h"
#include "session/ReplyText.h"

namespace {

const char kStor[] = "STOR %s";
const char kAppe[] = "APPE %s";
// Others may read and write the file while it goes out, as with the run
// time's buffered input.
const unsigned kLocalFileMode =
    plat::CFile::modeRead | plat::CFile::shareDenyNone | plat::CFile::typeBinary;

bool MeasureLocalFile(const char* path, int64_t* size) {
    plat::CFile file;
    if (!file.Open(path, kLocalFileMode)) return false;
    *size = file.GetLength();
    return *size >= 0;
}

}  // namespace

CStorThread::CStorThread(CFtpClientThread* session)
    : CWorkerThread(session, kOperationUpload),
      m_nStep(kWaitSize),
      m_bCancelled(false),
      m_bSendingEnded(false),
      m_bTransferAccepted(false),
      m_tTransferCommandSent(0),
      m_pTransferCommand(kStor),
      m_nResumeOffset(0),
      m_nLocalSize(0),
      m_nSent(0) {}

void CStorThread::Run() {
    if (!MeasureLocalFile(Record()->m_szLocalPath, &m_nLocalSize)) {
        FailWith(FTPE_FILEERROR);
        return;
    }
    SendWithFileName("SIZE %s");
    m_Pacer.Restart();
    RunLoop();
    CloseLocalFile();
}

CWorkerThread::WaitPlan CStorThread::PlanWait() {
    bool sending = m_Data.IsOpen() && !m_bSendingEnded && DataMayGo();
    return WaitPlan{false, true, true, sending};
}

// Nothing more is sent. Once the server has the transfer command it may
// keep what arrived; it is asked to remove it, without waiting for the
// answer: the session is stopping.
void CStorThread::OnCancel() {
    m_bCancelled = true;
    CloseLocalFile();
    CloseDataSocket();
    if (m_nStep == kTransferring) SendWithFileName("DELE %s");
}

void CStorThread::OnWake(const PollResult& ready) {
    if (ready.controlReadable) OnControlReadable();
    if (IsRunning() && ready.dataReadable) OnDataReadable();
    if (IsRunning() && ready.dataWritable) OnDataWritable();
}

void CStorThread::AfterOperationEnded() {
    if (m_bDone && !m_bCancelled) Post(WM_FTP_COMPLETE, 0);
}

// ---- Control side --------------------------------------------------------------

// The upload cannot finish without its final reply: a lost control
// connection is a failed transfer, told at once.
void CStorThread::OnControlReadable() {
    if (!ReceiveAndTakeReplies()) GiveUpWith(FTPE_TRANSFERFAIL);
}

void CStorThread::OnReply(const FtpReply& reply) {
    switch (m_nStep) {
    case kWaitSize: OnSizeReply(reply); break;
    case kWaitPasv: OnPasvReply(reply); break;
    case kTransferring: OnTransferReply(reply); break;
    case kFinished: break;
    }
}

void CStorThread::OnSizeReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    int64_t remoteSize = 0;
    if (reply.code == 213) {
        if (!Record()->m_bOverwrite) {
            FailWith(FTPE_BADREPLY);
            return;
        }
        ChooseTransferForPresentFile(ParseReplySize(reply, &remoteSize) ? remoteSize : -1);
    } else if (reply.code < 500) {
        // A transient failure ("421 ", "450 "): whether the file is there is
        // not known.
        FailWith(FTPE_BADREPLY);
        return;
    } else {
        // Absent ("550 "), or a server without "SIZE": a fresh copy.
        m_pTransferCommand = kStor;
    }
    m_nStep = kWaitPasv;
    SendOwing("PASV");
}

// remoteSize is -1 when the reply gives none: the file is there, but
// nothing can be appended to it at a known offset.
void CStorThread::ChooseTransferForPresentFile(int64_t remoteSize) {
    if (Record()->m_bAppend && remoteSize >= 0 && m_nLocalSize >= remoteSize) {
        m_nResumeOffset = remoteSize;
        m_pTransferCommand = kAppe;
    } else {
        m_nResumeOffset = 0;
        m_pTransferCommand = kStor;
    }
}

// Without a data connection the transfer command would leave an empty file
// on the server: the upload fails instead.
void CStorThread::OnPasvReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    if (reply.code != 227) {
        FailWith(FTPE_BADREPLY);
        return;
    }
    if (!OpenPassiveDataConnectionOrFail(reply)) return;
    SendWithFileName(m_pTransferCommand, true);
    m_tTransferCommandSent = plat::GetTickCount64();
    m_nStep = kTransferring;
}

bool CStorThread::DataMayGo() const {
    if (!IsDataProtectedAsAsked()) return false;
    return m_bTransferAccepted || IsOverLimit(m_tTransferCommandSent, kTransferReplyWaitMs);
}

// "226 " is the outcome only once every byte went out; before that the
// server has cut the file short.
void CStorThread::OnTransferReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) {
        m_bTransferAccepted = true;
        return;
    }
    m_nStep = kFinished;
    if (reply.IsPositive() && m_bSendingEnded) {
        m_bDone = 1;
    } else if (reply.IsPositive()) {
        FailWith(FTPE_TRANSFERFAIL);
    } else {
        FailWith(FTPE_BADREPLY);
    }
}

// ---- Data side ---------------------------------------------------------------

// During an upload the data socket turns readable only when the server ends
// or resets it: a failure while bytes are still to go, the server's close
// after it has read the end of the file.
void CStorThread::OnDataReadable() {
    int received = m_Data.Receive(m_Block, kBlockSize);
    if (received > 0 || received == CFtpConnection::kNothingYet) return;
    if (m_bSendingEnded) {
        CloseDataSocket();
    } else {
        GiveUpWith(FTPE_TRANSFERFAIL);
    }
}

// The first writable pass opens the file; each later pass sends one block.
// The file is sent as far as it reached when it was opened, so a file that
// grows meanwhile can neither overflow the counts nor pass 100 percent.
void CStorThread::OnDataWritable() {
    if (!m_File.IsOpen()) {
        if (!OpenLocalFileAtResumeOffset()) FailWith(FTPE_FILEERROR);
        return;
    }
    int64_t remaining = m_nLocalSize - m_nSent;
    if (remaining <= 0) {
        EndOfLocalFile();
        return;
    }
    int length = m_File.Read(m_Block, (unsigned)(remaining < kBlockSize ? remaining : kBlockSize));
    if (length < 0) {
        FailWith(FTPE_FILEERROR);
        return;
    }
    if (length == 0) {  // the file has shrunk since it was opened
        EndOfLocalFile();
        return;
    }
    if (!SendBlock(length)) return;
    m_nSent += length;
    int percent = 0;
    if (m_Progress.Advance(m_nSent, m_nLocalSize, &percent)) Post(WM_FTP_PROGRESS, percent);
    m_Pacer.AfterBlock(length, Record()->m_dTransferRate.load(), m_pSession->m_hCancelEvent);
}

bool CStorThread::OpenLocalFileAtResumeOffset() {
    if (!m_File.Open(Record()->m_szLocalPath, kLocalFileMode)) return false;
    m_nLocalSize = m_File.GetLength();
    if (m_nLocalSize < 0 || !m_File.Seek(m_nResumeOffset)) return false;
    m_nSent = m_nResumeOffset;
    m_Pacer.Restart();
    return true;
}

// Shutting the sending side tells the server the file is complete, after
// every queued byte; it answers "226 " once it has read them all.
void CStorThread::EndOfLocalFile() {
    CloseLocalFile();
    m_Data.ShutdownSending();
    m_bSendingEnded = true;
    m_Pacer.Restart();
}

// Sends the whole block; a send may take only part of it.
bool CStorThread::SendBlock(int length) {
    if (m_Data.SendAll(m_Block, length)) return true;
    GiveUpWith(FTPE_TRANSFERFAIL);
    return false;
}

void CStorThread::CloseLocalFile() {
    m_File.Close();
}

// ---- Failures --------------------------------------------------------------------

void CStorThread::GiveUpWith(int errorCode) {
    FailWith(errorCode);
    GiveUpControlConnection();
}
