// The control connection while no worker runs: reading replies, the login
// sequence (greeting, USER, PASS, TYPE I, one or two CWD steps) and the
// silent reconnect after the server announces the end of its service.
#include <stdio.h>
#include <string.h>

#include "client/CFtpClient.h"
#include "session/CFtpClientThread.h"
#include "session/NetworkPrimitives.h"
#include "session/RemotePath.h"
#include "session/ReplyText.h"

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
    m_Control.Attach(ConnectToServer(serverAddress, m_pClient->m_nPort, nullptr, nullptr, 0),
                     serverAddress);
    if (!m_Control.IsOpen()) m_bAbort = 1;
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
        // Only servers that name themselves so get the configured account;
        // every other server is logged in to as "ftp".
        if (strstr(reply.text, "Microsoft") == nullptr) strcpy(m_pClient->m_szUserName, "ftp");
        SendFormatted("USER %s", m_pClient->m_szUserName);
        m_nLoginStep = kLoginUser;
        return;
    case kLoginUser:
        if (reply.code == 331) {
            SendFormatted("PASS %s", m_pClient->m_szPassword);
            m_nLoginStep = kLoginPassword;
        } else if (reply.code == 230) {
            // Servers that need no password log in at USER.
            m_nLoginStep = kLoginType;
            SendCommand("TYPE I");
        } else {
            FailStep(reply);
        }
        return;
    case kLoginPassword:
        if (reply.code == 230) {
            m_nLoginStep = kLoginType;
            SendCommand("TYPE I");
        } else if (reply.code == 530) {
            FailLogin(FTPE_LOGINFAIL);
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
