// The session run: connect, log in, watch the idle control connection,
// dispatch operations to workers, stop, abort and restart.
#include "session/CFtpClientThread.h"

#include <string.h>

#include <string>

#include "client/CFtpClient.h"
#include "session/NetworkPrimitives.h"
#include "session/Notifications.h"
#include "session/RemotePath.h"
#include "session/TlsSetup.h"
#include "workers/CStreamThread.h"
#include "workers/WorkerFactory.h"

namespace {

const plat::DWORD kIdlePollMs = 4;
const uint32_t kLoginLimitMs = 120000;
const plat::DWORD kLivenessPollMs = 100;

plat::HANDLE NewEvent() {
    return plat::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

CFtpClientThread::CFtpClientThread(CFtpClient* client, COperationRecord* record)
    : m_bEnding(false),
      m_bEnded(false),
      m_bHeadServed(0),
      m_nHeadLength(-1),
      m_bRestart(0),
      m_bReadPending(0),
      m_nOperation(kOperationNone),
      m_pWorker(nullptr),
      m_nCwdSplit(-1),
      m_nStreamPos(-1),
      m_bLoggedIn(0),
      m_nLoginStep(kLoginGreeting),
      m_bAbort(0),
      m_pClient(client),
      m_pOperation(record),
      m_bStarted(false),
      m_bDetached(false),
      m_nTlsMode(kTlsOff),
      m_nErrorToPost(0),
      m_nRefs(1) {
    client->AddRef();
    memset(m_HeadBuffer, 0, sizeof m_HeadBuffer);
    m_szFileName[0] = '\0';
    m_szCurrentDir[0] = '\0';
    m_szDirScratch[0] = '\0';
    m_szRecvBuf[0] = '\0';
    m_tLastActivity = 0;
    m_hCancelEvent = NewEvent();
    m_hWorkerExitedEvent = NewEvent();
    m_hStreamWakeEvent = NewEvent();
    m_hStartEvent = NewEvent();
    m_hWorkerFinishedEvent = NewEvent();
    m_hOperationEvent = NewEvent();
}

CFtpClientThread::~CFtpClientThread() {
    plat::CloseHandle(m_hCancelEvent);
    plat::CloseHandle(m_hWorkerExitedEvent);
    plat::CloseHandle(m_hStreamWakeEvent);
    plat::CloseHandle(m_hStartEvent);
    plat::CloseHandle(m_hWorkerFinishedEvent);
    plat::CloseHandle(m_hOperationEvent);
    m_pClient->ReleaseRef();
}

void CFtpClientThread::AddRef() {
    m_nRefs.fetch_add(1);
}

void CFtpClientThread::ReleaseRef() {
    if (m_nRefs.fetch_sub(1) == 1) delete this;
}

bool CFtpClientThread::Start() {
    m_bStarted = true;
    if (CreateThread()) return true;
    // No thread: the run's reference goes, and the client forgets us.
    m_bEnding = true;
    m_bEnded = true;
    m_pClient->DetachSession(this);
    ReleaseRef();
    return false;
}

void CFtpClientThread::WaitWhileRunning(plat::HANDLE event) {
    while (plat::WaitForSingleObject(event, kLivenessPollMs) == WAIT_TIMEOUT && !HasEnded()) {
    }
}

// ---- The run ---------------------------------------------------------------

BOOL CFtpClientThread::InitInstance() {
    for (;;) {
        if (Connect()) {
            m_Replies.Clear();
            m_Control.SetNoDelay();
            NoteActivity();
            if (!m_bAbort) {
                while (PollRound()) {
                }
            }
        } else {
            OnConnectFailure();
        }
        CloseControl();
        // A session that has let go of the client never starts again.
        if (!m_bRestart || m_bDetached) return FALSE;
        ResetForRestart();
    }
}

bool CFtpClientThread::Connect() {
    m_nTlsMode = m_pClient->m_nTlsMode;
    char secondAddress[kTextFieldSize];
    bool hadBar = false;
    m_pClient->CutServerAddressAtBar(secondAddress, sizeof secondAddress, &hadBar);
    char serverAddress[kTextFieldSize];
    m_pClient->CopyServerAddress(serverAddress, sizeof serverAddress);
    bool opened = OpenControl(serverAddress, hadBar ? secondAddress : nullptr,
                              m_pClient->m_szLocalAddress);
    // When the second address answered first, the client is told: later
    // connects go straight to it.
    if (hadBar && opened) m_pClient->SetServerAddress(serverAddress);
    return opened && (m_nTlsMode != kTlsImplicit || ProtectControl());
}

namespace {

// A dotted address as it is; a name resolved to its first IPv4 address.
bool ToAddress(const char* nameOrAddress, char* out, size_t outSize) {
    if (plat::inet_addr(nameOrAddress) != INADDR_NONE) {
        snprintf(out, outSize, "%s", nameOrAddress);
        return true;
    }
    return plat::ResolveIPv4(nameOrAddress, out, outSize);
}

}  // namespace

bool CFtpClientThread::OpenControl(char* serverAddress, const char* secondAddress,
                                   const char* localAddress) {
    char address[kTextFieldSize];
    char second[kTextFieldSize];
    if (!ToAddress(serverAddress, address, sizeof address)) return false;
    bool race = secondAddress != nullptr && ToAddress(secondAddress, second, sizeof second);
    uint16_t port = m_pClient->m_nPort;
    plat::SOCKET s = ConnectToServer(address, port, localAddress, race ? second : nullptr, port);
    // ConnectToServer writes the winner's address over the first.
    if (race && strcmp(address, second) == 0 && strcmp(serverAddress, secondAddress) != 0) {
        snprintf(serverAddress, kTextFieldSize, "%s", secondAddress);
    }
    m_Control.Attach(s, address, serverAddress);
    return m_Control.IsOpen();
}

bool CFtpClientThread::ProtectControl() {
    CFtpConnection::TlsTrust trust;
    RegistryCaFile(trust.caFile, sizeof trust.caFile);
    RegistryPin(m_Control.PeerName(), trust.pin, sizeof trust.pin);
    if (trust.pin[0] == '\0' && strcmp(m_Control.PeerName(), m_Control.PeerAddress()) != 0) {
        RegistryPin(m_Control.PeerAddress(), trust.pin, sizeof trust.pin);
    }
    char reason[kErrorTextSize];
    uint64_t elapsed = plat::GetTickCount64() - m_tLastActivity;
    uint32_t limit = elapsed < kLoginLimitMs ? kLoginLimitMs - (uint32_t)elapsed : 0;
    if (m_tLastActivity == 0) limit = kLoginLimitMs;
    if (m_Control.StartTls(trust, nullptr, m_pClient->m_hStopEvent, limit, reason, sizeof reason)) {
        return true;
    }
    char line[kTextFieldSize + kErrorTextSize + 64];
    snprintf(line, sizeof line, "TLS with %s failed: %s.\n", m_Control.PeerName(), reason);
    plat::OutputDebugStringA(line);
    m_pOperation->NoteReason(reason);
    CloseControlSocket();
    return false;
}

void CFtpClientThread::OnConnectFailure() {
    plat::OutputDebugStringA("Can't connect to ftp server.\n");
    PostToHost(FTPE_NOTCONNECT);
    plat::OutputDebugStringA("FtpPostMessage---FTPE_NOTCONNECT\n");
    if (m_bRestart) {
        AnswerRequest();
    } else {
        EndForClient();
    }
}

void CFtpClientThread::PostOperation(int operation) {
    m_pOperation->m_bAnswered = false;
    m_nOperation = operation;
    plat::SetEvent(m_hOperationEvent);
}

// One round while no worker runs: it ends as soon as a request, a posted
// operation or a reply comes, and after 4 ms at the latest (the login's
// limit is looked at then). False ends the run.
bool CFtpClientThread::PollRound() {
    if (!m_Control.IsOpen()) return false;
    plat::HANDLE handles[3] = {m_pClient->m_hStopEvent, m_pClient->m_hAbortEvent,
                               m_hOperationEvent};
    plat::SocketWait control = {m_Control.Socket(), true, false, false, false};
    bool held = m_Control.HasPendingInput();
    plat::DWORD signalled =
        plat::WaitForEventsAndSockets(3, handles, &control, 1, held ? 0 : kIdlePollMs);
    control.readable = control.readable || held;
    if (signalled == WAIT_OBJECT_0) {
        StopPath();
        return false;
    }
    // An abort asked for just as the worker it was meant for ended must
    // still be answered, or the host's read would wait for ever.
    if (signalled == WAIT_OBJECT_0 + 1) {
        if (IsLoggedIn()) {
            AbortOperation();
        } else {
            AnswerAbortWithoutWorker();
        }
        return true;
    }
    // Reset before the look: an operation posted after it sets it again.
    if (signalled == WAIT_OBJECT_0 + 2) plat::ResetEvent(m_hOperationEvent);
    if (IsLoggedIn() && m_nOperation.load() != kOperationNone) return Dispatch();
    return WatchControlConnection(signalled, control.readable);
}

// After a round's wait: what it found on the idle control connection.
bool CFtpClientThread::WatchControlConnection(plat::DWORD waited, bool readable) {
    if (waited == WAIT_FAILED) {
        m_bAbort = 1;
        PostToHost(FTPE_SOCKETERROR);
    } else if (readable) {
        NoteActivity();
        OnControlEvent(kSocketReadable);
    } else {
        TimedOutWhileLoggingIn();
    }
    return !m_bAbort;
}

bool CFtpClientThread::TimedOutWhileLoggingIn() {
    if (!IsOverLimit(m_tLastActivity, kLoginLimitMs)) return false;
    m_pOperation->m_nErrorCode = FTPE_TIMEOUT;
    m_bAbort = 1;
    PostToHost(FTPE_TIMEOUT);
    return true;
}

bool CFtpClientThread::Dispatch() {
    RemotePathParts parts;
    SplitRemotePath(m_pOperation->m_szRemotePath, &parts);
    strcpy(m_szDirScratch, parts.directory);
    if (strcmp(m_szDirScratch, m_szCurrentDir) != 0) {
        // Log in again from the type step; it changes to the new directory
        // and the operation is dispatched after that.
        m_nStreamPos = -1;
        m_nLoginStep = kLoginType;
        m_bLoggedIn = 0;
        // The login limit runs from this command, not from the last reply,
        // which may be any time ago.
        NoteActivity();
        SendCommand("TYPE I");
        return true;
    }
    strcpy(m_szCurrentDir, parts.directory);
    strcpy(m_szFileName, parts.fileName);
    ResetWorkerEvents();
    if (!StartWorkerFor(this, m_nOperation.load())) {
        EndOperationWithoutWorker();
        return true;
    }
    plat::SetEvent(m_hStartEvent);
    return WaitForWorker();
}

// Nothing can run the operation: it ends as failed rather than waiting. As a
// worker's end, under m_cs, so that a request of another host thread cannot
// reset the done event between the clearing and the set; a transfer, which
// nobody waits for, is told by a notice.
void CFtpClientThread::EndOperationWithoutWorker() {
    int operation = m_nOperation.load();
    m_cs.Lock();
    m_nOperation = kOperationNone;
    plat::SetEvent(m_pClient->m_hDoneEvent);
    m_cs.Unlock();
    if (operation == kOperationUpload || operation == kOperationDownload) {
        FtpPostMessage(m_pOperation->m_hNotifyWnd.load(), WM_FTP_ERROR, m_pOperation->m_pOwner,
                       FTPE_TRANSFERFAIL);
    }
}

bool CFtpClientThread::WaitForWorker() {
    plat::HANDLE handles[3] = {m_hWorkerFinishedEvent, m_pClient->m_hStopEvent,
                               m_pClient->m_hAbortEvent};
    plat::DWORD signalled = plat::WaitForMultipleObjects(3, handles, FALSE, INFINITE);
    if (signalled == WAIT_OBJECT_0 + 1) {
        StopPath();
        return false;
    }
    if (signalled == WAIT_OBJECT_0 + 2) {
        AbortOperation();
        return true;
    }
    NoteActivity();
    if (!m_Control.IsOpen()) {
        // The worker closed the control connection: this run is over.
        m_bRestart = 0;
        m_bAbort = 1;
    }
    return !m_bAbort;
}

CStreamThread* CFtpClientThread::StreamWorker() const {
    CWorkerThread* worker = m_pWorker.load();
    if (worker == nullptr || worker->Operation() != kOperationStream) return nullptr;
    return static_cast<CStreamThread*>(worker);
}

// Cancels the running worker and waits for it. Workers end holding m_cs, so
// a worker seen here has not yet set its exited event.
void CFtpClientThread::CancelWorker(bool transfersOnly) {
    m_cs.Lock();
    CWorkerThread* worker = m_pWorker.load();
    bool isTransfer = worker != nullptr && (worker->Operation() == kOperationUpload ||
                                            worker->Operation() == kOperationStream);
    bool running = m_nOperation.load() != kOperationNone &&
                   (transfersOnly ? isTransfer : worker != nullptr);
    if (!running) {
        m_cs.Unlock();
        return;
    }
    plat::ResetEvent(m_hWorkerExitedEvent);
    plat::SetEvent(m_hCancelEvent);
    m_cs.Unlock();
    plat::WaitForSingleObject(m_hWorkerExitedEvent, INFINITE);
}

void CFtpClientThread::StopPath() {
    CancelWorker(false);
}

void CFtpClientThread::AbortOperation() {
    StopPath();
    m_bRestart = 0;
    m_bAbort = 0;
    m_pOperation->m_nErrorCode = 0;
    m_pOperation->m_bSucceeded = 0;
    // The stop event is left alone: set now, it is another host thread's
    // StopSession, which waits until the session has ended.
    plat::ResetEvent(m_pClient->m_hAbortEvent);
    ResetWorkerEvents();
    m_bHeadServed = 0;
    m_nCwdSplit = -1;
    // The login limit runs from here: the session was busy until now.
    NoteActivity();
    plat::SetEvent(m_pClient->m_hAbortDoneEvent);
}

// While logging in there is no worker to abort, and the login goes on: the
// abort is answered at once, so it is neither lost nor polled again.
void CFtpClientThread::AnswerAbortWithoutWorker() {
    plat::ResetEvent(m_pClient->m_hAbortEvent);
    plat::SetEvent(m_pClient->m_hAbortDoneEvent);
}

void CFtpClientThread::CloseControl() {
    CancelWorker(true);
    CloseControlSocket();
}

void CFtpClientThread::ResetForRestart() {
    m_bRestart = 0;
    m_bAbort = 0;
    m_bEnding = false;
    m_pOperation->m_nErrorCode = 0;
    m_nLoginStep = kLoginGreeting;
    m_pWorker = nullptr;
    m_bLoggedIn = 0;
    m_pOperation->m_bSucceeded = 0;
    plat::ResetEvent(m_pClient->m_hStopEvent);
    ResetWorkerEvents();
    m_bHeadServed = 0;
    m_nCwdSplit = -1;
    m_Replies.Clear();
    m_szCurrentDir[0] = '\0';
    m_szFileName[0] = '\0';
    plat::SetEvent(m_pClient->m_hStoppedEvent);
    PostPendingError();
    plat::OutputDebugStringA("goto begin in the ftp client thread.....\n");
}

// The run is over for good.
int CFtpClientThread::ExitInstance() {
    EndForClient();
    m_bEnded = true;
    ReleaseRef();
    return 0;
}

// The client forgets the session before a waiting request is released, so
// the request's caller can start a new session at once.
void CFtpClientThread::EndForClient() {
    if (m_bDetached) return;
    m_bDetached = true;
    m_bEnding = true;
    m_bLoggedIn = 0;
    m_cs.Lock();
    m_pClient->DetachSession(this);
    PostPendingError();
    plat::SetEvent(m_pClient->m_hDoneEvent);
    m_cs.Unlock();
    plat::SetEvent(m_pClient->m_hStoppedEvent);
}

// The error is told before the waiting request returns, so the request's
// caller finds it posted; a host that retries from its handler is not
// refused, since this session has let go of the client (EndForClient) or
// is starting again.
void CFtpClientThread::AnswerRequest() {
    PostPendingError();
    plat::SetEvent(m_pClient->m_hDoneEvent);
}

void CFtpClientThread::ResetWorkerEvents() {
    plat::ResetEvent(m_hCancelEvent);
    plat::ResetEvent(m_hWorkerExitedEvent);
    plat::ResetEvent(m_hStartEvent);
    plat::ResetEvent(m_hWorkerFinishedEvent);
}

void CFtpClientThread::NoteActivity() {
    m_tLastActivity = plat::GetTickCount64();
}

// Kept until the session has let go of the client or answers the request;
// the first error of a run is the one told.
void CFtpClientThread::PostToHost(int errorCode) {
    if (m_nErrorToPost == 0) m_nErrorToPost = errorCode;
}

void CFtpClientThread::PostPendingError() {
    int errorCode = m_nErrorToPost;
    m_nErrorToPost = 0;
    if (errorCode != 0) {
        FtpPostMessage(m_pClient->m_hMessageHwnd.load(), WM_FTP_ERROR, m_pClient, errorCode);
    }
}

// ---- Services for the client and the workers ---------------------------------

bool CFtpClientThread::IsStopRequested() const {
    return plat::WaitForSingleObject(m_pClient->m_hStopEvent, 0) == WAIT_OBJECT_0;
}

int CFtpClientThread::CopyFromHead(uint32_t offset, uint8_t* destination, uint32_t length,
                                   uint32_t* outLength) {
    if (m_nHeadLength.load() != kHeadBufferSize) return 0;
    if (length > (uint32_t)kHeadBufferSize || offset > (uint32_t)kHeadBufferSize - length) {
        return 0;
    }
    memcpy(destination, m_HeadBuffer + offset, length);
    *outLength = length;
    return 1;
}

// The line and its CR LF go out in one send: on a socket without
// TCP_NODELAY (the one a reconnect opens) a separate CR LF would wait for
// the server's delayed acknowledgement, 40 to 200 ms for every command.
// Commands sent together go out in one send, too.
bool CFtpClientThread::SendCommand(const char* text) {
    return SendCommands(&text, 1);
}

bool CFtpClientThread::SendCommands(const char* const* texts, size_t count) {
    std::string lines;
    for (size_t i = 0; i < count; ++i) {
        if (strpbrk(texts[i], "\r\n") != nullptr) return false;
        lines += std::string(texts[i]) + "\r\n";
    }
    return m_Control.SendAll(lines.data(), (int)lines.size());
}
