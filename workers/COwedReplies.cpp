#include "workers/COwedReplies.h"

COwedReplies::Answer COwedReplies::Take(bool preliminary) {
    if (m_Owed.empty()) return kNothingOwed;
    Entry& head = m_Owed.front();
    if (head.command == OwedCommand::kTransfer && !head.preliminarySeen && preliminary) {
        head.preliminarySeen = true;
        return kTransferPreliminary;
    }
    m_Owed.pop_front();
    return kAnswered;
}

size_t COwedReplies::Replies() const {
    size_t replies = 0;
    for (const Entry& entry : m_Owed) {
        replies += entry.command == OwedCommand::kTransfer && !entry.preliminarySeen ? 2 : 1;
    }
    return replies;
}
