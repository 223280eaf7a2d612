// Uploads one local file: "SIZE" decides between a fresh "STOR" and an
// "APPE" that continues a shorter remote copy (with the session's overwrite
// and append options), then "PASV" and the transfer command, and the file
// goes out in blocks of kBlockSize paced to the client's rate, with
// progress in whole percent. The outcome is the server's "226 ".
//
// A cancel does not end the worker at once: it closes the data connection
// and the local file, waits for the server to confirm what it received, and
// removes the partial remote file with "DELE". A send failure, a data
// connection the server ends, and the inactivity limit seen while the
// control connection is writable give the control connection up: the
// server's state is unknown after them.
//
// Sizes are signed 32-bit: a local file beyond 2^31 - 1 bytes is refused
// with FTPE_FILEERROR.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "workers/CWorkerThread.h"
#include "workers/Pacing.h"
#include "workers/TransferProgress.h"

class CStorThread : public CWorkerThread {
public:
    explicit CStorThread(CFtpClientThread* session);

    static const int kBlockSize = 131072;

protected:
    void Run() override;
    void AfterOperationEnded() override;
    bool IsSynchronous() const override { return false; }

private:
    enum Step { kWaitSize, kWaitPasv, kTransferring, kWaitDele, kFinished };

    void OnCancel();
    void OnReadySockets(const PollResult& sockets);

    void OnReply();
    void OnSizeReply();
    void ChooseTransferForPresentFile(int remoteSize);
    void OnPasvReply();
    void OnTransferReply();
    void OnDeleReply();

    void OnDataReadable();
    void OnDataWritable();
    bool OpenLocalFileAtResumeOffset();
    void EndOfLocalFile();
    bool SendBlock(int length);
    void CloseLocalFile();

    void FailWith(int errorCode);
    void GiveUpControlConnection(int errorCode);

    Step m_nStep;
    bool m_bCancelled;
    const char* m_pTransferCommand;  // "STOR %s" or "APPE %s"
    int32_t m_nResumeOffset;
    int32_t m_nLocalSize;
    int32_t m_nSent;  // position in the local file: resume offset + bytes sent
    FILE* m_pFile;
    CTransferProgress m_Progress;
    CBlockPacer m_Pacer;
    char m_Block[kBlockSize];
};
