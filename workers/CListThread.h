// Fetches a directory listing: "TYPE A", "TYPE I", "PASV", "LIST <pattern>",
// then collects the data connection until the server's "226 ". The text is
// handed to the client's m_szListResult, bounded to its 259 characters.
#pragma once

#include "workers/CWorkerThread.h"

class CListThread : public CWorkerThread {
public:
    explicit CListThread(CFtpClientThread* session);

protected:
    void Run() override;
    void WriteResults() override;
    bool IsSynchronous() const override { return true; }

private:
    enum Step { kWaitTypeA, kWaitTypeI, kWaitPasv, kWaitTransfer, kComplete };
    static const int kDataReceiveSize = 24576;
    // After "226 ", how long the data connection may stay open before the
    // listing is taken as complete: a server that never closes it has still
    // said it sent everything.
    static const uint32_t kDataDrainMs = 2000;

    bool OnData();
    bool OnControl();
    void AfterReply();
    void CheckComplete();

    Step m_nStep;
    bool m_bTransferReplied;  // "226 " seen
    plat::SYSTEMTIME m_tTransferReplied;
    char m_szListing[kTextFieldSize];
    char m_DataBuf[kDataReceiveSize + 1];
};
