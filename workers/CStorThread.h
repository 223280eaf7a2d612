// Uploads one local file: "SIZE" decides between a fresh "STOR" and an
// "APPE" that continues a shorter remote copy (with the session's overwrite
// and append options), then "PASV" and the transfer command, and the file
// goes out in blocks of kBlockSize paced to the client's rate, with
// progress in whole percent. No byte goes before the server has accepted
// the transfer command (its preliminary reply): a server that finds data or
// an end on a data connection it has not yet been told about may drop that
// connection, and then waits for another one that never comes. A server
// silent for kTransferReplyWaitMs gets the data anyway. After the last
// block the worker ends its sending side (the server reads that as the
// file's end) and keeps the data connection until the server's "226 " says
// it has every byte: a close with unsent bytes could reset the connection
// on a slow link. The outcome is that "226 ".
//
// A refusal of any command ends the upload at once with FTPE_BADREPLY; only
// a permanent one to "SIZE" ("550 ": absent, "500 ": not supported) means a
// fresh copy. A
// cancel (the session stopping) stops sending at once; when the transfer
// command has gone out, the partial remote file is removed with "DELE" on
// a best-effort basis, since the host is not waited for. A send failure, a
// data connection the server ends, a lost control connection and the
// inactivity limit give the control connection up: the server's state is
// unknown after them.
//
// Sizes and offsets are 64-bit: files of any size the server and the local
// file system hold, and a resume at any remote size.
#pragma once

#include <stdint.h>

#include "platform/LocalFile.h"
#include "workers/CWorkerThread.h"
#include "workers/Pacing.h"
#include "workers/TransferProgress.h"

class CStorThread : public CWorkerThread {
public:
    explicit CStorThread(CFtpClientThread* session);

    static const int kBlockSize = 131072;
    static const uint32_t kTransferReplyWaitMs = 3000;

protected:
    void Run() override;
    void AfterOperationEnded() override;
    bool IsSynchronous() const override { return false; }

private:
    enum Step { kWaitSize, kWaitPasv, kTransferring, kFinished };

    plat::DWORD LongestWaitMs() const override { return 1; }
    WaitPlan PlanWait() override;
    void OnWake(const PollResult& ready) override;
    void OnInactive() override { GiveUpWith(FTPE_TIMEOUT); }
    void OnWaitFailed() override { FailWith(FTPE_SOCKETERROR); }
    void OnCancel() override;

    void OnControlReadable();
    void OnReply(const FtpReply& reply) override;
    void OnSizeReply(const FtpReply& reply);
    void ChooseTransferForPresentFile(int64_t remoteSize);
    void OnPasvReply(const FtpReply& reply);
    void OnTransferReply(const FtpReply& reply);

    bool DataMayGo() const;
    void OnDataReadable();
    void OnDataWritable();
    bool OpenLocalFileAtResumeOffset();
    void EndOfLocalFile();
    bool SendBlock(int length);
    void CloseLocalFile();

    void GiveUpWith(int errorCode);

    Step m_nStep;
    bool m_bCancelled;
    bool m_bSendingEnded;  // every byte is queued and the sending side shut
    bool m_bTransferAccepted;  // the transfer command's preliminary reply came
    uint64_t m_tTransferCommandSent;
    const char* m_pTransferCommand;  // "STOR %s" or "APPE %s"
    int64_t m_nResumeOffset;
    int64_t m_nLocalSize;
    int64_t m_nSent;  // position in the local file: resume offset + bytes sent
    plat::CFile m_File;
    CTransferProgress m_Progress;
    CBlockPacer m_Pacer;
    char m_Block[kBlockSize];
};
