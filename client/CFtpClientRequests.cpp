// The six file operations: each checks its arguments, fills the operation
// record and hands it over, setting the session's operation code last.
// Upload and download return at once; the other four wait for the result.
#include <new>
#include <stdio.h>
#include <string.h>

#include <string>

#include "client/CFtpClient.h"
#include "platform/LocalFile.h"
#include "session/CFtpClientThread.h"
#include "session/ReplyText.h"

namespace {

const size_t kFileErrorTextSize = 1024;

bool IsEmpty(const char* text) {
    return text == nullptr || text[0] == '\0';
}

// The part of a local path after its last separator (the whole path when
// it has none).
const char* LocalFileName(const char* localPath) {
    const char* name = localPath;
    for (const char* p = localPath; *p != '\0'; ++p) {
        if (plat::IsLocalPathSeparator(*p)) name = p + 1;
    }
    return name;
}

const char* RemoteFileName(const char* remotePath) {
    const char* slash = strrchr(remotePath, '/');
    return slash != nullptr ? slash + 1 : remotePath;
}

// The file must exist and open for reading while others are kept from
// writing it; it is closed again at once.
bool CanReadLocalFile(const char* localPath) {
    if (!plat::CFile::GetStatus(localPath)) return false;
    plat::CFile file;
    char errorText[kFileErrorTextSize];
    if (!file.Open(localPath, plat::CFile::modeRead | plat::CFile::shareDenyWrite |
                                  plat::CFile::typeBinary,
                   errorText, sizeof errorText)) {
        return false;
    }
    file.Close();
    return true;
}

// Creates the file, or empties it when it exists.
bool CreateEmptyLocalFile(const char* localPath) {
    plat::CFile file;
    char errorText[kFileErrorTextSize];
    if (!file.Open(localPath, plat::CFile::modeCreate | plat::CFile::modeWrite |
                                  plat::CFile::shareExclusive | plat::CFile::typeBinary,
                   errorText, sizeof errorText)) {
        return false;
    }
    file.Close();
    return true;
}

}  // namespace

// Returns the session (existing and idle, or new and not yet started) with
// a reference for the caller, after resetting the done event; null when the
// session is busy. Called with m_csRequest held, so no other request creates
// one meanwhile. The previous operation's worker sets the done event while
// it ends holding m_cs, so the busy test and the reset of that event are one
// step against it: a late set cannot wake this request.
//
// A session that is going away, for instance asked to stop by another host
// thread, is not handed the request: it is waited for, and the request goes
// to a new session. Its stop request is left as it is: reset here, it would
// be lost, and the session would run the request instead of stopping.
CFtpClientThread* CFtpClient::SessionForRequest(bool synchronous) {
    CFtpClientThread* session = ReplaceDepartingSession(AcquireSession());
    if (session == nullptr) {
        if (synchronous) plat::ResetEvent(m_hDoneEvent);
        return CreateSession();
    }
    session->m_cs.Lock();
    bool busy = session->m_nOperation.load() != kOperationNone;
    if (!busy && synchronous) plat::ResetEvent(m_hDoneEvent);
    session->m_cs.Unlock();
    if (busy) {
        session->ReleaseRef();
        return nullptr;
    }
    return session;
}

// A new session starts without the stop requests of the one before it. The
// events are reset under m_csSession, together with the change of session,
// so a StopSession still busy with the old session cannot set them after.
CFtpClientThread* CFtpClient::CreateSession() {
    CFtpClientThread* session = new (std::nothrow) CFtpClientThread(this, &m_Operation);
    if (session == nullptr) return nullptr;
    session->AddRef();  // the caller's reference; the run holds the other
    m_csSession.Lock();
    plat::ResetEvent(m_hStopEvent);
    plat::ResetEvent(m_hStoppedEvent);
    m_pSessionThread = session;
    m_csSession.Unlock();
    return session;
}

// It has given up its control connection, or it is ending, or a stop request
// is on its way to it (it sees one within a poll round, and then ends or
// restarts): it will not serve another request as it is.
bool CFtpClient::IsDeparting(CFtpClientThread* session) {
    if (session->m_bEnding.load()) return true;
    if (session->IsLoggedIn() && !session->m_Control.IsOpen()) return true;
    return plat::WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0;
}

CFtpClientThread* CFtpClient::ReplaceDepartingSession(CFtpClientThread* session) {
    if (session == nullptr || !IsDeparting(session)) return session;
    while (m_pSessionThread.load() == session && IsDeparting(session)) {
        plat::Sleep(1);
    }
    session->ReleaseRef();
    return AcquireSession();
}

namespace {

// Sets the operation code, the last write of a hand-over, and starts the
// session thread when the session is new.
bool HandOver(CFtpClientThread* session, int operation) {
    session->PostOperation(operation);
    if (session->IsStarted()) return true;
    return session->Start();
}

}  // namespace

void CFtpClient::BeginOperation(int operation) {
    m_Operation.Begin(operation, m_hMessageHwnd.load());
    m_Operation.m_bOverwrite = m_bOverwrite;
    m_Operation.m_bAppend = m_bAppend;
    m_Operation.m_nBlockSize = m_nBlockSize.load();
    m_Operation.m_nStreamMode = m_nStreamMode.load();
}

void CFtpClient::WaitForResult(CFtpClientThread* session) {
    session->WaitWhileRunning(m_hDoneEvent);
}

// Upload and download: an idle session takes the record and the call
// returns at once. lock holds m_csRequest and is let go here.
bool CFtpClient::StartTransfer(plat::ScopedLock& lock, int operation, const char* localPath,
                               const char* remotePath) {
    CFtpClientThread* session = SessionForRequest(false);
    if (session == nullptr) return false;
    BeginOperation(operation);
    CopyToField(m_Operation.m_szLocalPath, kTextFieldSize, localPath);
    CopyToField(m_Operation.m_szRemotePath, kTextFieldSize, remotePath);
    bool started = HandOver(session, operation);
    lock.Unlock();  // before the session reference goes: it may hold the client's last
    session->ReleaseRef();
    return started;
}

// The outcome covers the start; the transfer's own comes as a message.
int CFtpClient::SendFile(const char* localPath, const char* remoteName) {
    CallOutcome outcome(*this, m_Outcomes);
    if (!IsSafeCommandText(localPath, kTextFieldSize)) return 0;
    if (remoteName != nullptr && !IsSafeCommandText(remoteName, kTextFieldSize)) return 0;
    char serverAddress[kTextFieldSize];
    CopyServerAddress(serverAddress, sizeof serverAddress);
    char line[3 * kTextFieldSize + 32];
    snprintf(line, sizeof line, "Send file %s to %s at %s.\n", localPath,
             remoteName != nullptr ? remoteName : "(null)", serverAddress);
    plat::OutputDebugStringA(line);

    if (!CanReadLocalFile(localPath)) {
        outcome.Set(FTPE_FILEERROR);
        return 0;
    }
    plat::ScopedLock lock(m_csRequest);
    if (IsBusy()) return 0;
    const char* remote = IsEmpty(remoteName) ? LocalFileName(localPath) : remoteName;
    if (remote[0] == '\0') return 0;

    if (!StartTransfer(lock, kOperationUpload, localPath, remote)) return 0;
    outcome.Set(0);
    return 1;
}

int CFtpClient::ReceiveFile(const char* remotePath, const char* localPath) {
    CallOutcome outcome(*this, m_Outcomes);
    if (!IsSafeCommandText(remotePath, kTextFieldSize) || remotePath[0] == '\0') return 0;
    if (localPath != nullptr && !IsSafeCommandText(localPath, kTextFieldSize)) return 0;
    plat::ScopedLock lock(m_csRequest);
    if (IsBusy()) return 0;
    const char* local = IsEmpty(localPath) ? RemoteFileName(remotePath) : localPath;
    if (local[0] == '\0') return 0;
    if (!CreateEmptyLocalFile(local)) {
        outcome.Set(FTPE_FILEERROR);
        return 0;
    }
    if (!StartTransfer(lock, kOperationDownload, local, remotePath)) return 0;
    outcome.Set(0);
    return 1;
}

// A synchronous operation on path: an idle session takes the record, filled
// by BeginOperation, path and makeDirectory, and the call waits for its end.
CFtpClient::RequestEnd CFtpClient::RunAndWait(int operation, const char* path,
                                              uint8_t makeDirectory) {
    plat::ScopedLock lock(m_csRequest);
    if (IsBusy()) return RequestEnd::kRefused;
    CFtpClientThread* session = SessionForRequest(true);
    if (session == nullptr) return RequestEnd::kRefused;
    BeginOperation(operation);
    CopyToField(m_Operation.m_szRemotePath, kTextFieldSize, path);
    m_Operation.m_bMakeDir = makeDirectory;
    bool handedOver = HandOver(session, operation);
    lock.Unlock();
    if (handedOver) WaitForResult(session);
    session->ReleaseRef();
    return handedOver ? RequestEnd::kFinished : RequestEnd::kNotStarted;
}

// A refused request keeps the outcome's FTPE_REFUSED.
void CFtpClient::NoteEnd(CallOutcome& outcome, RequestEnd end, bool succeeded) const {
    if (end == RequestEnd::kNotStarted) outcome.Set(FTPE_NOTCONNECT);
    if (end != RequestEnd::kFinished) return;
    outcome.Set(succeeded ? 0 : FailureCode(FTPE_BADREPLY), m_Operation.m_szErrorText);
}

int CFtpClient::DeleteRemoteFile(const char* remotePath) {
    CallOutcome outcome(*this, m_Outcomes);
    if (!IsSafeCommandText(remotePath, kTextFieldSize) || remotePath[0] == '\0') return 0;
    RequestEnd end = RunAndWait(kOperationDelete, remotePath);
    bool deleted = end == RequestEnd::kFinished && m_Operation.Succeeded();
    NoteEnd(outcome, end, deleted);
    return deleted ? 1 : 0;
}

// The worker writes the size, or -1; an operation that ends without a
// worker (none could start) leaves the -1 of a new record.
bool CFtpClient::QuerySize(const char* remotePath, int64_t* size, CallOutcome& outcome) {
    *size = -1;
    if (!IsSafeCommandText(remotePath, kTextFieldSize) || remotePath[0] == '\0') return false;
    RequestEnd end = RunAndWait(kOperationSize, remotePath);
    bool answered = end == RequestEnd::kFinished && m_Operation.Succeeded();
    if (answered) *size = m_Operation.m_nFileSize.load();
    if (*size >= 0) m_nRemoteFileSize = *size;
    NoteEnd(outcome, end, answered);
    return answered;
}

// 0 for refused arguments or a busy object, -1 for no size.
int CFtpClient::GetRemoteFileSize(const char* remotePath) {
    CallOutcome outcome(*this, m_Outcomes);
    if (!IsSafeCommandText(remotePath, kTextFieldSize) || remotePath[0] == '\0') return 0;
    int64_t size = -1;
    QuerySize(remotePath, &size, outcome);
    if (size < 0) return outcome.Code() == FTPE_REFUSED ? 0 : -1;
    // A size beyond the int returned is given as the largest int, which is
    // what a host that parsed the number itself would see.
    return size > INT32_MAX ? INT32_MAX : (int)size;
}

int CFtpClient::GetRemoteFileSize64(const char* remotePath, long long* size) {
    CallOutcome outcome(*this, m_Outcomes);
    if (size == nullptr) return 0;
    int64_t found = -1;
    QuerySize(remotePath, &found, outcome);
    *size = found;
    return found >= 0 ? 1 : 0;
}

// composed receives "directory/pattern", the path the worker lists.
bool CFtpClient::RunListing(const char* directory, const char* pattern, char* composed,
                            size_t composedSize) {
    if (!IsSafeCommandText(directory, kTextFieldSize) || directory[0] != '/') return false;
    if (pattern != nullptr && !IsSafeCommandText(pattern, kTextFieldSize)) return false;
    size_t length = strlen(directory);
    snprintf(composed, composedSize, "%s%s%s", directory,
             directory[length - 1] == '/' ? "" : "/", pattern != nullptr ? pattern : "*.*");
    if (strlen(composed) >= kTextFieldSize) return false;

    return RunAndWait(kOperationList, composed) != RequestEnd::kRefused;
}

char* CFtpClient::ListDirectory(const char* directory, const char* pattern) {
    CallOutcome outcome(*this, m_Outcomes);
    char composed[2 * kTextFieldSize + 2];
    if (!RunListing(directory, pattern, composed, sizeof composed)) return nullptr;
    // This slot's text is the first 259 characters, which a listing too
    // long to keep whole still has.
    outcome.Set(m_Operation.Succeeded() ? 0 : FailureCode(FTPE_BADREPLY),
                m_Operation.m_szErrorText);
    m_Operation.TakeListing();
    return m_Operation.m_szListResult;
}

// A buffer too small keeps the listing for the calling thread: its next
// call with the same directory and pattern takes it instead of asking the
// server again.
int CFtpClient::ListDirectoryAll(const char* directory, const char* pattern, char* buffer,
                                 unsigned int bufferSize, unsigned int* needed) {
    CallOutcome outcome(*this, m_Outcomes);
    if (needed != nullptr) *needed = 0;
    if (buffer == nullptr && bufferSize != 0) return 0;
    char composed[2 * kTextFieldSize + 2];
    std::string key;
    std::string text;
    bool kept = false;
    if (directory != nullptr) {
        key = std::string(directory) + '\n' + (pattern != nullptr ? pattern : "*.*");
        kept = m_Outcomes.TakeListing(key, &text);
    }
    if (!kept) {
        if (!RunListing(directory, pattern, composed, sizeof composed)) return 0;
        text = m_Operation.TakeListing();
        bool listed = m_Operation.Succeeded() && m_Operation.m_nErrorCode.load() == 0;
        if (!listed) {
            outcome.Set(FailureCode(FTPE_BADREPLY), m_Operation.m_szErrorText);
            return 0;
        }
    }
    outcome.Set(0);
    // The listing is below 64 MiB (the worker keeps no more), so its length
    // and NUL fit an unsigned int.
    unsigned int size = (unsigned int)text.size() + 1;
    if (needed != nullptr) *needed = size;
    if (size > bufferSize) {
        outcome.KeepListing(std::move(key), std::move(text));
        return 0;
    }
    memcpy(buffer, text.c_str(), size);
    return 1;
}

int CFtpClient::CreateOrRemoveDirectory(const char* path, unsigned char create) {
    CallOutcome outcome(*this, m_Outcomes);
    if (!IsSafeCommandText(path, kTextFieldSize)) return 0;
    size_t length = strlen(path);
    if (length < 2 || path[0] != '/' || path[length - 1] == '/') return 0;
    RequestEnd end = RunAndWait(kOperationDirectory, path, create);
    int result = end == RequestEnd::kFinished && m_Operation.m_bAnswered.load()
                     ? m_Operation.m_nDirectoryResult.load()
                     : 0;
    NoteEnd(outcome, end, result == 1);
    return result;
}
