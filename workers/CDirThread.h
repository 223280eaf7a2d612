// Creates ("MKD") or removes ("RMD") one remote directory.
#pragma once

#include "workers/CCommandThread.h"

class CDirThread : public CCommandThread {
public:
    explicit CDirThread(CFtpClientThread* session);

protected:
    const char* CommandFormat() const override { return m_bMakeDir ? "MKD %s" : "RMD %s"; }
    void OnFinalReply(const FtpReply& reply) override;
    void WriteResults() override;

private:
    const bool m_bMakeDir;
    bool m_bPositive;      // "257 " to MKD, "250 " to RMD
    bool m_bAlreadyThere;  // "550 " to MKD: the directory exists
};
