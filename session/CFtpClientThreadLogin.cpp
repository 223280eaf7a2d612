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

void CFtpClientThread::OnControlEvent(plat::SOCKET /*socket*/, int event) {
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
    int received = plat::recv(m_hSocket, m_szRecvBuf, kControlReceiveSize, 0);
    if (received <= 0) {
        CloseControlSocket();
        m_bAbort = 1;
        return;
    }
    m_szRecvBuf[received] = '\0';
    AppendReplyPiece(m_szReply, sizeof m_szReply, m_szRecvBuf, (size_t)received);
    if (IsLoggedIn()) {
        OnLoggedInReply();
    } else {
        OnLoginReply();
    }
    // A reply is judged once its line feed is in; text without one waits
    // for the rest of the reply.
    if (HasLineFeed(m_szReply)) m_szReply[0] = '\0';
}

void CFtpClientThread::OnLoggedInReply() {
    if (HasReplyCode(m_szReply, "421 ") && HasLineFeed(m_szReply)) ReconnectAfterServiceEnd();
}

void CFtpClientThread::ReconnectAfterServiceEnd() {
    m_nLoginStep = kLoginGreeting;
    m_bLoggedIn = 0;
    CloseControlSocket();
    char serverAddress[kTextFieldSize];
    m_pClient->CopyServerAddress(serverAddress, sizeof serverAddress);
    m_hSocket = ConnectToServer(serverAddress, m_pClient->m_nPort, nullptr, nullptr, 0);
    if (m_hSocket == INVALID_SOCKET) m_bAbort = 1;
}

void CFtpClientThread::OnLoginReply() {
    bool complete = HasLineFeed(m_szReply);
    switch (m_nLoginStep) {
    case kLoginGreeting:
        if (complete && HasReplyCode(m_szReply, "220 ")) {
            // Only servers that name themselves so get the configured
            // account; every other server is logged in to as "ftp".
            if (strstr(m_szReply, "Microsoft") == nullptr) strcpy(m_pClient->m_szUserName, "ftp");
            SendFormatted("USER %s", m_pClient->m_szUserName);
            m_szReply[0] = '\0';
            m_nLoginStep = kLoginUser;
        }
        return;
    case kLoginUser:
        if (complete && HasReplyCode(m_szReply, "331 ")) {
            SendFormatted("PASS %s", m_pClient->m_szPassword);
            m_szReply[0] = '\0';
            m_nLoginStep = kLoginPassword;
            return;
        }
        // Servers that need no password log in at USER.
        if (complete && HasReplyCode(m_szReply, "230 ")) {
            m_szReply[0] = '\0';
            m_nLoginStep = kLoginType;
            SendCommand("TYPE I");
            return;
        }
        break;
    case kLoginPassword:
        if (!complete) break;
        if (HasReplyCode(m_szReply, "230 ")) {
            m_szReply[0] = '\0';
            m_nLoginStep = kLoginType;
            SendCommand("TYPE I");
        } else if (HasReplyCode(m_szReply, "530 ")) {
            m_bAbort = 1;
            PostToHost(FTPE_LOGINFAIL);
        }
        return;
    case kLoginType:
        if (complete && HasReplyCode(m_szReply, "200 ")) {
            FirstDirectoryStep();
            m_szReply[0] = '\0';
            m_nLoginStep = kLoginCwd;
            return;
        }
        break;
    case kLoginCwd:
        if (!complete) break;
        if (HasReplyCode(m_szReply, "250 ")) {
            SecondDirectoryStepOrDone();
        } else {
            m_bAbort = 1;
            PostToHost(FTPE_BADREPLY);
        }
        return;
    default:
        return;
    }
    // Still waiting at USER or TYPE, or for the line feed at PASS or CWD:
    // an announced end of service ends the login and answers the request.
    if (HasReplyCode(m_szReply, "421 ")) {
        PostToHost(FTPE_NOTCONNECT);
        m_bSucceeded = 0;
        m_nValue = 0;
        m_bAbort = 1;
        if (m_bRestart) {
            plat::SetEvent(m_pClient->m_hDoneEvent);
        } else {
            EndForClient();
        }
    }
}

void CFtpClientThread::SendFormatted(const char* format, const char* argument) {
    char command[2 * kTextFieldSize];
    snprintf(command, sizeof command, format, argument);
    SendCommand(command);
}

void CFtpClientThread::FirstDirectoryStep() {
    RemotePathParts parts;
    SplitRemotePath(m_szRemotePath, &parts);
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
        m_szReply[0] = '\0';
        m_nLoginStep = kLoginDone;
        return;
    }
    strcpy(m_szDirScratch, m_szCurrentDir + m_nCwdSplit + 1);
    SendFormatted("CWD %s", m_szDirScratch);
    m_nCwdSplit = -1;
    m_szReply[0] = '\0';
}
