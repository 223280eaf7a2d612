// Fetches a directory listing: "TYPE A", "TYPE I", "PASV", "LIST <pattern>",
// then collects the data connection until the server's "226 ". The whole
// text goes to the record (up to kLargestListing bytes), and its first 259
// characters to m_szListResult.
// A refusal of any command ends the listing at once, empty; a server that
// does not expand the default pattern "*.*" (and refuses it) is asked for a
// plain listing of the folder instead, which is what the pattern means.
#pragma once

#include <string>

#include "workers/CWorkerThread.h"

class CListThread : public CWorkerThread {
public:
    explicit CListThread(CFtpClientThread* session);

    // A longer listing is not kept whole (ListDirectoryAll then fails with
    // FTPE_NOMEMORY); its first 259 characters still are.
    static const size_t kLargestListing = 64 * 1024 * 1024;

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
    void OnWaitFailed() override;
    void OnCancel() override;
    void OnData();
    void Append(const char* text, size_t length);
    void OnReply(const FtpReply& reply) override;
    void OnPasvReply(const FtpReply& reply);
    void OnListReply(const FtpReply& reply);
    // A command was refused: the listing ends at once (FTPE_BADREPLY).
    void Refused(const FtpReply& reply);
    bool FallBackToPlainListing();
    void CheckComplete();

    Step m_nStep;
    bool m_bTransferReplied;  // "226 " seen
    bool m_bPlainListing;     // "LIST" without the pattern
    uint64_t m_tTransferReplied;
    std::string m_Listing;
    bool m_bTooLong;  // m_Listing stopped growing at kLargestListing
    char m_DataBuf[kDataReceiveSize + 1];
};
