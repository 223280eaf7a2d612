// Random-access reading of a remote file: each read names a position and a
// length, and is served from one sequential transfer (the stream worker and
// its buffer queue). Reads that continue the stream take their bytes
// straight from the queue; small jumps move within the buffered data; reads
// of the file's first 64 KiB come from the head buffer; other jumps, and
// another file, end the transfer so that the read starts a new one.
//
// Locks, always in this order: m_csRead (one read at a time, held for the
// whole read), m_csRequest (keeps the other requests out until the stream
// is the session's operation), the session's m_cs (the worker, the queue
// and the stream position), the queue's own lock.
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <memory>

#include "client/CFtpClient.h"
#include "session/CFtpClientThread.h"
#include "session/Notifications.h"
#include "session/ReplyText.h"
#include "workers/CStreamThread.h"

namespace {

const int kReadAttempts = 3;
const plat::DWORD kHeadReadPauseMs = 100;
// Every position below 2^63 names a byte; a length travels as int32 (and no
// queue could hold a longer read anyway).
const unsigned int kLargestReadLength = 0x7FFFFFFF;

std::atomic<void (*)(CFtpClient*)> g_PendingReadHook(nullptr);

bool IsRetriedFailure(int errorCode) {
    return errorCode == FTPE_TIMEOUT || errorCode == FTPE_TRANSFERFAIL;
}

bool IsOtherOperationRunning(CFtpClientThread* session) {
    int operation = session->m_nOperation.load();
    return operation != kOperationNone && operation != kOperationStream;
}

// A read's own reference on the client. A host thread may Release the object
// while another host thread reads; the session reference the read holds may
// then be the object's last holder, and dropping it would free the object
// under the read's locks and fields. Taken first, released last.
class ClientReference {
public:
    explicit ClientReference(CFtpClient* client) : m_pClient(client) { client->AddRef(); }
    ~ClientReference() { m_pClient->ReleaseRef(); }
    ClientReference(const ClientReference&) = delete;
    ClientReference& operator=(const ClientReference&) = delete;

private:
    CFtpClient* const m_pClient;
};

}  // namespace

void CFtpClient::SetPendingReadHookForTesting(void (*hook)(CFtpClient* client)) {
    g_PendingReadHook = hook;
}

struct CFtpClient::StreamRequest {
    const char* path;
    unsigned char* buffer;
    uint64_t position;
    unsigned int length;
    unsigned int* bytesRead;
    int attempt;
};

int CFtpClient::ReadStream(const char* remotePath, unsigned char* buffer, unsigned int position,
                           unsigned int length, unsigned int* bytesRead) {
    CallOutcome outcome(*this, m_Outcomes);
    return ReadWithRetries(remotePath, buffer, position, length, bytesRead, outcome);
}

// Every position a signed 64-bit stream position can name.
int CFtpClient::ReadStream64(const char* remotePath, unsigned char* buffer,
                             unsigned long long position, unsigned int length,
                             unsigned int* bytesRead) {
    CallOutcome outcome(*this, m_Outcomes);
    if (position > (unsigned long long)INT64_MAX) {
        if (bytesRead != nullptr) *bytesRead = 0;
        return 0;
    }
    return ReadWithRetries(remotePath, buffer, position, length, bytesRead, outcome);
}

int CFtpClient::ReadStreamOnce(const char* remotePath, unsigned char* buffer,
                               unsigned int position, unsigned int length,
                               unsigned int* bytesRead, int attempt) {
    CallOutcome outcome(*this, m_Outcomes);
    return ReadOnce(remotePath, buffer, position, length, bytesRead, attempt, outcome);
}

int CFtpClient::ReadWithRetries(const char* remotePath, unsigned char* buffer, uint64_t position,
                                unsigned int length, unsigned int* bytesRead,
                                CallOutcome& outcome) {
    ClientReference self(this);
    m_nSeekFlag = 0;
    int result = 0;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        result = ReadOnce(remotePath, buffer, position, length, bytesRead, attempt, outcome);
        if (result == 1 || !IsRetriedFailure(m_Operation.m_nErrorCode.load())) break;
        plat::Sleep(1);
    }
    return result;
}

// The outcome: refused until the read is under way; then the read's own.
int CFtpClient::ReadOnce(const char* remotePath, unsigned char* buffer, uint64_t position,
                         unsigned int length, unsigned int* bytesRead, int attempt,
                         CallOutcome& outcome) {
    m_nSeekFlag = 0;
    m_Operation.ClearFailure();
    outcome.Set(FTPE_REFUSED);
    if (bytesRead != nullptr) *bytesRead = 0;
    if (!IsSafeCommandText(remotePath, kTextFieldSize) || remotePath[0] == '\0') return 0;
    if (buffer == nullptr || bytesRead == nullptr) return 0;
    if (length > kLargestReadLength) return 0;
    StreamRequest request = {remotePath, buffer, position, length, bytesRead, attempt};

    ClientReference self(this);
    plat::ScopedLock readLock(m_csRead);
    plat::ScopedLock requestLock(m_csRequest);
    // The locks go before the session reference: see ClientReference.
    auto finish = [&](CFtpClientThread* held, int result) {
        if (result == 1) outcome.Set(0);
        requestLock.Unlock();
        readLock.Unlock();
        if (held != nullptr) held->ReleaseRef();
        return result;
    };
    CFtpClientThread* session = AcquireSession();
    if (session != nullptr && IsOtherOperationRunning(session)) return finish(session, 0);
    plat::ResetEvent(m_hAbortEvent);
    plat::ResetEvent(m_hAbortDoneEvent);
    plat::ResetEvent(m_hDoneEvent);

    session = ReplaceDepartingSession(session);
    if (session != nullptr) {
        bool sameFile = RecordStreamRequest(request);
        if (ServeFromHead(session, request, sameFile)) return finish(session, 1);
        DecideHowStreamGoesOn(session, request, sameFile);
        // An abort or a restart may have cost the connection.
        session = ReplaceDepartingSession(session);
    }
    if (session == nullptr) session = StartStreamSession(request);
    if (session == nullptr) {
        outcome.Set(FTPE_NOTCONNECT);
        return finish(nullptr, 0);
    }
    KeepHeadForFile(session, remotePath);
    int result = Serve(session, request, requestLock);
    if (result != 1) outcome.Set(FailureCode(FTPE_TRANSFERFAIL), m_Operation.m_szErrorText);
    return finish(session, result);
}

// A new session starts with its stop events reset (CreateSession): with a
// session running, a stop request set by another host thread is still on
// its way to it.
CFtpClientThread* CFtpClient::StartStreamSession(const StreamRequest& request) {
    CFtpClientThread* session = CreateSession();
    if (session == nullptr) return nullptr;
    WriteStreamRequest(request);
    if (!session->Start()) {
        session->ReleaseRef();
        return nullptr;
    }
    return session;
}

// True when the request names the file of the last operation.
bool CFtpClient::RecordStreamRequest(const StreamRequest& request) {
    bool sameFile = strcmp(m_Operation.m_szRemotePath, request.path) == 0;
    WriteStreamRequest(request);
    return sameFile;
}

// A running stream worker reads the read's fields only while a read is
// pending, which it is not now, and the settings only when it starts. The
// record is not begun anew: the running stream's result fields stay its own.
void CFtpClient::WriteStreamRequest(const StreamRequest& request) {
    COperationRecord& record = m_Operation;
    record.m_nOperation = kOperationStream;
    snprintf(record.m_szRemotePath, sizeof record.m_szRemotePath, "%s", request.path);
    record.m_nStreamStart = request.position;
    record.m_nReadLength = request.length;
    record.m_pReadCount = request.bytesRead;
    record.m_pReadBuffer = request.buffer;
    record.m_hNotifyWnd = m_hMessageHwnd.load();
    record.m_nBlockSize = m_nBlockSize.load();
    record.m_nStreamMode = m_nStreamMode.load();
}

// A read of the file's start, once the head buffer holds it. A running
// stream elsewhere is moved to just after it, where the host most likely
// reads next; when its buffers cannot reach there, it is ended, so that the
// next read starts a transfer where it reads.
bool CFtpClient::ServeFromHead(CFtpClientThread* session, const StreamRequest& request,
                               bool sameFile) {
    if (request.position != 0 || !sameFile || strcmp(m_szHeadPath, request.path) != 0) {
        return false;
    }
    if (!session->CopyFromHead(0, request.buffer, request.length, request.bytesRead)) return false;
    plat::Sleep(kHeadReadPauseMs);
    bool moved = true;
    {
        plat::ScopedLock lock(session->m_cs);
        CStreamThread* worker = session->StreamWorker();
        if (worker != nullptr && session->m_nStreamPos.load() != 0) {
            session->m_bHeadServed = 1;
            moved = worker->SeekTo(request.length) == 1;
        } else {
            session->m_bHeadServed = session->m_bHeadServed.load() == 0 ? 1 : 0;
        }
    }
    if (!moved) AbortStream(session);
    m_nSeekFlag = 1;
    return true;
}

void CFtpClient::DecideHowStreamGoesOn(CFtpClientThread* session, const StreamRequest& request,
                                       bool sameFile) {
    if (request.attempt != 0) {
        RestartForRetry(session, request);
        return;
    }
    bool running;
    {
        plat::ScopedLock lock(session->m_cs);
        running = session->m_nOperation.load() == kOperationStream &&
                  session->StreamWorker() != nullptr;
    }
    if (!running) return;
    if (!sameFile) {
        m_nSeekFlag = 1;
        AbortStream(session);
        return;
    }
    int64_t streamPos = session->m_nStreamPos.load();
    if (streamPos == -1 || streamPos == (int64_t)request.position) return;
    if (session->m_bHeadServed.load() == 0) m_nSeekFlag = 1;
    if (!MoveRunningStream(session, request.position)) AbortStream(session);
}

void CFtpClient::RestartForRetry(CFtpClientThread* session, const StreamRequest& request) {
    int64_t streamPos = session->m_nStreamPos.load();
    if (session->m_bHeadServed.load() == 0 && streamPos != -1 &&
        streamPos != (int64_t)request.position) {
        m_nSeekFlag = 1;
    }
    session->m_bRestart = 1;
    StopSession();
}

// True when the stream now stands at position, or no stream is left to end.
bool CFtpClient::MoveRunningStream(CFtpClientThread* session, uint64_t position) {
    plat::ScopedLock lock(session->m_cs);
    CStreamThread* worker = session->StreamWorker();
    return worker == nullptr || worker->SeekTo(position) == 1;
}

void CFtpClient::AbortStream(CFtpClientThread* session) {
    plat::ResetEvent(m_hAbortDoneEvent);
    plat::SetEvent(m_hAbortEvent);
    session->WaitWhileRunning(m_hAbortDoneEvent);
}

// A stream for another file than the head buffer's starts it anew. No
// stream of the old file runs by now: a read for another file ends it.
void CFtpClient::KeepHeadForFile(CFtpClientThread* session, const char* path) {
    if (strcmp(m_szHeadPath, path) == 0) return;
    session->m_nHeadLength = -1;
    snprintf(m_szHeadPath, sizeof m_szHeadPath, "%s", path);
}

int CFtpClient::Serve(CFtpClientThread* session, const StreamRequest& request,
                      plat::ScopedLock& requestLock) {
    session->m_bHeadServed = 0;
    if (ReadQueued(session, request, false)) return 1;
    if (ShouldWaitForBuffering(session, request)) {
        WaitForBuffering(session);
        if (ReadQueued(session, request, true)) return 1;
    }
    return PendingRead(session, requestLock);
}

// Reads straight from the queue when it holds enough: complete buffers at
// first, anything queued after a buffering wait. Decided and read under
// m_cs, so the worker cannot end in between. False: the worker has to
// serve the read.
bool CFtpClient::ReadQueued(CFtpClientThread* session, const StreamRequest& request,
                            bool afterBuffering) {
    plat::ScopedLock lock(session->m_cs);
    CStreamThread* worker = session->StreamWorker();
    uint32_t delivered = 0;
    if (worker == nullptr ||
        !worker->ReadQueued(request.buffer, request.length, afterBuffering, &delivered)) {
        return false;
    }
    *request.bytesRead = delivered;
    return true;
}

// Pre-buffering is asked for by buffering mode 1; away from the file's ends
// only, unless stream mode 1 asks for it everywhere. Until the file's size
// is known (0) there is no such middle.
bool CFtpClient::ShouldWaitForBuffering(CFtpClientThread* session,
                                        const StreamRequest& request) {
    if (m_nBufferingMode.load() != 1) return false;
    int64_t position = request.position;
    int64_t length = request.length;
    bool inTheMiddle =
        position >= 2 * length && position + length < (int64_t)m_nRemoteFileSize.load();
    if (m_nStreamMode.load() != 1 && !inTheMiddle) return false;
    plat::ScopedLock lock(session->m_cs);
    CStreamThread* worker = session->StreamWorker();
    return worker != nullptr && worker->IsReceiving();
}

// Waits until the queue is full, its data has ended or the stream is over
// (the worker sets the event as it ends). Armed under m_cs, where the
// worker decides to pause; the worker sets a new throttle mark once the
// queue holds ten buffers again.
void CFtpClient::WaitForBuffering(CFtpClientThread* session) {
    PostBufferingNotice(m_hMessageHwnd.load(), 0);
    std::shared_ptr<void> ready;
    {
        plat::ScopedLock lock(session->m_cs);
        CStreamThread* worker = session->StreamWorker();
        if (worker != nullptr) ready = worker->BeginBufferingWait();
    }
    if (ready) session->WaitWhileRunning(ready.get());
    {
        plat::ScopedLock lock(session->m_cs);
        CStreamThread* worker = session->StreamWorker();
        if (worker != nullptr) worker->EndBufferingWait();
    }
    PostBufferingNotice(m_hMessageHwnd.load(), 100);
}

// Hands the read to the stream worker (starting one when none runs) and
// waits for it. m_csRead stays held: the request fields belong to this read
// until it is answered. The result is the worker's: 1 only once it has
// served the read. The done event is reset under m_cs, where workers set
// it: a stream that ends just now, before it could see this read, sets it
// on its way out, and that must not answer the read.
int CFtpClient::PendingRead(CFtpClientThread* session, plat::ScopedLock& requestLock) {
    if (void (*hook)(CFtpClient*) = g_PendingReadHook.load()) hook(this);
    {
        plat::ScopedLock lock(session->m_cs);
        plat::ResetEvent(m_hDoneEvent);
        m_Operation.m_bSucceeded = 0;
        session->m_bReadPending = 1;
        plat::SetEvent(session->m_hStreamWakeEvent);
        session->PostOperation(kOperationStream);
    }
    requestLock.Unlock();
    session->WaitWhileRunning(m_hDoneEvent);
    plat::ScopedLock lock(session->m_cs);
    session->m_bReadPending = 0;
    return m_Operation.m_bSucceeded.load() == 1 ? 1 : 0;
}
