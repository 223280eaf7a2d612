#include "fuzz/targets/FakeFtpPeer.h"

#include <stdio.h>

#include <chrono>

#include "fuzz/targets/LoopbackSockets.h"

namespace {

// Longer than any pause of the library's polling loops (4 ms), so a quiet
// stretch means the client is waiting for something.
const int kQuietMs = 15;
// Past the longest limit the library counts on the platform clock.
const int64_t kClockStepMs = 150000;
const plat::DWORD kPieceGapMs = 2;
const plat::DWORD kLoopPauseMs = 1;

const char kGreeting[] = "220 fuzz peer ready\r\n";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

FakeFtpPeer::FakeFtpPeer(const PeerScript& script)
    : m_Script(script),
      m_nClockOffsetAtStart(plat::GetClockOffsetForTesting()),
      m_hControlListener(INVALID_SOCKET),
      m_hDataListener(INVALID_SOCKET),
      m_nControlPort(0),
      m_hControl(INVALID_SOCKET),
      m_bLoggingIn(true),
      m_nNextAnswer(0),
      m_nDataBytesOffered(0),
      m_bStopping(false) {}

FakeFtpPeer::~FakeFtpPeer() {
    Stop();
}

bool FakeFtpPeer::Start() {
    uint16_t dataPort = 0;
    m_hControlListener = loopback::Listen(&m_nControlPort);
    m_hDataListener = loopback::Listen(&dataPort);
    if (m_hControlListener == INVALID_SOCKET || m_hDataListener == INVALID_SOCKET) return false;
    char text[64];
    snprintf(text, sizeof text, "(127,0,0,1,%u,%u)", dataPort >> 8, dataPort & 0xFFu);
    m_PassiveText = text;
    m_Thread = std::thread(&FakeFtpPeer::Serve, this);
    return true;
}

void FakeFtpPeer::Stop() {
    m_bStopping = true;
    if (m_Thread.joinable()) m_Thread.join();
    // Resets: thousands of runs must not leave ports in TIME_WAIT.
    loopback::CloseAbortively(m_hControl);
    for (plat::SOCKET s : m_DataSockets) loopback::CloseAbortively(s);
    m_DataSockets.clear();
    m_hControl = INVALID_SOCKET;
    if (m_hControlListener != INVALID_SOCKET) plat::closesocket(m_hControlListener);
    if (m_hDataListener != INVALID_SOCKET) plat::closesocket(m_hDataListener);
    m_hControlListener = INVALID_SOCKET;
    m_hDataListener = INVALID_SOCKET;
    plat::SetClockOffsetForTesting(m_nClockOffsetAtStart);
}

void FakeFtpPeer::Serve() {
    auto quietSince = std::chrono::steady_clock::now();
    while (!m_bStopping) {
        if (ServeOnce()) {
            quietSince = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - quietSince >
                   std::chrono::milliseconds(kQuietMs)) {
            MoveClockPastLimits();
            quietSince = std::chrono::steady_clock::now();
        }
        loopback::WaitReadable(m_hControl != INVALID_SOCKET ? m_hControl : m_hControlListener,
                               kLoopPauseMs);
    }
}

// One round over every socket; true when the client did something.
bool FakeFtpPeer::ServeOnce() {
    bool active = AcceptControl();
    active |= AcceptData();
    active |= ReadData();
    active |= ReadControl();
    return active;
}

// A new control connection (the first, or a reconnect) replaces the old one
// and starts with the greeting and the login.
bool FakeFtpPeer::AcceptControl() {
    plat::SOCKET s = loopback::AcceptWithin(m_hControlListener, 0);
    if (s == INVALID_SOCKET) return false;
    loopback::CloseAbortively(m_hControl);
    m_hControl = s;
    m_Pending.clear();
    m_bLoggingIn = true;
    loopback::SendAll(m_hControl, kGreeting);
    return true;
}

bool FakeFtpPeer::AcceptData() {
    if (m_Script.dataPlan == DataPlan::kNeverAccept) return false;
    plat::SOCKET s = loopback::AcceptWithin(m_hDataListener, 0);
    if (s == INVALID_SOCKET) return false;
    if (m_Script.dataPlan != DataPlan::kCloseAtOnce) {
        m_nDataBytesOffered += m_Script.data.size();
        loopback::SendAll(s, m_Script.data);
    }
    if (m_Script.dataPlan != DataPlan::kSendAndHold) plat::shutdown(s, SD_SEND);
    m_DataSockets.push_back(s);
    return true;
}

// What an upload sends is read and dropped; a data connection the client
// closed is closed here too.
bool FakeFtpPeer::ReadData() {
    bool active = false;
    for (plat::SOCKET& s : m_DataSockets) {
        if (s == INVALID_SOCKET || !loopback::WaitReadable(s, 0)) continue;
        std::string received;
        active = true;
        if (!loopback::ReceiveAvailable(s, &received)) {
            loopback::CloseAbortively(s);
            s = INVALID_SOCKET;
        }
    }
    return active;
}

bool FakeFtpPeer::ReadControl() {
    if (m_hControl == INVALID_SOCKET || !loopback::WaitReadable(m_hControl, 0)) return false;
    size_t before = m_Pending.size();
    bool open = loopback::ReceiveAvailable(m_hControl, &m_Pending);
    bool active = m_Pending.size() != before;
    for (size_t end = m_Pending.find('\n'); end != std::string::npos; end = m_Pending.find('\n')) {
        std::string line = m_Pending.substr(0, end + 1);
        m_Pending.erase(0, end + 1);
        m_Commands += line;
        OnLine(line);
    }
    if (!open) {
        loopback::CloseAbortively(m_hControl);
        m_hControl = INVALID_SOCKET;
    }
    return active;
}

void FakeFtpPeer::OnLine(const std::string& line) {
    if (m_bLoggingIn && AnswerLogin(line)) return;
    m_bLoggingIn = false;
    if (m_nNextAnswer < m_Script.answers.size()) {
        SendAnswer(m_Script.answers[m_nNextAnswer++]);
    } else if (m_Script.closeWhenDone) {
        plat::shutdown(m_hControl, SD_SEND);
    }
}

// The login a real server plays; the first other command ends it.
bool FakeFtpPeer::AnswerLogin(const std::string& line) {
    const char* reply = nullptr;
    if (StartsWith(line, "USER ")) {
        reply = "331 Password required.\r\n";
    } else if (StartsWith(line, "PASS ")) {
        reply = "230 Logged in.\r\n";
    } else if (StartsWith(line, "TYPE I")) {
        reply = "200 Type set to I.\r\n";
    } else if (StartsWith(line, "CWD ")) {
        reply = "250 Directory changed.\r\n";
    } else {
        return false;
    }
    loopback::SendAll(m_hControl, reply);
    return true;
}

void FakeFtpPeer::SendAnswer(const std::vector<std::string>& pieces) {
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) plat::Sleep(kPieceGapMs);
        std::string text;
        for (char c : pieces[i]) {
            if (c == '(') {
                text += m_PassiveText;
            } else {
                text += c;
            }
        }
        if (!text.empty() && !loopback::SendAll(m_hControl, text)) return;
    }
}

void FakeFtpPeer::MoveClockPastLimits() {
    plat::SetClockOffsetForTesting(plat::GetClockOffsetForTesting() + kClockStepMs);
}
