// Deletes one remote file ("DELE"). Success only on "250 "; any other final
// reply is posted as FTPE_BADREPLY.
#pragma once

#include "workers/CCommandThread.h"

class CDeleThread : public CCommandThread {
public:
    explicit CDeleThread(CFtpClientThread* session);

protected:
    const char* CommandFormat() const override { return "DELE %s"; }
    void OnFinalReply(const FtpReply& reply) override;
    void OnFailure(int errorCode) override;
    void WriteResults() override;
    void AfterOperationEnded() override;

private:
    bool m_bDeleted;
};
