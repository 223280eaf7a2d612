// The replies a worker's commands are still owed, in the order the commands
// went out. Commands sent together are answered in that order, so each
// reply answers the command at the head: a transfer command is owed a
// preliminary reply and a final one (a final one alone answers both), any
// other command one reply. Pure bookkeeping: no sockets, no threads.
#pragma once

#include <stddef.h>

#include <deque>

enum class OwedCommand {
    kOther,     // one reply
    kTransfer,  // RETR, STOR, APPE, LIST: a preliminary and a final reply
};

class COwedReplies {
public:
    // What a reply answered.
    enum Answer {
        kNothingOwed,         // no command was waiting for it
        kAnswered,            // the head command has its last reply; it is gone
        kTransferPreliminary  // the head transfer command's preliminary reply
    };

    void Sent(OwedCommand command) { m_Owed.push_back(Entry{command, false}); }
    // A reply that answers nothing counted (an empty line some servers
    // answer) was taken as the head's: the head is owed it again.
    void PutBackOne() { m_Owed.push_front(Entry{OwedCommand::kOther, false}); }
    // Any reply counts while one is owed: pure-ftpd codes what it sends for
    // an aborted transfer 150.
    Answer Take(bool preliminary);
    // The head command's kind; kOther when none is owed.
    OwedCommand Head() const { return m_Owed.empty() ? OwedCommand::kOther : m_Owed.front().command; }
    // Commands still waiting for a reply (a transfer counts once).
    size_t Commands() const { return m_Owed.size(); }
    // Replies still owed (a transfer without its preliminary counts twice).
    size_t Replies() const;
    void Clear() { m_Owed.clear(); }

private:
    struct Entry {
        OwedCommand command;
        bool preliminarySeen;
    };
    std::deque<Entry> m_Owed;
};
