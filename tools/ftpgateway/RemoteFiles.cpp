#include "RemoteFiles.h"

namespace {

const int64_t kLargestReportedSize = 2147483647;
const uint64_t kReadableLimit = (uint64_t)UINT32_MAX + 1;  // positions below 4 GiB
const std::chrono::seconds kProbeLeaseLimit(60);

}  // namespace

FileFacts RemoteFiles::Describe(const std::string& path) {
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto found = m_Kept.find(path);
        if (found != m_Kept.end() && found->second.until > now) return found->second.facts;
    }
    SizeAnswer answer = m_Pool.Size(path);
    FileFacts facts;
    if (answer.ftpError != 0) {
        facts.kind = FileFacts::kServerFailed;
        facts.ftpError = answer.ftpError;
    } else if (answer.size < 0) {
        facts.kind = FileFacts::kMissing;
    } else if (answer.size == kLargestReportedSize) {
        facts = FindEndByReading(path);
    } else {
        facts.kind = FileFacts::kFile;
        facts.size = (uint64_t)answer.size;
    }
    // A failure is not kept: the next request tries the server again.
    if (facts.kind != FileFacts::kServerFailed && facts.kind != FileFacts::kBusy) {
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

FileFacts RemoteFiles::FindEndByReading(const std::string& path) {
    FileFacts facts;
    facts.kind = FileFacts::kUnknownEnd;
    facts.foundByReading = true;
    LeaseWish wish;
    wish.path = path;
    wish.position = kLargestReportedSize;
    wish.limit = kProbeLeaseLimit;
    // Its one-byte reads move no body along: nobody may take its client.
    wish.yields = false;
    LeaseRefusal refusal = LeaseRefusal::kNone;
    std::unique_ptr<ClientLease> lease = m_Pool.Lease(wish, &refusal);
    if (!lease) {
        facts.kind = FileFacts::kBusy;
        return facts;
    }
    unsigned char bytes[2];
    // A byte at position exists: the read gets it. Past the end a read gets
    // nothing or is refused; a failure with a notice ends the search.
    auto exists = [&](uint64_t position, bool* failed) {
        ReadResult read = lease->Read(path, position, bytes, 1);
        if (!read.succeeded && read.ftpError != 0) {
            *failed = true;
            facts.ftpError = read.ftpError;
        }
        return read.succeeded && read.got == 1;
    };
    bool failed = false;
    // The size is at least 2147483647: the last reported byte exists.
    uint64_t low = kLargestReportedSize - 1;  // exists
    uint64_t high = kReadableLimit;           // assumed past the end until shown otherwise
    if (exists(kReadableLimit - 1, &failed)) return facts;  // 4 GiB or more
    while (!failed && high - low > 1) {
        uint64_t middle = low + (high - low) / 2;
        if (exists(middle, &failed)) {
            low = middle;
        } else {
            high = middle;
        }
    }
    if (failed) {
        facts.kind = FileFacts::kServerFailed;
        return facts;
    }
    // high is the size if a read across it gets exactly the one byte before.
    ReadResult confirm = lease->Read(path, high - 1, bytes, 2);
    if (confirm.succeeded && confirm.got == 1) {
        facts.kind = FileFacts::kFile;
        facts.size = high;
    }
    return facts;
}
