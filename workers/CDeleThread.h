// Deletes one remote file ("DELE"). Success only on "250 ".
#pragma once

#include "workers/CWorkerThread.h"

class CDeleThread : public CWorkerThread {
public:
    explicit CDeleThread(CFtpClientThread* session);

protected:
    void Run() override;
    void WriteResults() override;
    bool IsSynchronous() const override { return true; }

private:
    void OnReply();
    void FailWith(int errorCode);
};
