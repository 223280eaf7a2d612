#include "ScriptedConnection.h"

namespace scripted {

namespace {

bool IsEqual(const std::string& line, const std::string& expected) {
    return line == expected;
}

bool HasPrefix(const std::string& line, const std::string& prefix) {
    return line.compare(0, prefix.size(), prefix) == 0;
}

std::string Quoted(const std::string& text) {
    return "\"" + ScriptJournal::Visible(text) + "\"";
}

}  // namespace

ScriptedConnection::ScriptedConnection(TimedSocket socket, const ScriptContext& context)
    : m_Context(context), m_ServerStopping(context.ServerStopping()), m_Socket(std::move(socket)) {}

bool ScriptedConnection::Send(const std::string& bytes) {
    if (!m_Socket.IsOpen()) return false;
    m_Context.journal->Add(Index(), ScriptEventKind::Sent, bytes);
    size_t sent = 0;
    return m_Socket.SendAll(bytes.data(), bytes.size(), m_Context.timeoutMs, m_ServerStopping, &sent) ==
           SendResult::Complete;
}

bool ScriptedConnection::SendChunks(const std::vector<std::string>& pieces, int pauseMsBetween) {
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) Pause(pauseMsBetween);
        if (!Send(pieces[i])) return false;
    }
    return true;
}

bool ScriptedConnection::Reply(const std::string& line) {
    return Send(line + "\r\n");
}

std::optional<std::string> ScriptedConnection::ReadLine(int timeoutMs) {
    Deadline deadline(m_Context.Limit(timeoutMs));
    while (m_Lines.empty() && ReceiveMore(deadline)) {
    }
    if (m_Lines.empty()) return std::nullopt;
    std::string line = std::move(m_Lines.front());
    m_Lines.pop_front();
    return line;
}

std::string ScriptedConnection::ExpectLine(const std::string& expected, int timeoutMs) {
    return Expect(expected, IsEqual, "", timeoutMs);
}

std::string ScriptedConnection::ExpectPrefix(const std::string& prefix, int timeoutMs) {
    return Expect(prefix, HasPrefix, "a line starting with ", timeoutMs);
}

std::string ScriptedConnection::Expect(const std::string& pattern, LineMatch matches, const char* how,
                                       int timeoutMs) {
    std::optional<std::string> line = ReadLine(timeoutMs);
    if (!line) {
        m_Context.Fail(std::string("expected ") + how + Quoted(pattern) + ", got " +
                       (m_ClientGone
                            ? "a closed connection"
                            : "nothing within " + std::to_string(m_Context.Limit(timeoutMs)) + " ms"));
        return std::string();
    }
    if (!matches(*line, pattern)) {
        m_Context.Fail(std::string("expected ") + how + Quoted(pattern) + ", got " + Quoted(*line));
    }
    return *line;
}

bool ScriptedConnection::ReceiveMore(const Deadline& deadline) {
    if (m_ClientGone || !m_Socket.IsOpen()) return false;
    if (m_Socket.WaitReadable(deadline.RemainingMs(), m_ServerStopping) != WaitResult::Ready) {
        return false;
    }
    char buffer[4096];
    int count = m_Socket.ReceiveSome(buffer, sizeof buffer);
    if (count <= 0) {
        NoteClientGone(count);
        return false;
    }
    for (std::string& line : m_Splitter.Feed(buffer, static_cast<size_t>(count))) {
        m_Context.journal->Add(Index(), ScriptEventKind::Received, line);
        m_Lines.push_back(std::move(line));
    }
    return true;
}

void ScriptedConnection::NoteClientGone(int receiveResult) {
    m_ClientGone = true;
    m_Context.Note(receiveResult == 0 ? "the client closed the connection"
                                      : "the client reset the connection");
    if (!m_Splitter.Unterminated().empty()) {
        m_Context.Fail("the client left an unterminated line: " + Quoted(m_Splitter.Unterminated()));
    }
}

void ScriptedConnection::Pause(int milliseconds) {
    SleepUnless(milliseconds, m_ServerStopping);
}

std::vector<std::string> ScriptedConnection::Silence(int milliseconds) {
    Deadline deadline(milliseconds);
    while (ReceiveMore(deadline)) {
    }
    // A client that went away does not shorten the silence: what the script
    // does next keeps its timing.
    Pause(deadline.RemainingMs());
    std::vector<std::string> lines(m_Lines.begin(), m_Lines.end());
    m_Lines.clear();
    return lines;
}

void ScriptedConnection::Close() {
    if (!m_Socket.IsOpen()) return;
    // Lines already here are recorded before the close drops them.
    Deadline now(0);
    while (ReceiveMore(now)) {
    }
    m_Context.Note("control connection closed");
    m_Socket.Close();
}

void ScriptedConnection::ResetClose() {
    if (!m_Socket.IsOpen()) return;
    m_Context.Note("control connection reset");
    m_Socket.Reset();
}

bool ScriptedConnection::WaitForClientClose(int timeoutMs) {
    Deadline deadline(m_Context.Limit(timeoutMs));
    while (ReceiveMore(deadline)) {
    }
    return m_ClientGone;
}

void ScriptedConnection::PlayLogin(const LoginScript& script) {
    Reply(script.greeting);
    if (script.user.empty()) {
        ExpectPrefix("USER ");
    } else {
        ExpectLine("USER " + script.user);
    }
    Reply(script.userReply);
    if (script.password.empty()) {
        ExpectPrefix("PASS ");
    } else {
        ExpectLine("PASS " + script.password);
    }
    Reply(script.passwordReply);
}

std::vector<std::string> ScriptedConnection::AnswerTypeAndCwd(int timeoutMs) {
    const std::string cwd = "CWD ";
    std::vector<std::string> paths;
    while (std::optional<std::string> line = ReadLine(timeoutMs)) {
        if (*line == "TYPE I") {
            Reply("200 Type set to I.");
        } else if (HasPrefix(*line, cwd)) {
            paths.push_back(line->substr(cwd.size()));
            Reply("250 Directory changed.");
        } else {
            m_Lines.push_front(std::move(*line));
            break;
        }
    }
    return paths;
}

std::vector<std::string> ScriptedConnection::Login(const LoginScript& script) {
    PlayLogin(script);
    return AnswerTypeAndCwd();
}

std::shared_ptr<PassiveData> ScriptedConnection::OpenPassive() {
    auto channel = std::make_shared<PassiveData>(m_Context);
    if (!channel->IsListening()) m_Context.Fail("could not open a data listener");
    std::lock_guard<std::mutex> lock(m_ChannelsMutex);
    m_Channels.push_back(channel);
    return channel;
}

std::shared_ptr<PassiveData> ScriptedConnection::PassiveChannel(size_t n) const {
    std::lock_guard<std::mutex> lock(m_ChannelsMutex);
    return n < m_Channels.size() ? m_Channels[n] : nullptr;
}

void ScriptedConnection::ShutdownPassiveChannels() {
    std::lock_guard<std::mutex> lock(m_ChannelsMutex);
    for (const std::shared_ptr<PassiveData>& channel : m_Channels) channel->Shutdown();
}

}  // namespace scripted
