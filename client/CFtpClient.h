// The client object behind what a host receives from
// CreateFtpClientInstance. It holds the connection parameters and options,
// the host window for notifications, the events through which it talks to
// its session thread, and a pointer to that session (created by the first
// operation that needs the server). Its operations are those of IFtpClient2;
// the host's object (client/FtpClientObjects.h) is an IFtpClient or an
// IFtpClient2 whose slots call them, so that each selector's table is laid
// out as its interface says.
//
// Threads: the host calls the operations. Each operation is handed to the
// session in the operation record (m_Operation), which its worker reads and
// answers in; the session reads the connection parameters and writes back
// the address that won a raced connect and the account name it logged in
// with. Every field another thread may touch while the host does is atomic
// or handed over through events.
//
// Lifetime: the host's reference ends with Release; a session object still
// running holds a reference of its own, so the object and its events stay
// valid until the last holder lets go.
#pragma once

#include <atomic>
#include <stdint.h>

#include "IFtpClient.h"
#include "client/CallOutcomes.h"
#include "platform/Platform.h"
#include "platform/Threads.h"
#include "session/COperationRecord.h"
#include "session/FieldSizes.h"

class CFtpClientThread;

class CFtpClient {
public:
    // host: the object the host holds, named in every notice.
    explicit CFtpClient(IFtpClient* host);

    // The operations of IFtpClient2, in slot order. Each notes its outcome
    // for the calling thread as it returns (all but Release).
    void Release();
    int GetSeekFlag();
    void StopSession();
    int SetMessageWindow(HWND hWnd);
    int SetConnectParameter(const char* serverAddress, const char* userName,
                            const char* password, unsigned short port,
                            unsigned char overwrite, unsigned char append,
                            const char* localAddress, unsigned char extraFlag);
    int SendFile(const char* localPath, const char* remoteName);
    int DeleteRemoteFile(const char* remotePath);
    int ReceiveFile(const char* remotePath, const char* localPath);
    int ReadStream(const char* remotePath, unsigned char* buffer, unsigned int position,
                   unsigned int length, unsigned int* bytesRead);
    int ReadStreamOnce(const char* remotePath, unsigned char* buffer, unsigned int position,
                       unsigned int length, unsigned int* bytesRead, int attempt);
    int GetRemoteFileSize(const char* remotePath);
    int SetBlockSize(unsigned int bytes);
    char* ListDirectory(const char* directory, const char* pattern);
    int CreateOrRemoveDirectory(const char* path, unsigned char create);
    int SetStreamMode(int mode);
    int SetBufferingMode(int mode);
    int SetTransferRate(double megabitsPerSecond);
    int ReadStream64(const char* remotePath, unsigned char* buffer, unsigned long long position,
                     unsigned int length, unsigned int* bytesRead);
    int GetRemoteFileSize64(const char* remotePath, long long* size);
    int ListDirectoryAll(const char* directory, const char* pattern, char* buffer,
                         unsigned int bufferSize, unsigned int* needed);
    int GetLastErrorCode();
    const char* GetLastErrorText();

    // Only destroys what construction built; Release closes the events and
    // stops the session before the last reference goes.
    virtual ~CFtpClient();

    // The object the host holds (the wParam of every notice).
    IFtpClient* HostObject() const { return m_Operation.m_pOwner; }
    // The client behind an object the factory made.
    static CFtpClient* FromHost(IFtpClient* host);

    // Test hook: called by a stream read just before it hands itself to the
    // stream worker (after deciding it has to); null for none.
    static void SetPendingReadHookForTesting(void (*hook)(CFtpClient* client));

    // Shared ownership with a running session (see the class comment).
    void AddRef();
    void ReleaseRef();

    // The session object with a reference taken, or null. The caller owns
    // the reference (CFtpClientThread::ReleaseRef).
    CFtpClientThread* AcquireSession();
    // Called by the session when its run has ended for good.
    void DetachSession(CFtpClientThread* session);

    // The server address text under its lock (the session rewrites it while
    // connecting; other threads read it).
    void CopyServerAddress(char* out, size_t outSize);
    void CutServerAddressAtBar(char* secondAddressOut, size_t outSize, bool* hadBar);
    void SetServerAddress(const char* address);

    // ---- Fields (names as the rest of the library knows them) ----
    std::atomic<int32_t> m_nStreamMode;
    std::atomic<uint32_t> m_nBlockSize;
    const plat::HANDLE m_hDoneEvent;
    // The running or last operation, handed to every session of this object.
    COperationRecord m_Operation;
    std::atomic<int32_t> m_nBufferingMode;
    std::atomic<double> m_dTransferRate;
    // 0 until the first size query: no buffering wait away from the start in
    // stream modes other than 1 until the size is known.
    std::atomic<int64_t> m_nRemoteFileSize;
    std::atomic<CFtpClientThread*> m_pSessionThread;
    std::atomic<plat::HWND> m_hMessageHwnd;
    std::atomic<int32_t> m_nSeekFlag;
    plat::CCriticalSection m_csRead;
    char m_szLocalAddress[kTextFieldSize];
    uint8_t m_bOverwrite;
    uint8_t m_bAppend;
    uint8_t m_bExtraFlag;
    char m_szServerAddress[kTextFieldSize];
    char m_szUserName[kTextFieldSize];
    char m_szPassword[kTextFieldSize];
    uint16_t m_nPort;
    // How the session protects its connections (TlsMode): the scheme of
    // the server address, else the registry's; set with the parameters.
    int32_t m_nTlsMode;
    // The address came with a scheme: the host's user name is used as given.
    bool m_bSchemeGiven;
    plat::HANDLE m_hStopEvent;
    plat::HANDLE m_hStoppedEvent;
    plat::HANDLE m_hAbortEvent;
    plat::HANDLE m_hAbortDoneEvent;

private:
    void FindMessageWindow();
    bool IsBusy();
    // After a synchronous operation that did not succeed: the code that
    // says why. fallback for a worker's end without one (its reading of a
    // reply it could not use); an operation no worker answered ended with
    // its session.
    int FailureCode(int fallback) const;
    // The size request behind both size operations: true when the server
    // answered (*size -1 when it gave none).
    bool QuerySize(const char* remotePath, int64_t* size, CallOutcome& outcome);
    // The listing request behind both listing operations: true when it was
    // handed over and has ended (the record holds its result).
    bool RunListing(const char* directory, const char* pattern, char* composed,
                    size_t composedSize);
    // Fills the record for a new operation (not a stream read) with the
    // options and settings it runs with.
    void BeginOperation(int operation);
    // What became of a synchronous request: refused (busy, or no session
    // could be made), handed to a session that could not start, or ended.
    enum class RequestEnd { kRefused, kNotStarted, kFinished };
    RequestEnd RunAndWait(int operation, const char* path, uint8_t makeDirectory = 0);
    bool StartTransfer(plat::ScopedLock& lock, int operation, const char* localPath,
                       const char* remotePath);
    // Sets the outcome of a synchronous request by how it ended.
    void NoteEnd(CallOutcome& outcome, RequestEnd end, bool succeeded) const;
    // Sets the stop event while session is still the client's session.
    void AskToStop(CFtpClientThread* session);
    // Creates and starts a session when there is none; returns it with a
    // reference taken for the caller, or null when it cannot be created.
    CFtpClientThread* SessionForRequest(bool synchronous);
    CFtpClientThread* CreateSession();
    // A session that is going away (ending, gave up its control connection,
    // or asked to stop) is waited for until it has let go of the client;
    // returns whatever session the client has then, with the reference
    // moved to it. Called with m_csRequest held.
    CFtpClientThread* ReplaceDepartingSession(CFtpClientThread* session);
    bool IsDeparting(CFtpClientThread* session);
    void WaitForResult(CFtpClientThread* session);
    void CloseEvents();

    // Stream reading steps (client/CFtpClientStream.cpp).
    struct StreamRequest;
    int ReadWithRetries(const char* remotePath, unsigned char* buffer, uint64_t position,
                        unsigned int length, unsigned int* bytesRead, CallOutcome& outcome);
    int ReadOnce(const char* remotePath, unsigned char* buffer, uint64_t position,
                 unsigned int length, unsigned int* bytesRead, int attempt, CallOutcome& outcome);
    CFtpClientThread* StartStreamSession(const StreamRequest& request);
    bool RecordStreamRequest(const StreamRequest& request);
    void WriteStreamRequest(const StreamRequest& request);
    bool ServeFromHead(CFtpClientThread* session, const StreamRequest& request, bool sameFile);
    void DecideHowStreamGoesOn(CFtpClientThread* session, const StreamRequest& request,
                               bool sameFile);
    void RestartForRetry(CFtpClientThread* session, const StreamRequest& request);
    bool MoveRunningStream(CFtpClientThread* session, uint64_t position);
    void AbortStream(CFtpClientThread* session);
    void KeepHeadForFile(CFtpClientThread* session, const char* path);
    int Serve(CFtpClientThread* session, const StreamRequest& request, plat::ScopedLock& requestLock);
    bool ReadQueued(CFtpClientThread* session, const StreamRequest& request, bool afterBuffering);
    bool ShouldWaitForBuffering(CFtpClientThread* session, const StreamRequest& request);
    void WaitForBuffering(CFtpClientThread* session);
    int PendingRead(CFtpClientThread* session, plat::ScopedLock& requestLock);
    // The file whose first bytes the session's head buffer holds (reads
    // keep it, under m_csRead).
    char m_szHeadPath[kTextFieldSize] = {};

    // The outcome of each host thread's last call (GetLastErrorCode).
    CCallOutcomes m_Outcomes;
    std::atomic<int> m_nRefs;
    // m_pSessionThread and its references; also the stop event's set (for
    // the client's session only) and its reset for a new session.
    plat::CCriticalSection m_csSession;
    plat::CCriticalSection m_csServerAddress;  // m_szServerAddress
    // Makes a request's busy test and its hand-over one step, so that two
    // host threads cannot both pass the test and write one session's fields.
    plat::CCriticalSection m_csRequest;
};

// The session names its client in the notices it posts itself (a failed
// connect or login, a time-out); the notice names the object the host
// holds, and the record keeps the code as the session's answer to the
// operation it ends, for a host that asks GetLastErrorCode.
void FtpPostMessage(plat::HWND window, unsigned message, CFtpClient* client, plat::LPARAM lParam);
