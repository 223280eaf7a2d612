// Creates ("MKD") or removes ("RMD") one remote directory.
#pragma once

#include "workers/CWorkerThread.h"

class CDirThread : public CWorkerThread {
public:
    explicit CDirThread(CFtpClientThread* session);

protected:
    void Run() override;
    void WriteResults() override;
    bool IsSynchronous() const override { return true; }

private:
    void OnReply();

    const bool m_bMakeDir;
    bool m_bPositive;      // "257 " to MKD, "250 " to RMD
    bool m_bAlreadyThere;  // "550 " to MKD: the directory exists
};
