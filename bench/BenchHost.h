// What the benchmark needs of a host: a message window on the calling
// thread, a client object pointed at the loopback server, and a pump that
// waits for a transfer's outcome. The server's address is 127.0.0.1 unless
// ftpbench's --address names another; a scheme before it ("ftpes://",
// "ftps://") makes every client object of the run use TLS.
#pragma once

#include "IFtpClient.h"
#include "tools/common/HostMessageWindow.h"

namespace bench {

class BenchHost {
public:
    explicit BenchHost(unsigned short port);
    // The address every later BenchHost connects to (kept, not copied).
    static void SetServerAddress(const char* address);
    ~BenchHost();
    BenchHost(const BenchHost&) = delete;
    BenchHost& operator=(const BenchHost&) = delete;

    IFtpClient* Client() const { return m_pClient; }
    bool Ready() const { return m_pClient != nullptr && m_Window.Handle() != nullptr; }
    // Empties the thread's queue; true when a completion came among them.
    // A WM_FTP_ERROR sets the error code.
    bool Drain();
    // Pumps until WM_FTP_COMPLETE (true) or WM_FTP_ERROR / the limit (false).
    bool WaitForCompletion(int limitMs);
    int LastError() const { return m_nLastError; }

private:
    void Handle(const MSG& msg);

    HostMessageWindow m_Window;
    IFtpClient* m_pClient;
    int m_nLastError;
    bool m_bCompleted;
};

}  // namespace bench
