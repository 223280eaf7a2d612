// A session object, its thread never started, fed server text through its
// own receive path (OnControlEvent) on a loopback connection, in the pieces
// the input chooses, from the login step the input chooses. What it sends
// back is read by the server side and judged; a reconnect after "421 " is
// followed to the same listener.
#include <string.h>

#include <string>
#include <vector>

#include "IFtpClient.h"
#include "client/CFtpClient.h"
#include "fuzz/targets/CommandLines.h"
#include "fuzz/targets/FuzzInput.h"
#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/LoopbackSockets.h"
#include "session/CFtpClientThread.h"

namespace {

const size_t kMaxPieces = 64;
// Loopback delivers at once; the limit only bounds a broken run.
const int kArrivalLimitMs = 1000;
const int kConnectAttempts = 2;

const char* const kRemotePaths[] = {
    "/a/b/c/file",
    "/file",
    "file",
    "/a/file",
    "/a/b/file",
    "/",
    "//file",
    "/a/b/",
    "/abcdefghijklmnopqrstuvwxyz/abcdefghijklmnopqrstuvwxyz/abcdefghijklmnopqrstuvwxyz/"
    "abcdefghijklmnopqrstuvwxyz/abcdefghijklmnopqrstuvwxyz/abcdefghijklmnopqrstuvwxyz/"
    "abcdefghijklmnopqrstuvwxyz/abcdefghijklmnopqrstuvwxyz/abcdefghijklmnopqrstuvwxyz/file.bin",
};
const size_t kRemotePathCount = sizeof kRemotePaths / sizeof kRemotePaths[0];

enum Ending { kEndOpen, kEndPeerCloses, kEndPeerResets, kEndClosedEvent, kEndingCount };

struct LoginRun {
    CFtpClientThread* session;
    plat::SOCKET listener;
    plat::SOCKET peer;           // the server side of the session's connection
    plat::SOCKET sessionSocket;  // the session's end, as last seen
    std::string commands;        // everything the session sent
};

bool SessionStopped(const LoginRun& run) {
    return run.session->m_bAbort != 0 || !run.session->m_Control.IsOpen();
}

void ReadCommands(LoginRun* run) {
    loopback::ReceiveAvailable(run->peer, &run->commands);
}

// After "421 " a logged-in session connects again to the same address: the
// listener's next connection becomes the server side. (The new socket may
// well reuse the old one's number, so the listener tells, not the handle.)
void FollowReconnect(LoginRun* run) {
    plat::SOCKET next = loopback::AcceptWithin(run->listener, 0);
    if (next == INVALID_SOCKET) return;
    loopback::CloseAbortively(run->peer);
    run->peer = next;
    run->sessionSocket = run->session->m_Control.Socket();
}

// Readable events until the session has read everything that arrived.
void DeliverReadable(LoginRun* run) {
    plat::SOCKET s = run->sessionSocket;
    if (!loopback::WaitReadable(s, kArrivalLimitMs)) return;
    while (!SessionStopped(*run) && run->session->m_Control.Socket() == s &&
           loopback::WaitReadable(s, 0)) {
        run->session->OnControlEvent(kSocketReadable);
    }
}

void Feed(LoginRun* run, const std::vector<std::string>& pieces) {
    for (const std::string& piece : pieces) {
        if (SessionStopped(*run)) return;
        FollowReconnect(run);
        if (run->peer == INVALID_SOCKET) return;
        if (!piece.empty() && loopback::SendAll(run->peer, piece)) DeliverReadable(run);
        ReadCommands(run);
    }
}

void End(LoginRun* run, Ending ending) {
    if (SessionStopped(*run) || run->peer == INVALID_SOCKET) return;
    FollowReconnect(run);
    ReadCommands(run);
    switch (ending) {
    case kEndPeerCloses:
        plat::shutdown(run->peer, SD_SEND);
        DeliverReadable(run);
        break;
    case kEndPeerResets:
        loopback::CloseAbortively(run->peer);
        run->peer = INVALID_SOCKET;
        DeliverReadable(run);
        break;
    case kEndClosedEvent:
        run->session->OnControlEvent(kSocketClosed);
        break;
    default:
        break;
    }
}

bool IsTerminated(const char* field, size_t size) {
    return memchr(field, '\0', size) != nullptr;
}

void CheckSession(const CFtpClientThread& s) {
    FuzzCheck(IsTerminated(s.m_szRecvBuf, sizeof s.m_szRecvBuf), "m_szRecvBuf lost its NUL");
    FuzzCheck(IsTerminated(s.m_szCurrentDir, sizeof s.m_szCurrentDir),
              "m_szCurrentDir lost its NUL");
    FuzzCheck(IsTerminated(s.m_szDirScratch, sizeof s.m_szDirScratch),
              "m_szDirScratch lost its NUL");
    FuzzCheck(IsTerminated(s.m_szFileName, sizeof s.m_szFileName), "m_szFileName lost its NUL");
    FuzzCheck(s.m_nLoginStep.load() <= kLoginDone, "login step out of range");
    FuzzCheck(!s.IsLoggedIn() || s.m_nLoginStep.load() == kLoginDone,
              "logged in before the last login step");
}

// The session starts where the input says, as the run would have left it.
void PrepareSession(CFtpClientThread* session, uint8_t stepChoice, const char* remotePath) {
    uint32_t step = stepChoice % (kLoginDone + 1);
    session->m_nLoginStep = step;
    session->m_bLoggedIn = step == kLoginDone ? 1 : 0;
    session->m_bRestart = (stepChoice & 0x80) != 0 ? 1 : 0;
    strcpy(session->m_pOperation->m_szRemotePath, remotePath);
}

// The session's connection, set up as its run would. A machine busy with
// other fuzzing jobs once missed the accept; a second attempt tells such a
// hitch from a broken harness.
bool Connect(LoginRun* run, uint16_t port) {
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        plat::SOCKET s = loopback::Connect(port);
        if (s == INVALID_SOCKET) continue;
        run->peer = loopback::AcceptWithin(run->listener, kArrivalLimitMs);
        if (run->peer == INVALID_SOCKET) {
            plat::closesocket(s);
            continue;
        }
        int one = 1;
        plat::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof one);
        // The session closes this end itself at times; a reset leaves no TIME_WAIT.
        plat::WinsockLinger reset = {1, 0};
        plat::setsockopt(s, SOL_SOCKET, SO_LINGER, (const char*)&reset, sizeof reset);
        run->session->m_Control.Attach(s);
        run->sessionSocket = s;
        return true;
    }
    return false;
}

// The server side goes first, with a reset, so neither end waits in TIME_WAIT.
void Finish(LoginRun* run) {
    loopback::CloseAbortively(run->peer);
    run->session->CloseControlSocket();
    plat::closesocket(run->listener);
}

}  // namespace

void FuzzLoginReplies(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    uint8_t stepChoice = input.TakeByte();
    const char* remotePath = kRemotePaths[input.TakeChoice(kRemotePathCount)];
    Ending ending = (Ending)input.TakeChoice(kEndingCount);
    std::vector<std::string> pieces = SplitAt(input.TakeRest(), kPieceEnd, kMaxPieces);

    uint16_t port = 0;
    LoginRun run = {nullptr, loopback::Listen(&port), INVALID_SOCKET, INVALID_SOCKET, ""};
    FuzzCheck(run.listener != INVALID_SOCKET, "no loopback listener");
    if (run.listener == INVALID_SOCKET) return;
    CFtpClient* client = CFtpClient::FromHost(CreateFtpClientInstance(0));
    client->SetConnectParameter("127.0.0.1", "fuzzuser", "fuzzpass", port, 0, 0, "", 1);
    run.session = new CFtpClientThread(client, &client->m_Operation);
    PrepareSession(run.session, stepChoice, remotePath);
    bool connected = Connect(&run, port);
    FuzzCheck(connected, "no loopback connection");
    if (connected) {
        Feed(&run, pieces);
        End(&run, ending);
        ReadCommands(&run);
        // Each command leaves in one piece, so none is read here without
        // its line end, even from a socket that holds back small sends.
        CheckCommandLines(run.commands, {"USER ", "PASS ", "TYPE I", "CWD "}, false);
        CheckSession(*run.session);
    }
    Finish(&run);
    run.session->ReleaseRef();
    // The client never knew this session, so Release would only add its
    // 2 ms pause before dropping the reference.
    client->ReleaseRef();
}
