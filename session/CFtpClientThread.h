// The session object: one per client object while it talks to a server.
// Its thread owns the control connection: it connects, logs in, watches the
// idle connection, hands each operation to a worker and waits for it, and
// stops, aborts or restarts on request. What an operation asks and what it
// gives back travel in the client's operation record (m_pOperation): the
// client fills it and sets m_nOperation last; the worker writes its result
// there before it signals its end. The session itself holds what belongs
// to the connection: the login, the current directory, the stream's
// position and head buffer.
//
// Fields that more than one thread reads and writes without another
// hand-over are atomic. The texts are handed over by the order of writes:
// they are written before m_nOperation (or an event) and read after it.
//
// Lifetime: reference counted. The session thread holds one reference for
// its run, each worker one for its life, and a waiting host request one
// until it has its result, so nobody reads freed fields.
#pragma once

#include <atomic>
#include <stdint.h>

#include "platform/Platform.h"
#include "platform/Threads.h"
#include "session/CFtpConnection.h"
#include "session/COperationRecord.h"
#include "session/FieldSizes.h"
#include "session/ReplyReader.h"

class CFtpClient;
class CStreamThread;
class CWorkerThread;

enum LoginStep {
    kLoginGreeting = 0,
    kLoginUser = 1,
    kLoginPassword = 2,
    kLoginType = 3,
    kLoginCwd = 4,
    kLoginDone = 5,
    // Only on a protected connection (after kLoginGreeting and a login).
    kLoginAuth = 6,
    kLoginPbsz = 7,
    kLoginProt = 8,
};

// Socket handler event codes, in the style of Winsock network events.
enum SocketEvent {
    kSocketReadable = 1,
    kSocketWritable = 2,
    kSocketClosed = 32,
};

class CFtpClientThread : public plat::CWinThread {
public:
    // record: the client's operation record, which every operation of this
    // session fills.
    CFtpClientThread(CFtpClient* client, COperationRecord* record);

    void AddRef();
    void ReleaseRef();

    // Starts the session thread; on failure the run's reference is dropped
    // and the client no longer knows the session.
    bool Start();
    bool IsStarted() const { return m_bStarted; }

    BOOL InitInstance() override;
    int ExitInstance() override;

    bool IsLoggedIn() const { return m_bLoggedIn.load() == 1; }
    // Hands an operation over: its code is the last write, and the session
    // is woken to see it at once.
    void PostOperation(int operation);
    // The running worker when it is the stream's, else null. Under m_cs for
    // anything more than a look: workers end holding it.
    CStreamThread* StreamWorker() const;
    int CopyFromHead(uint32_t offset, uint8_t* destination, uint32_t length,
                     uint32_t* outLength);
    // Sends text and CR LF on the control connection. Refuses text holding
    // CR or LF: it would put a second command on the connection.
    bool SendCommand(const char* text);
    // Several commands in one send; none goes when one of them is refused.
    bool SendCommands(const char* const* texts, size_t count);
    void OnControlEvent(int event);
    void CloseControl();
    // Closes the control connection alone, without cancelling the worker:
    // for a worker that gives the connection up from its own thread.
    void CloseControlSocket() { m_Control.Close(); }

    // Waits for event without a limit, but returns also once the session
    // has ended: a session that ends just as a host thread starts to wait
    // may have set the event before the host reset it. The caller holds a
    // reference.
    void WaitWhileRunning(plat::HANDLE event);
    bool HasEnded() const { return m_bEnded.load(); }

    // What workers need of the client's stop request.
    bool IsStopRequested() const;

    // Set when the session has answered the waiting request itself (failed
    // connection or "421 " during login) or has ended for good: the request
    // then has no worker result to read.
    std::atomic<bool> m_bEnding;
    // Set once the run is over for good and the client has been told.
    std::atomic<bool> m_bEnded;

    // ---- Fields (names as the rest of the library knows them) ----
    std::atomic<int32_t> m_bHeadServed;
    std::atomic<int32_t> m_nHeadLength;
    uint8_t m_HeadBuffer[kHeadBufferSize];
    std::atomic<uint8_t> m_bRestart;
    char m_szFileName[kTextFieldSize];
    plat::CCriticalSection m_cs;
    std::atomic<uint8_t> m_bReadPending;
    plat::HANDLE m_hCancelEvent;
    plat::HANDLE m_hWorkerExitedEvent;
    plat::HANDLE m_hStreamWakeEvent;
    plat::HANDLE m_hStartEvent;
    plat::HANDLE m_hWorkerFinishedEvent;
    plat::HANDLE m_hOperationEvent;  // an operation was posted
    std::atomic<int32_t> m_nOperation;
    // The running worker, whatever its operation; null when none runs.
    std::atomic<CWorkerThread*> m_pWorker;
    int32_t m_nCwdSplit;
    std::atomic<int64_t> m_nStreamPos;  // -1: unknown
    char m_szCurrentDir[kTextFieldSize];
    char m_szDirScratch[kTextFieldSize];
    uint64_t m_tLastActivity;
    std::atomic<uint8_t> m_bLoggedIn;
    std::atomic<uint32_t> m_nLoginStep;
    // Replies on the control connection, for the session and its workers.
    CReplyReader m_Replies;
    uint8_t m_bAbort;
    char m_szRecvBuf[kControlReceiveSize + 1];
    CFtpClient* const m_pClient;
    // The operation running or last run (never null).
    COperationRecord* const m_pOperation;
    // The control connection; workers use it while they run.
    CFtpConnection m_Control;

private:
    ~CFtpClientThread() override;

    // The run, step by step.
    bool Connect();
    // Connects to the address (a name is resolved), racing the second
    // one when there is one; the winner's text replaces serverAddress.
    bool OpenControl(char* serverAddress, const char* secondAddress, const char* localAddress);
    // The handshake on the control connection, now: right after connecting
    // (implicit TLS) or after "234 " (explicit). False, with the connection
    // closed and the reason written to the debugger output, when it fails.
    bool ProtectControl();
    void OnConnectFailure();
    bool PollRound();
    bool WatchControlConnection(plat::DWORD waited, bool readable);
    bool TimedOutWhileLoggingIn();
    bool Dispatch();
    bool WaitForWorker();
    void CancelWorker(bool transfersOnly);
    void StopPath();
    void AbortOperation();
    void ResetForRestart();
    void ResetWorkerEvents();
    void NoteActivity();
    // The session will not serve the client again: it stops being the
    // client's session and releases a waiting request. Once only.
    void EndForClient();

    // Login (OnControlEvent) steps.
    void OnControlReadable();
    void OnLoggedInReply(const FtpReply& reply);
    void OnLoginReply(const FtpReply& reply);
    void FailStep(const FtpReply& reply);
    void FailLogin(int errorCode);
    void OnAuthReply(const FtpReply& reply);
    void SendUser();
    void SendPassword();
    void AfterLogin();
    void AnswerAbortWithoutWorker();
    void SendFormatted(const char* format, const char* argument);
    void FirstDirectoryStep();
    void SecondDirectoryStepOrDone();
    void ReconnectAfterServiceEnd();
    void PostToHost(int errorCode);
    void PostPendingError();
    void AnswerRequest();
    void EndOperationWithoutWorker();

    bool m_bStarted;
    bool m_bDetached;
    int m_nTlsMode;  // TlsMode: how this session protects its connections
    int m_nErrorToPost;  // 0 for none
    std::atomic<int> m_nRefs;
};
