// What happened on a scripted server, in order: the lines clients sent, the
// bytes the scripts sent, the closes and resets they made, and every failure
// (an unexpected line, a time-out). Written by the server's threads, read by
// the test thread; every member is thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace scripted {

enum class ScriptEventKind { Received, Sent, Action, Failure };

struct ScriptEvent {
    int connection;  // control connection index; -1 for the server itself
    int64_t atMs;    // milliseconds since the server started
    ScriptEventKind kind;
    std::string text;
};

class ScriptJournal {
public:
    ScriptJournal();

    int64_t ElapsedMs() const;
    void Add(int connection, ScriptEventKind kind, const std::string& text);

    std::vector<ScriptEvent> Events(ScriptEventKind kind) const;
    // Every event, one per line, for a failing test's message.
    std::string Describe() const;

    // Control characters spelled out (\r, \n, \xNN) so that line ends show.
    static std::string Visible(const std::string& text);

private:
    const std::chrono::steady_clock::time_point m_Start;
    mutable std::mutex m_Mutex;
    std::vector<ScriptEvent> m_Events;
};

}  // namespace scripted
