// Asks the server for one file's size ("SIZE") and leaves it in the
// record's m_nFileSize: the size in full, or -1 for any other final reply
// and for a failure (a lost or silent connection). m_bSucceeded tells the
// two apart: 1 once the server gave a size or refused one for good (5xx).
#pragma once

#include "workers/CCommandThread.h"

class CSizeThread : public CCommandThread {
public:
    explicit CSizeThread(CFtpClientThread* session);

protected:
    const char* CommandFormat() const override { return "SIZE %s"; }
    void OnFinalReply(const FtpReply& reply) override;
    void WriteResults() override;

private:
    bool m_bTransient;  // the final reply was a 4xx
};
