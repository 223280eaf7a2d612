// Construction, the host-window search, lifetime, the setters and the
// session control of the client object.
#include "client/CFtpClient.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "session/CFtpClientThread.h"
#include "session/TlsSetup.h"
#include "session/Notifications.h"
#include "session/ReplyText.h"

namespace {

// The host's control sits inside a browser pane; notifications go to the
// first window of the control, found by walking this chain of classes.
const char* const kHostWindowChain[] = {
    "Shell DocObject View",
    "Internet Explorer_Server",
    "AfxOleControl42",
    "AfxWnd42",
};

const plat::DWORD kStopRecheckMs = 100;

}  // namespace

CFtpClient::CFtpClient(IFtpClient* host)
    : m_hDoneEvent(plat::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_Operation(host, m_hDoneEvent),
      m_nRefs(1) {
    m_bExtraFlag = 1;
    m_hMessageHwnd = 0;
    FindMessageWindow();

    char line[64];
    snprintf(line, sizeof line, " m_hMessageHwnd is %lld >>>>>>>",
             (long long)(intptr_t)m_hMessageHwnd.load());
    plat::OutputDebugStringA(line);
    plat::OutputDebugStringA(" this is release !");

    m_nPort = 0;
    m_nTlsMode = 0;
    m_bSchemeGiven = false;
    m_pSessionThread = nullptr;
    m_hStopEvent = plat::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hStoppedEvent = plat::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hAbortEvent = plat::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hAbortDoneEvent = plat::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_nSeekFlag = 0;
    m_nBufferingMode = 0;
    m_nBlockSize = 262144;
    memset(m_szLocalAddress, 0, sizeof m_szLocalAddress);
    memset(m_szServerAddress, 0, sizeof m_szServerAddress);
    memset(m_szUserName, 0, sizeof m_szUserName);
    memset(m_szPassword, 0, sizeof m_szPassword);
    plat::OutputDebugStringA("CFtpClient::CFtpClient 4.2.\n");
    m_dTransferRate = 0.0;
    m_nStreamMode = 1;
    m_bOverwrite = 0;
    m_bAppend = 0;
    m_nRemoteFileSize = 0;
}

CFtpClient::~CFtpClient() {}

CFtpClient* CFtpClient::FromHost(IFtpClient* host) {
    return dynamic_cast<CFtpClient*>(host);
}

void FtpPostMessage(plat::HWND window, unsigned message, CFtpClient* client, plat::LPARAM lParam) {
    if (message == WM_FTP_ERROR) {
        int32_t none = 0;
        client->m_Operation.m_nSessionError.compare_exchange_strong(none, (int32_t)lParam);
    }
    FtpPostMessage(window, message, client->HostObject(), lParam);
}

void CFtpClient::FindMessageWindow() {
    plat::CWinThread* thread = plat::AfxGetThread();
    plat::HWND window = thread != nullptr ? thread->GetMainWnd() : 0;
    for (const char* className : kHostWindowChain) {
        window = plat::FindWindowExA(window, 0, className, nullptr);
        m_hMessageHwnd = window;
        if (window == 0) return;
    }
}

void CFtpClient::Release() {
    StopSession();
    plat::Sleep(2);
    ReleaseRef();
}

void CFtpClient::AddRef() {
    m_nRefs.fetch_add(1);
}

void CFtpClient::ReleaseRef() {
    if (m_nRefs.fetch_sub(1) != 1) return;
    CloseEvents();
    delete this;
}

void CFtpClient::CloseEvents() {
    plat::CloseHandle(m_hStopEvent);
    plat::CloseHandle(m_hStoppedEvent);
    plat::CloseHandle(m_hAbortEvent);
    plat::CloseHandle(m_hAbortDoneEvent);
    plat::CloseHandle(m_hDoneEvent);
}

CFtpClientThread* CFtpClient::AcquireSession() {
    m_csSession.Lock();
    CFtpClientThread* session = m_pSessionThread.load();
    if (session != nullptr) session->AddRef();
    m_csSession.Unlock();
    return session;
}

void CFtpClient::DetachSession(CFtpClientThread* session) {
    m_csSession.Lock();
    if (m_pSessionThread.load() == session) m_pSessionThread = nullptr;
    m_csSession.Unlock();
}

void CFtpClient::CopyServerAddress(char* out, size_t outSize) {
    m_csServerAddress.Lock();
    snprintf(out, outSize, "%s", m_szServerAddress);
    m_csServerAddress.Unlock();
}

void CFtpClient::CutServerAddressAtBar(char* secondAddressOut, size_t outSize, bool* hadBar) {
    m_csServerAddress.Lock();
    char* bar = strchr(m_szServerAddress, '|');
    *hadBar = bar != nullptr;
    if (bar != nullptr) {
        *bar = '\0';
        snprintf(secondAddressOut, outSize, "%s", bar + 1);
    }
    m_csServerAddress.Unlock();
}

void CFtpClient::SetServerAddress(const char* address) {
    m_csServerAddress.Lock();
    CopyToField(m_szServerAddress, kTextFieldSize, address);
    m_csServerAddress.Unlock();
}

bool CFtpClient::IsBusy() {
    CFtpClientThread* session = AcquireSession();
    if (session == nullptr) return false;
    bool busy = session->m_nOperation.load() != kOperationNone;
    session->ReleaseRef();
    return busy;
}

int CFtpClient::FailureCode(int fallback) const {
    int code = m_Operation.m_nErrorCode.load();
    if (code == 0) code = m_Operation.m_nSessionError.load();
    if (code == 0) code = m_Operation.m_bAnswered.load() ? fallback : FTPE_NOTCONNECT;
    return code;
}

int CFtpClient::GetLastErrorCode() {
    return m_Outcomes.Code();
}

const char* CFtpClient::GetLastErrorText() {
    return m_Outcomes.Text();
}

int CFtpClient::GetSeekFlag() {
    CallOutcome outcome(*this, m_Outcomes);
    outcome.Set(0);
    return m_nSeekFlag;
}

int CFtpClient::SetMessageWindow(HWND hWnd) {
    CallOutcome outcome(*this, m_Outcomes);
    if (IsBusy()) return 0;
    m_hMessageHwnd = hWnd;
    outcome.Set(0);
    return 1;
}

// Under m_csRequest, like the requests that create the session: the fields
// are written before a session reads them, or not at all.
int CFtpClient::SetConnectParameter(const char* serverAddress, const char* userName,
                                    const char* password, unsigned short port,
                                    unsigned char overwrite, unsigned char append,
                                    const char* localAddress, unsigned char extraFlag) {
    // These texts go to the server (or to inet_addr); an oversized text or a
    // line break would corrupt the field or smuggle in another command.
    CallOutcome outcome(*this, m_Outcomes);
    const char* texts[] = {serverAddress, userName, password, localAddress};
    for (const char* text : texts) {
        if (!IsSafeCommandText(text, kTextFieldSize)) return 0;
    }
    plat::ScopedLock lock(m_csRequest);
    if (m_pSessionThread.load() != nullptr) return 0;
    plat::OutputDebugStringA("SetConnectParameter receive ip ");
    plat::OutputDebugStringA(serverAddress);
    plat::OutputDebugStringA(".\n");
    // A scheme is taken off into the mode before the address is used.
    char address[kTextFieldSize];
    CopyToField(address, kTextFieldSize, serverAddress);
    int mode = TakeAddressScheme(address);
    m_bSchemeGiven = mode >= 0;
    m_nTlsMode = m_bSchemeGiven ? mode : RegistryTlsMode();
    SetServerAddress(address);
    CopyToField(m_szUserName, kTextFieldSize, userName);
    CopyToField(m_szPassword, kTextFieldSize, password);
    m_nPort = port;
    m_bAppend = append;
    m_bOverwrite = overwrite;
    CopyToField(m_szLocalAddress, kTextFieldSize, localAddress);
    m_bExtraFlag = extraFlag;
    outcome.Set(0);
    return 1;
}

int CFtpClient::SetBlockSize(unsigned int bytes) {
    CallOutcome outcome(*this, m_Outcomes);
    if (IsBusy()) return 0;
    m_nBlockSize = bytes;
    outcome.Set(0);
    return 1;
}

int CFtpClient::SetStreamMode(int mode) {
    CallOutcome outcome(*this, m_Outcomes);
    if (IsBusy()) return 0;
    m_nStreamMode = mode;
    outcome.Set(0);
    return 1;
}

int CFtpClient::SetBufferingMode(int mode) {
    CallOutcome outcome(*this, m_Outcomes);
    if (IsBusy()) return 0;
    m_nBufferingMode = mode;
    outcome.Set(0);
    return 1;
}

int CFtpClient::SetTransferRate(double megabitsPerSecond) {
    CallOutcome outcome(*this, m_Outcomes);
    // Written so that NaN is refused too.
    if (!(megabitsPerSecond > 0.0 && megabitsPerSecond <= 100.0)) return 0;
    m_dTransferRate = megabitsPerSecond;
    m_Operation.m_dTransferRate = megabitsPerSecond;
    outcome.Set(0);
    return 1;
}

// The stop is asked for once, and only of the session found here. Nothing
// but a new session resets the stop event (a request waits for a session
// that is asked to stop, see ReplaceDepartingSession), so the request
// stands until the session has acted on it; and once the session has let
// go of the client, a new one started by another host thread never sees it.
void CFtpClient::StopSession() {
    CallOutcome outcome(*this, m_Outcomes);
    outcome.Set(0);
    CFtpClientThread* session = AcquireSession();
    if (session == nullptr) return;
    plat::ResetEvent(m_hStoppedEvent);
    AskToStop(session);
    if (session->IsLoggedIn()) {
        // The stopped event may be reset meanwhile by another host thread's
        // StopSession or by a new session; the session's end also counts.
        while (plat::WaitForSingleObject(m_hStoppedEvent, kStopRecheckMs) == WAIT_TIMEOUT &&
               !session->HasEnded()) {
        }
    }
    session->ReleaseRef();
}

// Under m_csSession, where a session lets go of the client and a new one
// takes its place (and has the stop event reset): a stop meant for a session
// that has gone is not set, so it cannot reach its successor.
void CFtpClient::AskToStop(CFtpClientThread* session) {
    m_csSession.Lock();
    if (m_pSessionThread.load() == session) plat::SetEvent(m_hStopEvent);
    m_csSession.Unlock();
}
