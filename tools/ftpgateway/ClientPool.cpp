#include "ClientPool.h"

namespace {

// A forward jump up to this far may still be inside the client's read-ahead
// (ten buffers of the default 256 KiB block).
const uint64_t kReadAheadReach = 10 * 262144;

// A waiting request looks this often whether its client is still there and
// whether a reader has fallen behind.
const std::chrono::milliseconds kWaitStep(100);

// A client idle this long has no reader coming back for its next bytes, and
// may lose its stream to become the ready one; the keeper looks this often.
const std::chrono::milliseconds kStaleAfter(500);
const std::chrono::milliseconds kKeeperStep(500);

// Between the end of a session and the next login of the same client.
const std::chrono::milliseconds kSessionSettles(100);

// Below two clients a ready one would cost the only stream.
const size_t kLeastForReady = 2;

using Clock = std::chrono::steady_clock;

Clock::time_point Later(Clock::time_point time, double seconds) {
    return time + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(seconds));
}

}  // namespace

const char* DescribeChoice(ClientChoice choice) {
    switch (choice) {
    case ClientChoice::kContinues: return "continues its stream";
    case ClientChoice::kAhead: return "same file, ahead of its stream";
    case ClientChoice::kReady: return "ready, no stream running";
    case ClientChoice::kNew: return "new client";
    case ClientChoice::kSameFile: return "same file, restarts its stream";
    case ClientChoice::kOtherFile: return "switched from another file";
    case ClientChoice::kRenews: return "same file of another or unknown size, new session";
    }
    return "";
}

const char* DescribeRefusal(LeaseRefusal refusal) {
    switch (refusal) {
    case LeaseRefusal::kNone: return "";
    case LeaseRefusal::kTimedOut: return "every FTP client object stayed busy";
    case LeaseRefusal::kTooManyWaiting: return "too many requests wait for an FTP client object";
    case LeaseRefusal::kClientGone: return "the client went away while it waited";
    case LeaseRefusal::kStopping: return "the gateway is stopping";
    }
    return "";
}

ClientLease::~ClientLease() {
    m_Pool.Return(m_Entry, m_nLease);
}

ReadResult ClientLease::Read(const std::string& path, uint64_t position, unsigned char* buffer,
                             uint32_t length) {
    ReadResult result;
    bool renews = false;
    {
        std::lock_guard<std::mutex> lock(m_Pool.m_Mutex);
        if (!Holds()) {
            result.lost = true;
            return result;
        }
        m_Entry.reading = true;
        renews = m_Entry.renew;
        m_Entry.renew = false;
    }
    Clock::time_point start = Clock::now();
    IFtpClient2* client = m_Entry.client;
    if (renews) m_Pool.EndSession(client);
    unsigned int got = 0;
    result.succeeded = client->ReadStream64(path.c_str(), buffer, position, length, &got) != 0;
    // Asked before the next call on this thread.
    if (!result.succeeded) result.ftpError = client->GetLastErrorCode();
    result.got = got <= length ? got : length;
    result.seekFlag = client->GetSeekFlag();
    if (result.seekFlag != 0) ++m_nSeeks;
    {
        std::lock_guard<std::mutex> lock(m_Pool.m_Mutex);
        if (m_Entry.path != path || renews) m_Entry.size = 0;
        m_Entry.path = path;
        m_Entry.nextPosition = position + result.got;
        m_Entry.ended = false;
        m_Entry.abandoned = false;
        m_Entry.reading = false;
        // The time the server took is not the reader's.
        Clock::time_point now = Clock::now();
        m_Entry.creditEnds = std::min(m_Entry.creditEnds + (now - start), now + m_Pool.m_Rules.credit);
    }
    return result;
}

void ClientLease::Note(uint64_t size, bool reachedEnd) {
    std::lock_guard<std::mutex> lock(m_Pool.m_Mutex);
    if (!Holds()) return;
    m_Entry.size = size;
    m_Entry.ended = reachedEnd;
}

void ClientLease::Abandon() {
    std::lock_guard<std::mutex> lock(m_Pool.m_Mutex);
    if (Holds()) m_Entry.abandoned = true;
}

void ClientLease::Delivered(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_Pool.m_Mutex);
    if (!Holds()) return;
    Clock::time_point now = Clock::now();
    Clock::time_point from = std::max(m_Entry.creditEnds, now);
    m_Entry.creditEnds =
        std::min(Later(from, (double)bytes / m_Pool.m_Rules.minimumRate), now + m_Pool.m_Rules.credit);
}

ClientPool::ClientPool(const ConnectionSettings& settings, size_t capacity,
                       const LeaseRules& rules)
    : m_Settings(settings),
      m_nCapacity(capacity < 1 ? 1 : capacity),
      m_Rules(rules) {}

ClientPool::~ClientPool() {
    Stop();
    if (m_Keeper.joinable()) m_Keeper.join();
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Returned.wait(lock, [this] {
        for (const auto& entry : m_Clients) {
            if (entry->busy) return false;
        }
        return true;
    });
    for (auto& entry : m_Clients) entry->client->Release();
    m_Clients.clear();
    if (m_pMetaClient != nullptr) m_pMetaClient->Release();
}

bool ClientPool::LibraryHasVersion2() {
    IFtpClient* client = CreateFtpClientInstance(2);
    if (client == nullptr) return false;
    client->Release();
    return true;
}

// No message window: the gateway asks every failed call's outcome itself.
IFtpClient2* ClientPool::MakeClient() {
    IFtpClient2* client = static_cast<IFtpClient2*>(CreateFtpClientInstance(2));
    if (client == nullptr) return nullptr;
    const ConnectionSettings& s = m_Settings;
    const std::string address = AddressWithScheme(s.server, s.tls);
    bool configured =
        client->SetConnectParameter(address.c_str(), s.user.c_str(), s.password.c_str(), s.port,
                                    0, 0, "", 1) != 0 &&
        (!s.blockSize.has_value() || client->SetBlockSize(*s.blockSize) != 0);
    if (!configured) {
        client->Release();
        return nullptr;
    }
    return client;
}

PooledClient* ClientPool::AddEntry() {
    IFtpClient2* client = MakeClient();
    if (client == nullptr) return nullptr;
    auto entry = std::make_unique<PooledClient>();
    entry->client = client;
    entry->number = (int)m_Clients.size() + 1;
    m_Clients.push_back(std::move(entry));
    return m_Clients.back().get();
}

PooledClient* ClientPool::Choose(const LeaseWish& wish, ClientChoice* choice, bool* wait) {
    const std::string& path = wish.path;
    const uint64_t position = wish.position;
    *wait = false;
    PooledClient* sameFile = nullptr;
    PooledClient* ahead = nullptr;
    PooledClient* ready = nullptr;
    PooledClient* oldest = nullptr;
    bool preparing = false;
    for (auto& held : m_Clients) {
        PooledClient* entry = held.get();
        preparing = preparing || entry->preparing;
        if (entry->busy || entry->preparing) continue;
        // Its buffers of this file may be of another version of it: a read
        // of the file would take them, so it is taken only as a stream to
        // end, and its session is renewed (Grant).
        if (entry->path == path && (wish.size == 0 || entry->size != wish.size)) {
            if (oldest == nullptr || entry->lastUsed < oldest->lastUsed) oldest = entry;
            continue;
        }
        if (entry->path.empty() || entry->ended) {
            ready = entry;
            continue;
        }
        if (entry->path == path) {
            if (entry->nextPosition == position) {
                *choice = ClientChoice::kContinues;
                return entry;
            }
            if (entry->nextPosition < position && position - entry->nextPosition <= kReadAheadReach &&
                (ahead == nullptr || entry->nextPosition > ahead->nextPosition)) {
                ahead = entry;
            }
            if (sameFile == nullptr || entry->lastUsed > sameFile->lastUsed) sameFile = entry;
        }
        if (oldest == nullptr || entry->lastUsed < oldest->lastUsed) oldest = entry;
    }
    if (ahead != nullptr) {
        *choice = ClientChoice::kAhead;
        return ahead;
    }
    if (ready != nullptr) {
        *choice = ClientChoice::kReady;
        return ready;
    }
    // A client the keeper logs in is ready sooner than a new one, and makes
    // no connection more; an abort is sooner still.
    if (preparing && (m_Clients.size() < m_nCapacity || oldest == nullptr)) {
        *wait = true;
        return nullptr;
    }
    if (m_Clients.size() < m_nCapacity) {
        PooledClient* entry = AddEntry();
        if (entry != nullptr) {
            *choice = ClientChoice::kNew;
            return entry;
        }
    }
    *choice = sameFile != nullptr ? ClientChoice::kSameFile : ClientChoice::kOtherFile;
    return sameFile != nullptr ? sameFile : oldest;
}

PooledClient* ClientPool::Overdue(Clock::time_point now) {
    PooledClient* furthest = nullptr;
    for (auto& held : m_Clients) {
        PooledClient* entry = held.get();
        if (!entry->busy || entry->reading || !entry->yields || entry->creditEnds > now) continue;
        if (furthest == nullptr || entry->creditEnds < furthest->creditEnds) furthest = entry;
    }
    return furthest;
}

std::unique_ptr<ClientLease> ClientPool::Grant(PooledClient& entry, ClientChoice choice,
                                               bool taken, const LeaseWish& wish) {
    // Given for the file it read, whose size now is another or not known
    // (a taken client too): its stream and buffers must not serve the read.
    if (!entry.path.empty() && entry.path == wish.path &&
        (wish.size == 0 || entry.size != wish.size)) {
        entry.renew = true;
        choice = ClientChoice::kRenews;
    }
    entry.busy = true;
    entry.reading = false;
    entry.yields = wish.yields;
    entry.lease = ++m_nLeases;
    entry.creditEnds = Clock::now() + m_Rules.credit;
    m_KeeperWakes.notify_all();
    return std::make_unique<ClientLease>(*this, entry, choice, taken);
}

std::unique_ptr<ClientLease> ClientPool::Lease(const LeaseWish& wish, LeaseRefusal* refusal) {
    auto deadline = Clock::now() + wish.limit;
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Folder = wish.path.substr(0, wish.path.rfind('/') + 1);
    bool counted = false;
    auto refuse = [&](LeaseRefusal why) {
        if (counted) --m_nWaiting;
        *refusal = why;
        return nullptr;
    };
    for (;;) {
        if (m_bStopping) return refuse(LeaseRefusal::kStopping);
        ClientChoice choice = ClientChoice::kNew;
        bool wait = false;
        PooledClient* entry = Choose(wish, &choice, &wait);
        bool taken = false;
        if (entry == nullptr && !wait && wish.takes) {
            entry = Overdue(Clock::now());
            taken = entry != nullptr;
            if (taken) {
                choice = entry->path.empty() || entry->ended    ? ClientChoice::kReady
                         : entry->path != wish.path                 ? ClientChoice::kOtherFile
                         : entry->nextPosition == wish.position ? ClientChoice::kContinues
                                                                : ClientChoice::kSameFile;
            }
        }
        if (entry != nullptr) {
            if (counted) --m_nWaiting;
            *refusal = LeaseRefusal::kNone;
            return Grant(*entry, choice, taken, wish);
        }
        if (!counted) {
            if (m_nWaiting >= m_Rules.waitingPerClient * m_nCapacity) {
                return refuse(LeaseRefusal::kTooManyWaiting);
            }
            ++m_nWaiting;
            counted = true;
        }
        Clock::time_point now = Clock::now();
        if (now >= deadline) return refuse(LeaseRefusal::kTimedOut);
        m_Returned.wait_until(lock, std::min(deadline, now + kWaitStep));
        if (wish.gone) {
            // Asked without the lock: it looks at the request's connection.
            lock.unlock();
            bool gone = wish.gone();
            lock.lock();
            if (gone) return refuse(LeaseRefusal::kClientGone);
        }
    }
}

void ClientPool::Stop() {
    IFtpClient2* loggingIn = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStopping = true;
        loggingIn = m_pLoggingIn;
    }
    m_Returned.notify_all();
    m_KeeperWakes.notify_all();
    // A login the keeper waits for ends with its session (a connect under
    // way is not cut short).
    if (loggingIn != nullptr) loggingIn->StopSession();
}

void ClientPool::Start(size_t ready) {
    m_Keeper = std::thread([this, ready] { Keep(ready); });
}

void ClientPool::Keep(size_t ready) {
    for (size_t i = 0; i < ready; ++i) {
        PooledClient* entry = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_bStopping || m_Clients.size() >= m_nCapacity) break;
            entry = AddEntry();
            if (entry == nullptr) break;
            entry->preparing = true;
        }
        Prepare(*entry, false);
        // A player's first request needs a size and a read at once.
        if (i == 0) {
            std::lock_guard<std::mutex> meta(m_MetaMutex);
            if (m_pMetaClient == nullptr) m_pMetaClient = MakeClient();
            if (m_pMetaClient != nullptr) LogIn(m_pMetaClient);
        }
    }
    std::unique_lock<std::mutex> lock(m_Mutex);
    while (!m_bStopping) {
        bool ends = false;
        PooledClient* entry = NextToPrepare(&ends);
        if (entry == nullptr) {
            m_KeeperWakes.wait_for(lock, kKeeperStep);
            continue;
        }
        entry->preparing = true;
        entry->path.clear();
        entry->nextPosition = 0;
        entry->ended = false;
        entry->abandoned = false;
        entry->size = 0;
        entry->renew = false;
        lock.unlock();
        Prepare(*entry, ends);
        lock.lock();
    }
}

PooledClient* ClientPool::NextToPrepare(bool* ends) {
    *ends = false;
    if (m_nCapacity < kLeastForReady || m_nWaiting > 0) return nullptr;
    Clock::time_point now = Clock::now();
    PooledClient* stale = nullptr;
    for (auto& held : m_Clients) {
        PooledClient* entry = held.get();
        if (entry->busy) continue;
        if (entry->preparing || entry->path.empty() || entry->ended) return nullptr;
        if ((entry->abandoned || now - entry->lastUsed >= kStaleAfter) &&
            (stale == nullptr || entry->lastUsed < stale->lastUsed)) {
            stale = entry;
        }
    }
    if (m_Clients.size() < m_nCapacity) return AddEntry();
    *ends = stale != nullptr;
    return stale;
}

void ClientPool::Prepare(PooledClient& entry, bool ends) {
    // Its stream and its connections end; the size logs it in again.
    if (ends) EndSession(entry.client);
    LogIn(entry.client);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        entry.preparing = false;
        entry.lastUsed = Clock::now();
    }
    m_Returned.notify_all();
}

void ClientPool::EndSession(IFtpClient2* client) {
    client->StopSession();
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_KeeperWakes.wait_for(lock, kSessionSettles, [this] { return m_bStopping; });
}

// "SIZE ." in the folder: a negative answer, after the login and the
// directory change the next read there would otherwise wait for.
void ClientPool::LogIn(IFtpClient2* client) {
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bStopping) return;
        folder = m_Folder;
        m_pLoggingIn = client;
    }
    long long size = -1;
    client->GetRemoteFileSize64((folder + ".").c_str(), &size);
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_pLoggingIn = nullptr;
}

void ClientPool::Return(PooledClient& entry, uint64_t lease) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        // A client taken by a waiting request is that request's now.
        if (entry.lease != lease) return;
        entry.busy = false;
        entry.reading = false;
        entry.lastUsed = Clock::now();
    }
    m_Returned.notify_all();
    m_KeeperWakes.notify_all();
}

SizeAnswer ClientPool::Size(const std::string& path) {
    SizeAnswer answer;
    std::lock_guard<std::mutex> lock(m_MetaMutex);
    if (m_pMetaClient == nullptr) m_pMetaClient = MakeClient();
    if (m_pMetaClient == nullptr) {
        answer.ftpError = FTPE_REFUSED;
        return answer;
    }
    long long size = -1;
    if (m_pMetaClient->GetRemoteFileSize64(path.c_str(), &size) != 0) {
        answer.size = size;
    } else {
        answer.ftpError = m_pMetaClient->GetLastErrorCode();
    }
    return answer;
}

// A first buffer for most folders; a larger folder's listing is kept by the
// library for the second call, which takes it at the size it asked for.
std::optional<std::string> ClientPool::List(const std::string& folder, const std::string& pattern,
                                            int* ftpError) {
    *ftpError = 0;
    std::lock_guard<std::mutex> lock(m_MetaMutex);
    if (m_pMetaClient == nullptr) m_pMetaClient = MakeClient();
    if (m_pMetaClient == nullptr) {
        *ftpError = FTPE_REFUSED;
        return std::nullopt;
    }
    std::string text(65536, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        unsigned int needed = 0;
        if (m_pMetaClient->ListDirectoryAll(folder.c_str(), pattern.c_str(), &text[0],
                                            (unsigned int)text.size(), &needed) != 0) {
            text.resize(needed - 1);
            return text;
        }
        if (needed == 0) break;
        text.assign(needed, '\0');
    }
    *ftpError = m_pMetaClient->GetLastErrorCode();
    return std::nullopt;
}
