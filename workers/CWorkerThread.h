// What every worker shares: the hand-over with the session (start event,
// end under the session lock, result signalling), the polling loop over the
// control and data sockets, reading control reply pieces, and the passive
// data connection. A worker supplies only its own steps.
#pragma once

#include <stdint.h>

#include "IFtpClient.h"
#include "platform/Platform.h"
#include "platform/Threads.h"
#include "session/CFtpClientThread.h"
#include "session/FieldSizes.h"

class CFtpClient;

const uint32_t kWorkerInactivityLimitMs = 80000;

class CWorkerThread : public plat::CWinThread {
public:
    // Takes a reference on the session for the worker's whole life.
    CWorkerThread(CFtpClientThread* session, int operation);

    // Waits for the start event, then runs the job. Returns FALSE so that
    // ExitInstance follows.
    BOOL InitInstance() final;
    // Ends the operation under the session lock and deletes the worker.
    int ExitInstance() final;

protected:
    ~CWorkerThread() override;

    // Before the start event; false ends the worker without waiting for it.
    virtual bool PrepareBeforeStart() { return true; }
    // The job, after the start event, with a valid control socket.
    virtual void Run() = 0;
    // Under the session lock, before the operation is cleared: write the
    // results the waiting request will read.
    virtual void WriteResults() {}
    // Under the session lock, after the operation is cleared: notices that
    // must not reach the host while it would still be refused a new request.
    virtual void AfterOperationEnded() {}
    // Whether the client's request waits for this worker (done event).
    virtual bool IsSynchronous() const = 0;

    // ---- The polling loop ----
    struct PollResult {
        bool controlReadable;
        bool dataReadable;
        bool controlWritable;
        bool dataWritable;
    };
    // One pass: pause on the cancel event, then a zero-timeout select over
    // the control socket and (when valid) the data socket. Returns false
    // when cancelled. ready is -1 on a select failure, 0 when nothing is
    // ready, otherwise the sockets in result.
    bool PollPass(plat::DWORD pauseMs, bool writeControl, bool writeData, int* ready,
                  PollResult* result);
    bool IsRunning() const { return !m_bError && !m_bDone; }

    // ---- Control replies ----
    // One receive (at most 259 bytes) appended to m_szReply, keeping the
    // newest text. Returns the receive's result (0 or less: closed/failed).
    int ReadReplyPiece();
    bool ReplyHas(const char* code) const;
    bool ReplyComplete() const;
    void ClearReply() { m_szReply[0] = '\0'; }
    // "VERB %s" with the session's file name.
    void SendWithFileName(const char* format);

    // ---- Activity and time ----
    void NoteActivity();
    bool IsInactive() const;

    // ---- Passive data connection ----
    // Parses the "227 " reply in m_szReply and connects; the data socket is
    // INVALID_SOCKET when the reply cannot be parsed or nothing connects.
    // allowServerAddress: race the announced address against the address
    // the control connection uses, when they differ.
    void OpenPassiveDataConnection(bool allowServerAddress);
    void SetDataSocketOptions();
    void CloseDataSocket();

    // Posts to the session's notification window; nothing when it is 0.
    void Post(unsigned message, int lParam);
    CFtpClient* Client() const { return m_pSession->m_pClient; }

    CFtpClientThread* const m_pSession;
    const int m_nOperation;
    plat::SOCKET m_hSocket;       // copy of the control socket, for reading
    plat::SOCKET m_hDataSocket;
    plat::SYSTEMTIME m_tLastActivity;
    uint8_t m_bError;
    uint8_t m_bDone;
    char m_szReply[kTextFieldSize];
    char m_szRecvBuf[kControlReceiveSize];

private:
    void EndOperation();
};
