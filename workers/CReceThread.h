// Downloads one remote file into a local file: "SIZE", "PASV", "REST 0",
// "RETR", then the data connection into the file from its start, paced to
// the client's rate, with progress in whole percent. The local file is
// created (or emptied) before the worker waits for its start, so a host
// never finds an old file's content under the new name.
//
// The transfer is over once the data side is finished (all announced bytes
// in, the connection ended, or more bytes than announced) and the server's
// final reply has come, or kFinalReplyWaitMs after the data side finished
// without one. Only exactly the announced size completes; anything else
// fails with FTPE_TRANSFERFAIL. Waiting for the final reply keeps it from
// being read as the answer to the next operation's first command; after a
// failure the worker's end collects what the server still owes.
//
// A refusal of SIZE, PASV or RETR ends the download at once with
// FTPE_BADREPLY; a refused "REST 0" changes nothing (a transfer starts at 0
// anyway), so RETR follows.
#pragma once

#include <stdint.h>

#include "platform/LocalFile.h"
#include "workers/CWorkerThread.h"
#include "workers/Pacing.h"
#include "workers/TransferProgress.h"

class CReceThread : public CWorkerThread {
public:
    explicit CReceThread(CFtpClientThread* session);

    static const uint32_t kFinalReplyWaitMs = 2000;

protected:
    bool PrepareBeforeStart() override;
    void Run() override;
    void AfterOperationEnded() override;
    bool IsSynchronous() const override { return false; }

private:
    enum Step { kWaitSize, kWaitPasv, kWaitRest, kWaitRetr, kRetrAnswered };
    static const int kDataReceiveSize = 24576;

    plat::DWORD LongestWaitMs() const override { return 3; }
    void OnWake(const PollResult& ready) override;
    void OnInactive() override;
    void OnWaitFailed() override { m_bError = 1; }

    void OnData();
    bool WriteReceived(int length);
    void FinishDataSide();
    void EndWhenSettled();

    void OnReply(const FtpReply& reply) override;
    void OnControlLost();
    void OnSizeReply(const FtpReply& reply);
    void OnPasvReply(const FtpReply& reply);
    void OnRestReply(const FtpReply& reply);
    void OnRetrReply(const FtpReply& reply);

    Step m_nStep;
    int64_t m_nRemoteSize;
    int64_t m_nReceived;
    bool m_bDataFinished;    // all announced bytes in, or the data side ended
    bool m_bOverrun;         // more bytes came than announced
    bool m_bFinalReplyIn;    // nothing more to wait for on the control side
    uint64_t m_tDataFinished;
    CTransferProgress m_Progress;
    CBlockPacer m_Pacer;
    plat::CFile m_File;
    char m_DataBuf[kDataReceiveSize];
};
