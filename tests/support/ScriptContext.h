// What a script's connection and its data sides share with their server: the
// journal, the default time limit and the server's stop request. Shared
// ownership keeps a data side that a test still holds valid after the server
// is gone.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "Deadline.h"
#include "ScriptJournal.h"

namespace scripted {

// Passed as a time-out: use the server's default limit.
constexpr int kDefaultTimeout = -1;

struct ScriptContext {
    std::shared_ptr<ScriptJournal> journal;
    std::shared_ptr<const std::atomic<bool>> stopping;
    int connection;
    int timeoutMs;

    StopCheck ServerStopping() const {
        std::shared_ptr<const std::atomic<bool>> flag = stopping;
        return [flag] { return flag->load(); };
    }
    int Limit(int requestedMs) const { return requestedMs < 0 ? timeoutMs : requestedMs; }
    void Fail(const std::string& text) const { journal->Add(connection, ScriptEventKind::Failure, text); }
    void Note(const std::string& text) const { journal->Add(connection, ScriptEventKind::Action, text); }
};

}  // namespace scripted
