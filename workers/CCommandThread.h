// A worker whose whole operation is one command on the session's file
// name and its final reply: size, delete, make and remove directory. The
// worker supplies the command and what the final reply means; the loop,
// the inactivity limit and the failures are shared.
#pragma once

#include "workers/CWorkerThread.h"

class CCommandThread : public CWorkerThread {
protected:
    CCommandThread(CFtpClientThread* session, int operation);

    void Run() final;
    bool IsSynchronous() const override { return true; }

    // "VERB %s", formatted with the session's file name.
    virtual const char* CommandFormat() const = 0;
    // The final reply to the command (never a preliminary one).
    virtual void OnFinalReply(const FtpReply& reply) = 0;
    // The operation failed without a final reply: FTPE_SOCKETERROR,
    // FTPE_TIMEOUT, or 0 when the server closed the connection.
    virtual void OnFailure(int /*errorCode*/) {}

private:
    plat::DWORD LongestWaitMs() const override { return 1; }
    void OnWake(const PollResult& ready) override;
    void OnReply(const FtpReply& reply) override;
    void OnInactive() override { Fail(FTPE_TIMEOUT); }
    void OnWaitFailed() override { Fail(FTPE_SOCKETERROR); }
    // The session stopped the operation.
    void OnCancel() override;
    void Fail(int errorCode);
};
