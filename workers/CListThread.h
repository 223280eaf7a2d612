// Fetches a directory listing: "TYPE A", "TYPE I", "PASV", "LIST <pattern>",
// then collects the data connection until the server's "226 ". The text is
// handed to the client's m_szListResult, bounded to its 259 characters.
// A refusal of any command ends the listing at once, empty; a server that
// does not expand the default pattern "*.*" (and refuses it) is asked for a
// plain listing of the folder instead, which is what the pattern means.
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

    plat::DWORD LongestWaitMs() const override { return 3; }
    void OnWake(const PollResult& ready) override;
    void OnData();
    void OnReply(const FtpReply& reply) override;
    void OnPasvReply(const FtpReply& reply);
    void OnListReply(const FtpReply& reply);
    bool FallBackToPlainListing();
    void CheckComplete();

    Step m_nStep;
    bool m_bTransferReplied;  // "226 " seen
    bool m_bPlainListing;     // "LIST" without the pattern
    uint64_t m_tTransferReplied;
    char m_szListing[kTextFieldSize];
    char m_DataBuf[kDataReceiveSize + 1];
};
