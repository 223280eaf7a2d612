// One accepted control connection of the scripted server, as its script (the
// test's handler) sees it. The handler runs on the connection's own thread and
// plays the server's part step by step: what to send, which line it expects,
// when to pause, stay silent, close or reset. Every wait is bounded; a line
// that differs from the expected one, or that does not come in time, is
// recorded as a failure and the script goes on.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "LineSplitter.h"
#include "PassiveData.h"
#include "ScriptContext.h"
#include "TimedSocket.h"

namespace scripted {

struct LoginScript {
    std::string greeting = "220 Scripted FTP server ready.";
    std::string user = "ftp";  // expected USER argument; empty accepts any
    std::string password;      // expected PASS argument; empty accepts any
    std::string userReply = "331 Password required.";
    std::string passwordReply = "230 Login successful.";
};

class ScriptedConnection {
public:
    ScriptedConnection(TimedSocket socket, const ScriptContext& context);
    ScriptedConnection(const ScriptedConnection&) = delete;
    ScriptedConnection& operator=(const ScriptedConnection&) = delete;

    int Index() const { return m_Context.connection; }

    // Raw bytes, nothing added. False when they could not all be sent.
    bool Send(const std::string& bytes);
    // Each piece in its own send, with a pause between them.
    bool SendChunks(const std::vector<std::string>& pieces, int pauseMsBetween);
    // line + CRLF.
    bool Reply(const std::string& line);

    // The next command line without its CRLF (a bare LF line end is kept);
    // nothing on time-out or when the client closed the connection.
    std::optional<std::string> ReadLine(int timeoutMs = kDefaultTimeout);
    std::string ExpectLine(const std::string& expected, int timeoutMs = kDefaultTimeout);
    std::string ExpectPrefix(const std::string& prefix, int timeoutMs = kDefaultTimeout);

    void Pause(int milliseconds);
    // Answers nothing for a while; returns the lines the client sent meanwhile.
    std::vector<std::string> Silence(int milliseconds);
    // Orderly close of the control connection (the client reads an end of stream).
    void Close();
    // Abortive close: the client sees a reset.
    void ResetClose();
    // Reads (and records) until the client closes; true when it did in time.
    bool WaitForClientClose(int timeoutMs = kDefaultTimeout);

    // Greeting, USER, PASS.
    void PlayLogin(const LoginScript& script = LoginScript());
    // Answers TYPE I with 200 and every CWD with 250, whatever the path, until
    // another command comes (left for the script to read) or nothing comes
    // within the time-out. Returns the CWD paths.
    std::vector<std::string> AnswerTypeAndCwd(int timeoutMs = kDefaultTimeout);
    // PlayLogin, then AnswerTypeAndCwd.
    std::vector<std::string> Login(const LoginScript& script = LoginScript());

    // A new data listener; the returned object also stays reachable through
    // PassiveChannel until the server is destroyed.
    std::shared_ptr<PassiveData> OpenPassive();
    // The n-th data side opened on this connection, or null. Thread-safe.
    std::shared_ptr<PassiveData> PassiveChannel(size_t n) const;
    // Shuts every data side down; the server calls it as it stops.
    void ShutdownPassiveChannels();

private:
    using LineMatch = bool (*)(const std::string& line, const std::string& pattern);
    std::string Expect(const std::string& pattern, LineMatch matches, const char* how, int timeoutMs);
    // False when nothing more can arrive before the deadline.
    bool ReceiveMore(const Deadline& deadline);
    void NoteClientGone(int receiveResult);

    ScriptContext m_Context;
    const StopCheck m_ServerStopping;
    TimedSocket m_Socket;
    LineSplitter m_Splitter;
    std::deque<std::string> m_Lines;
    bool m_ClientGone = false;

    mutable std::mutex m_ChannelsMutex;
    std::vector<std::shared_ptr<PassiveData>> m_Channels;
};

}  // namespace scripted
