#include "RemoteFiles.h"

std::optional<FileFacts> RemoteFiles::Known(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto found = m_Kept.find(path);
    if (found == m_Kept.end() || found->second.until <= std::chrono::steady_clock::now()) {
        return std::nullopt;
    }
    return found->second.facts;
}

FileFacts RemoteFiles::Describe(const std::string& path) {
    if (std::optional<FileFacts> known = Known(path)) return *known;
    auto now = std::chrono::steady_clock::now();
    SizeAnswer answer = m_Pool.Size(path);
    FileFacts facts;
    if (answer.ftpError != 0) {
        facts.kind = FileFacts::kServerFailed;
        facts.ftpError = answer.ftpError;
    } else if (answer.size < 0) {
        facts.kind = FileFacts::kMissing;
    } else {
        facts.kind = FileFacts::kFile;
        facts.size = (uint64_t)answer.size;
    }
    // A failure is not kept: the next request tries the server again.
    if (facts.kind != FileFacts::kServerFailed) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Kept.erase(path);
        MakeRoom(now);
        m_Kept[path] = Kept{facts, now + m_Keep};
    }
    return facts;
}

void RemoteFiles::MakeRoom(std::chrono::steady_clock::time_point now) {
    if (m_Kept.size() < kKeptSizes) return;
    for (auto it = m_Kept.begin(); it != m_Kept.end();) {
        it = it->second.until <= now ? m_Kept.erase(it) : std::next(it);
    }
    while (m_Kept.size() >= kKeptSizes) {
        auto oldest = m_Kept.begin();
        for (auto it = m_Kept.begin(); it != m_Kept.end(); ++it) {
            if (it->second.until < oldest->second.until) oldest = it;
        }
        m_Kept.erase(oldest);
    }
}
