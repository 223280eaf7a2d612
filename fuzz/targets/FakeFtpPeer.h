// The server side of one worker fuzz run, in-process on 127.0.0.1. It logs
// the client in the ordinary way, then answers each further command line
// with the next answer of its script, one piece per send, and serves the
// passive data connections the way the script says. Once the script is used
// up it closes the control connection or falls silent.
//
// Every stretch in which the client sends nothing moves the platform clock
// past the library's limits (80000 ms inactivity, 120000 ms login), so a
// waiting worker ends within milliseconds instead of minutes. Stop puts the
// clock back where it was: call it once the client has gone.
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"

enum class DataPlan { kSendAndClose, kSendAndHold, kCloseAtOnce, kNeverAccept };
const size_t kDataPlanCount = 4;

struct PeerScript {
    // The pieces of the answer to each command after the login. A "(" in a
    // piece becomes the data listener's address, "(127,0,0,1,p1,p2)".
    std::vector<std::vector<std::string>> answers;
    std::string data;  // what each data connection delivers
    DataPlan dataPlan;
    bool closeWhenDone;  // after the last answer: close, or fall silent
};

class FakeFtpPeer {
public:
    explicit FakeFtpPeer(const PeerScript& script);
    ~FakeFtpPeer();
    FakeFtpPeer(const FakeFtpPeer&) = delete;
    FakeFtpPeer& operator=(const FakeFtpPeer&) = delete;

    // Listens and starts serving; false when no listener could be opened.
    bool Start();
    uint16_t Port() const { return m_nControlPort; }
    // Ends serving, closes every connection and restores the clock.
    void Stop();

    // Read after Stop: the whole command lines received, with their line
    // ends, and the data bytes offered over all data connections.
    const std::string& Commands() const { return m_Commands; }
    size_t DataBytesOffered() const { return m_nDataBytesOffered; }

private:
    void Serve();
    bool ServeOnce();
    bool AcceptControl();
    bool AcceptData();
    bool ReadData();
    bool ReadControl();
    void OnLine(const std::string& line);
    bool AnswerLogin(const std::string& line);
    void SendAnswer(const std::vector<std::string>& pieces);
    void MoveClockPastLimits();

    PeerScript m_Script;
    std::string m_PassiveText;
    const int64_t m_nClockOffsetAtStart;
    plat::SOCKET m_hControlListener;
    plat::SOCKET m_hDataListener;
    uint16_t m_nControlPort;
    plat::SOCKET m_hControl;
    std::string m_Pending;  // control text without its line end yet
    bool m_bLoggingIn;
    size_t m_nNextAnswer;
    std::vector<plat::SOCKET> m_DataSockets;
    std::string m_Commands;
    size_t m_nDataBytesOffered;
    std::atomic<bool> m_bStopping;
    std::thread m_Thread;
};
