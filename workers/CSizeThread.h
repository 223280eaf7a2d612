// Asks the server for one file's size ("SIZE") and leaves it in the
// session's m_nValue: the size, or -1 for any other final reply, a size the
// field cannot hold, and a failure (a lost or silent connection).
#pragma once

#include "workers/CCommandThread.h"

class CSizeThread : public CCommandThread {
public:
    explicit CSizeThread(CFtpClientThread* session);

protected:
    const char* CommandFormat() const override { return "SIZE %s"; }
    void OnFinalReply(const FtpReply& reply) override;
    void WriteResults() override;
};
