#include "ScriptJournal.h"

#include <cstdio>

namespace scripted {

namespace {

const char* KindMarker(ScriptEventKind kind) {
    switch (kind) {
    case ScriptEventKind::Received: return "->";
    case ScriptEventKind::Sent: return "<-";
    case ScriptEventKind::Action: return "==";
    case ScriptEventKind::Failure: return "!!";
    }
    return "??";
}

}  // namespace

ScriptJournal::ScriptJournal() : m_Start(std::chrono::steady_clock::now()) {}

int64_t ScriptJournal::ElapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_Start)
        .count();
}

void ScriptJournal::Add(int connection, ScriptEventKind kind, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Events.push_back(ScriptEvent{connection, ElapsedMs(), kind, text});
}

std::vector<ScriptEvent> ScriptJournal::Events(ScriptEventKind kind) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<ScriptEvent> selected;
    for (const ScriptEvent& event : m_Events) {
        if (event.kind == kind) selected.push_back(event);
    }
    return selected;
}

std::string ScriptJournal::Describe() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::string text;
    for (const ScriptEvent& event : m_Events) {
        char prefix[48];
        std::snprintf(prefix, sizeof prefix, "%6lld ms #%d %s ", static_cast<long long>(event.atMs),
                      event.connection, KindMarker(event.kind));
        text += prefix + Visible(event.text) + "\n";
    }
    return text;
}

std::string ScriptJournal::Visible(const std::string& text) {
    std::string visible;
    for (unsigned char c : text) {
        if (c == '\r') {
            visible += "\\r";
        } else if (c == '\n') {
            visible += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            visible += escaped;
        } else {
            visible += static_cast<char>(c);
        }
    }
    return visible;
}

}  // namespace scripted
