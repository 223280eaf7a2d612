// The control connection while no worker runs: reading replies, the login
// sequence (greeting, on a protected session "AUTH TLS" and its handshake,
// USER, PASS, on a protected session "PBSZ 0" and "PROT P", TYPE I, one or
// two CWD steps) and the silent reconnect after the server announces the
// end of its service.
#include <stdio.h>
#include <string.h>

#include "client/CFtpClient.h"
#include "session/CFtpClientThread.h"
#include "session/NetworkPrimitives.h"
#include "session/RemotePath.h"
#include "session/ReplyText.h"
#include "session/TlsSetup.h"

void CFtpClientThread::OnControlEvent(int event) {
    switch (event & 0xFFFF) {
    case kSocketClosed:
        CloseControlSocket();
        m_bAbort = 1;
        break;
    case kSocketReadable:
        OnControlReadable();
        break;
    default:
        break;
    }
}

void CFtpClientThread::OnControlReadable() {
    int received = m_Control.Receive(m_szRecvBuf, kControlReceiveSize);
    if (received == CFtpConnection::kNothingYet) return;
    if (received <= 0) {
        CloseControlSocket();
        m_bAbort = 1;
        return;
    }
    m_szRecvBuf[received] = '\0';
    m_Replies.Append(m_szRecvBuf, (size_t)received);
    FtpReply reply;
    while (!m_bAbort && m_Control.IsOpen() && m_Replies.Next(&reply)) {
        if (IsLoggedIn()) {
            OnLoggedInReply(reply);
        } else {
            OnLoginReply(reply);
        }
    }
}

// Between operations the server speaks only to end its service.
void CFtpClientThread::OnLoggedInReply(const FtpReply& reply) {
    if (reply.code == 421) ReconnectAfterServiceEnd();
}

void CFtpClientThread::ReconnectAfterServiceEnd() {
    m_nLoginStep = kLoginGreeting;
    m_bLoggedIn = 0;
    CloseControlSocket();
    m_Replies.Clear();
    NoteActivity();
    char serverAddress[kTextFieldSize];
    m_pClient->CopyServerAddress(serverAddress, sizeof serverAddress);
    if (!OpenControl(serverAddress, nullptr, nullptr) ||
        (m_nTlsMode == kTlsImplicit && !ProtectControl())) {
        m_bAbort = 1;
    }
}

// Each step waits for its reply's final line; preliminary replies are
// passed over. A refusal of USER or TYPE ends the login at once (the step
// could only wait out the login limit), "421 " there as an announced end of
// service; a reply to PASS other than "230 " and "530 " is passed over, and
// every reply to CWD other than "250 " fails it. The greeting step waits
// for "220 " alone.
void CFtpClientThread::OnLoginReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    switch (m_nLoginStep) {
    case kLoginGreeting:
        if (reply.code != 220) return;
        // Without a scheme in the address, only servers that name themselves
        // so get the configured account; every other server is logged in to
        // as "ftp". A host that gives a scheme knows what it asks for.
        if (!m_pClient->m_bSchemeGiven && strstr(reply.text, "Microsoft") == nullptr) {
            strcpy(m_pClient->m_szUserName, "ftp");
        }
        if (m_nTlsMode == kTlsExplicit && !m_Control.IsProtected()) {
            SendCommand("AUTH TLS");
            m_nLoginStep = kLoginAuth;
            return;
        }
        SendUser();
        return;
    case kLoginAuth:
        OnAuthReply(reply);
        return;
    case kLoginUser:
        if (reply.code == 331) {
            SendPassword();
        } else if (reply.code == 230) {
            // Servers that need no password log in at USER.
            AfterLogin();
        } else {
            FailStep(reply);
        }
        return;
    case kLoginPassword:
        if (reply.code == 230) {
            AfterLogin();
        } else if (reply.code == 530) {
            FailLogin(FTPE_LOGINFAIL);
        }
        return;
    case kLoginPbsz:
        if (reply.code == 200) {
            SendCommand("PROT P");
            m_nLoginStep = kLoginProt;
        } else {
            FailStep(reply);
        }
        return;
    case kLoginProt:
        if (reply.code == 200) {
            m_nLoginStep = kLoginType;
            SendCommand("TYPE I");
        } else {
            FailStep(reply);
        }
        return;
    case kLoginType:
        if (reply.code == 200) {
            FirstDirectoryStep();
            m_nLoginStep = kLoginCwd;
        } else {
            FailStep(reply);
        }
        return;
    case kLoginCwd:
        if (reply.code == 250) {
            SecondDirectoryStepOrDone();
        } else {
            m_bAbort = 1;
            PostToHost(FTPE_BADREPLY);
        }
        return;
    default:
        return;
    }
}

// "234 " and then the handshake; any other final reply is a refusal, which
// ends the login (FTPE_LOGINFAIL) rather than going on in clear. Text the
// server sent after "234 " and before the handshake would be read as its
// own after it: it is refused, not read.
void CFtpClientThread::OnAuthReply(const FtpReply& reply) {
    if (reply.IsPreliminary()) return;
    if (reply.code != 234) {
        plat::OutputDebugStringA("TLS refused: the server did not accept \"AUTH TLS\".\n");
        m_pOperation->NoteReason("the server refused TLS");
        FailLogin(FTPE_LOGINFAIL);
        return;
    }
    if (m_Replies.WaitingCount() > 0 || m_Replies.IsMidReply() || m_Control.HasPendingInput()) {
        plat::OutputDebugStringA("TLS refused: plain text followed \"234\".\n");
        m_pOperation->NoteReason("the server sent plain text after accepting TLS");
        FailLogin(FTPE_NOTCONNECT);
        return;
    }
    if (!ProtectControl()) {
        FailLogin(FTPE_NOTCONNECT);
        return;
    }
    m_Replies.Clear();
    SendUser();
}

void CFtpClientThread::SendUser() {
    SendFormatted("USER %s", m_pClient->m_szUserName);
    m_nLoginStep = kLoginUser;
}

// The password never goes out on a session that asks for TLS unless the
// control connection is protected (verified by its handshake).
void CFtpClientThread::SendPassword() {
    if (m_nTlsMode != kTlsOff && !m_Control.IsProtected()) {
        FailLogin(FTPE_NOTCONNECT);
        return;
    }
    SendFormatted("PASS %s", m_pClient->m_szPassword);
    m_nLoginStep = kLoginPassword;
}

// A protected session asks for protected data connections before anything
// else: every listing and transfer goes over TLS.
void CFtpClientThread::AfterLogin() {
    if (m_Control.IsProtected()) {
        SendCommand("PBSZ 0");
        m_nLoginStep = kLoginPbsz;
        return;
    }
    m_nLoginStep = kLoginType;
    SendCommand("TYPE I");
}

// USER or TYPE answered with neither of its awaited codes.
void CFtpClientThread::FailStep(const FtpReply& reply) {
    if (reply.code == 421) {
        FailLogin(FTPE_NOTCONNECT);
    } else if (reply.code == 530) {
        FailLogin(FTPE_LOGINFAIL);
    } else if (reply.IsNegative()) {
        FailLogin(FTPE_BADREPLY);
    }
}

// A login that cannot go on answers the request that started it.
void CFtpClientThread::FailLogin(int errorCode) {
    PostToHost(errorCode);
    m_bAbort = 1;
    if (m_bRestart) {
        AnswerRequest();
    } else {
        EndForClient();
    }
}

void CFtpClientThread::SendFormatted(const char* format, const char* argument) {
    char command[2 * kTextFieldSize];
    snprintf(command, sizeof command, format, argument);
    SendCommand(command);
}

// The operation's directory; with no operation handed over (a silent
// re-login after "421 "), the directory the session was in, since a host
// thread may be writing the next operation's path just now.
void CFtpClientThread::FirstDirectoryStep() {
    RemotePathParts parts;
    if (m_nOperation.load() != kOperationNone) {
        SplitRemotePath(m_pOperation->m_szRemotePath, &parts);
    } else {
        snprintf(parts.directory, sizeof parts.directory, "%s",
                 m_szCurrentDir[0] != '\0' ? m_szCurrentDir : "/");
        parts.fileName[0] = '\0';
    }
    strcpy(m_szFileName, parts.fileName);
    if (strcmp(parts.directory, "/") == 0) {
        SendCommand("CWD /");
        strcpy(m_szCurrentDir, "/");
        return;
    }
    strcpy(m_szCurrentDir, parts.directory);
    strcpy(m_szDirScratch, m_szCurrentDir);
    int split = FindCwdSplit(m_szCurrentDir);
    if (split >= 0) {
        // Two steps: the parent directory first, then the last component.
        m_nCwdSplit = split;
        m_szDirScratch[split] = '\0';
    }
    SendFormatted("CWD %s", m_szDirScratch);
}

void CFtpClientThread::SecondDirectoryStepOrDone() {
    if (m_nCwdSplit == -1) {
        m_bLoggedIn = 1;
        m_nLoginStep = kLoginDone;
        return;
    }
    strcpy(m_szDirScratch, m_szCurrentDir + m_nCwdSplit + 1);
    SendFormatted("CWD %s", m_szDirScratch);
    m_nCwdSplit = -1;
}
