// Asks the server for one file's size ("SIZE") and leaves it in the
// session's m_nValue: the size, -1 for any other complete reply, 0 after a
// failure.
#pragma once

#include "workers/CWorkerThread.h"

class CSizeThread : public CWorkerThread {
public:
    explicit CSizeThread(CFtpClientThread* session);

protected:
    void Run() override;
    void WriteResults() override;
    bool IsSynchronous() const override { return true; }

private:
    void OnReply();
};
