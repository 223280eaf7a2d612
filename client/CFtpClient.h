// The client object a host receives from CreateFtpClientInstance. It holds
// the connection parameters and options, the host window for notifications,
// the events through which it talks to its session thread, and a pointer to
// that session (created by the first operation that needs the server).
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
#include "platform/Platform.h"
#include "platform/Threads.h"
#include "session/COperationRecord.h"
#include "session/FieldSizes.h"

class CFtpClientThread;

class CFtpClient : public IFtpClient {
public:
    CFtpClient();

    // IFtpClient, in slot order.
    void Release() override;
    int GetSeekFlag() override;
    void StopSession() override;
    int SetMessageWindow(HWND hWnd) override;
    int SetConnectParameter(const char* serverAddress, const char* userName,
                            const char* password, unsigned short port,
                            unsigned char overwrite, unsigned char append,
                            const char* localAddress, unsigned char extraFlag) override;
    int SendFile(const char* localPath, const char* remoteName) override;
    int DeleteRemoteFile(const char* remotePath) override;
    int ReceiveFile(const char* remotePath, const char* localPath) override;
    int ReadStream(const char* remotePath, unsigned char* buffer, unsigned int position,
                   unsigned int length, unsigned int* bytesRead) override;
    int ReadStreamOnce(const char* remotePath, unsigned char* buffer, unsigned int position,
                       unsigned int length, unsigned int* bytesRead, int attempt) override;
    int GetRemoteFileSize(const char* remotePath) override;
    int SetBlockSize(unsigned int bytes) override;
    char* ListDirectory(const char* directory, const char* pattern) override;
    int CreateOrRemoveDirectory(const char* path, unsigned char create) override;
    int SetStreamMode(int mode) override;
    int SetBufferingMode(int mode) override;
    int SetTransferRate(double megabitsPerSecond) override;

    // Slot 17: only destroys what construction built; Release closes the
    // events and stops the session before the last reference goes.
    virtual ~CFtpClient();

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
    plat::HANDLE m_hStopEvent;
    plat::HANDLE m_hStoppedEvent;
    plat::HANDLE m_hAbortEvent;
    plat::HANDLE m_hAbortDoneEvent;

private:
    void FindMessageWindow();
    bool IsBusy();
    // Fills the record for a new operation (not a stream read) with the
    // options and settings it runs with.
    void BeginOperation(int operation);
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
    CFtpClientThread* StartStreamSession(const StreamRequest& request);
    bool RecordStreamRequest(const StreamRequest& request);
    void WriteStreamRequest(const StreamRequest& request);
    bool ServeFromHead(CFtpClientThread* session, const StreamRequest& request, bool sameFile);
    void DecideHowStreamGoesOn(CFtpClientThread* session, const StreamRequest& request,
                               bool sameFile);
    void RestartForRetry(CFtpClientThread* session, const StreamRequest& request);
    bool MoveRunningStream(CFtpClientThread* session, unsigned int position);
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

    std::atomic<int> m_nRefs;
    // m_pSessionThread and its references; also the stop event's set (for
    // the client's session only) and its reset for a new session.
    plat::CCriticalSection m_csSession;
    plat::CCriticalSection m_csServerAddress;  // m_szServerAddress
    // Makes a request's busy test and its hand-over one step, so that two
    // host threads cannot both pass the test and write one session's fields.
    plat::CCriticalSection m_csRequest;
};
