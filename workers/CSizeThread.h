// Asks the server for one file's size ("SIZE") and leaves it in the
// session's m_nValue: the size (2147483647 for every size that does not fit
// an int), or -1 for any other final reply and for a failure (a lost or
// silent connection). m_nFileSize holds the size in full.
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
