// What every worker shares: the hand-over with the session (start event,
// end under the session lock, result signalling), the loop that waits on the
// control and data sockets and the worker's events, reading control replies
// through the session's reply reader, the replies the server still owes
// when a worker ends, and the passive data connection. A worker supplies
// only its own steps.
//
// The loop waits until a socket it watches is ready, an event is set or its
// longest wait is up, whichever comes first: bytes are taken as soon as they
// arrive, and the longest wait (1 or 3 ms) only bounds how late the worker
// looks at its time limits.
#pragma once

#include <atomic>
#include <stdint.h>

#include "IFtpClient.h"
#include "platform/Platform.h"
#include "platform/Threads.h"
#include "session/CFtpClientThread.h"
#include "session/FieldSizes.h"
#include "session/ReplyReader.h"
#include "workers/COwedReplies.h"

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

    int Operation() const { return m_nOperation; }

    // How long a worker's end waits for the replies the server still owes
    // for its commands (0 restores the normal limit).
    static void SetOwedReplyLimitForTesting(uint32_t milliseconds);

protected:
    // Workers delete themselves when their thread ends; only the factory
    // deletes one whose thread never started.
    friend bool StartWorkerFor(CFtpClientThread* session, int operation);
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

    // ---- The loop ----
    // What the next wait watches: the control socket and, when open, the
    // data socket as asked; or, with watchSockets off, only the events.
    struct WaitPlan {
        bool end;           // the worker is finished: leave the loop
        bool watchSockets;  // off: wait for the events alone, without a limit
        bool readData;
        bool writeData;
    };
    // The sockets a wait found ready; none after a time-out or a wake event.
    struct PollResult {
        bool controlReadable;
        bool dataReadable;
        bool dataWritable;
        bool Any() const { return controlReadable || dataReadable || dataWritable; }
    };
    // Runs the worker's steps until it is done, fails or is cancelled. Each
    // round: PlanWait, the wait, then OnWake with what was found; a round in
    // which no socket was ready checks the inactivity limit (OnInactive).
    void RunLoop();
    virtual WaitPlan PlanWait();
    // The longest one wait of the loop lasts.
    virtual plat::DWORD LongestWaitMs() const = 0;
    // The event that ends a wait for events alone (watchSockets off),
    // beside the cancel event; null for none.
    virtual plat::HANDLE WakeEvent() const { return nullptr; }
    virtual void OnWake(const PollResult& ready) = 0;
    // The inactivity limit ran out: by default the failure is a time-out
    // (FTPE_TIMEOUT in the record's m_nErrorCode) on a connection in an
    // unknown state.
    virtual void OnInactive();
    // The cancel event ended the wait; the loop ends after this.
    virtual void OnCancel() {}
    // The wait itself failed (a socket is gone from under it).
    virtual void OnWaitFailed();
    bool IsRunning() const { return !m_bError && !m_bDone; }

    // ---- Commands and replies ----
    // Sends a command the server answers with one reply; a transfer command
    // (RETR, STOR, APPE, LIST) is answered with a preliminary reply and a
    // final one. The replies are owed until they have been taken.
    void SendOwing(const char* command, bool transfer = false);
    // Commands that need no answer before the next, in one send. A command
    // not owed a reply (the empty line) counts for nothing.
    struct OutgoingCommand {
        const char* text;
        bool owed;
        OwedCommand kind;
    };
    void SendOwingTogether(const OutgoingCommand* commands, size_t count);
    // "VERB %s" with the session's file name.
    void SendWithFileName(const char* format, bool transfer = false);
    // One receive into the reply reader. Returns the receive's result
    // (0 or less: the connection closed or failed).
    int ReceiveReplies();
    // The next complete reply, if one is in; it is no longer owed.
    bool TakeReply(FtpReply* reply);
    // One receive, then every complete reply to OnReply while the worker
    // runs. False when the connection closed or failed (nothing taken).
    bool ReceiveAndTakeReplies();
    // A reply from ReceiveAndTakeReplies.
    virtual void OnReply(const FtpReply& /*reply*/) {}
    // Whether the server still owes replies to this worker's commands.
    bool OwesReplies() const { return m_Owed.Replies() > 0; }
    // A reply that answers nothing this worker counted (the empty line some
    // servers answer): it stays owed.
    void NoteUnaskedReply() { m_Owed.PutBackOne(); }
    // The control connection failed, went silent or is in an unknown state:
    // nothing owed on it will be waited for at the end.
    void NoteControlTrouble() { m_bControlTrouble = true; }
    // A reply taken may have answered another command than the one it was
    // counted for, so a reply may still be on its way whatever the count
    // says: the connection is given up at the end, never handed on.
    void NoteRepliesUncounted() { m_bRepliesUncounted = true; }
    // Closes the control connection from the worker's thread: the server's
    // state is unknown, and the next operation connects anew.
    void GiveUpControlConnection();

    // ---- Activity and time ----
    void NoteActivity();
    bool IsInactive() const;

    // ---- Passive data connection ----
    // Parses the "227 " reply's text and connects to the announced port at
    // the server's own address, whatever address the reply names: a server
    // cannot point a transfer at another host of the host's network, nor
    // have another listener's bytes taken for the file. The data connection
    // is closed when the reply cannot be parsed or nothing connects.
    // False when the reply cannot be parsed or announces no IPv4 address.
    bool OpenPassiveDataConnection(const FtpReply& reply);
    // For a worker that cannot go on without the data connection: false,
    // after failing with FTPE_BADREPLY (an unusable reply) or
    // FTPE_TRANSFERFAIL (nothing connected), when there is none.
    bool OpenPassiveDataConnectionOrFail(const FtpReply& reply);
    void CloseDataSocket();
    // On a protected session, the data connection's handshake, after the
    // transfer command's preliminary reply; a failure fails the transfer.
    void ProtectDataConnection();
    // Data may go on the data connection: it is protected, or the session
    // is not.
    bool IsDataProtectedAsAsked() const;

    // Posts to the session's notification window; nothing when it is 0.
    void Post(unsigned message, int lParam);
    // Ends the worker as failed. The error is posted once the operation has
    // been cleared, so a host that retries from its handler is not refused;
    // only the first error of a worker is posted.
    void FailWith(int errorCode);
    // The operation: what to do, its settings, and where its result goes.
    COperationRecord* Record() const { return m_pSession->m_pOperation; }
    // The session's control connection, which the worker uses while it runs.
    CFtpConnection& Control() const { return m_pSession->m_Control; }

    CFtpClientThread* const m_pSession;
    const int m_nOperation;
    CFtpConnection m_Data;  // the passive data connection, when open
    uint64_t m_tLastActivity;
    uint8_t m_bError;
    uint8_t m_bDone;
    char m_szRecvBuf[kControlReceiveSize];

private:
    void EndOperation();
    // One wait as plan says: false when the cancel event ended it.
    bool WaitOnce(const WaitPlan& plan, PollResult* ready);
    // Closing the data connection early makes the server send the transfer's
    // reply; a command sent at once may be answered before it, or be lost.
    // So what is owed is collected before the session or the next worker
    // uses the connection again. A server that does not send it in time
    // leaves the connection in an unknown state: it is given up.
    void CollectOwedReplies();
    bool IsSessionStopping() const;
    bool WaitForControlText(plat::DWORD milliseconds);

    int m_nErrorToPost;  // 0 for none
    COwedReplies m_Owed;  // in the order the commands went out
    bool m_bControlTrouble;
    bool m_bRepliesUncounted;
};
