#include "ClientPool.h"

namespace {

// A forward jump up to this far may still be inside the client's read-ahead
// (ten buffers of the default 256 KiB block).
const uint64_t kReadAheadReach = 10 * 262144;

}  // namespace

const char* DescribeChoice(ClientChoice choice) {
    switch (choice) {
    case ClientChoice::kContinues: return "continues its stream";
    case ClientChoice::kSameFile: return "same file, jumps";
    case ClientChoice::kNew: return "new client";
    case ClientChoice::kOtherFile: return "switched from another file";
    }
    return "";
}

ClientLease::~ClientLease() {
    m_Pool.Return(m_Entry);
}

ReadResult ClientLease::Read(const std::string& path, uint64_t position, unsigned char* buffer,
                             uint32_t length) {
    ReadResult result;
    IFtpClient* client = m_Entry.client;
    m_Pool.m_Window.Forget(client);
    unsigned int got = 0;
    // Positions travel as unsigned int: the library reads up to 4 GiB - 1.
    if (position + length > (uint64_t)UINT32_MAX + 1) return result;
    result.succeeded = client->ReadStream(path.c_str(), buffer, (unsigned int)position, length,
                                          &got) != 0;
    result.got = got <= length ? got : length;
    result.seekFlag = client->GetSeekFlag();
    if (result.seekFlag != 0) ++m_nSeeks;
    if (!result.succeeded) result.ftpError = m_Pool.m_Window.ErrorOf(client);
    m_Entry.path = path;
    m_Entry.nextPosition = position + result.got;
    return result;
}

ClientPool::ClientPool(const ConnectionSettings& settings, NotificationWindow& window,
                       size_t capacity)
    : m_Settings(settings), m_Window(window), m_nCapacity(capacity < 1 ? 1 : capacity) {}

// The clients are released before the window goes (the owner destroys the
// window after the pool): the library may post until then.
ClientPool::~ClientPool() {
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

IFtpClient* ClientPool::MakeClient() {
    IFtpClient* client = CreateFtpClientInstance(0);
    if (client == nullptr) return nullptr;
    const ConnectionSettings& s = m_Settings;
    bool configured =
        client->SetMessageWindow(m_Window.Window()) != 0 &&
        client->SetConnectParameter(s.server.c_str(), s.user.c_str(), s.password.c_str(), s.port,
                                    0, 0, "", 1) != 0 &&
        (!s.blockSize.has_value() || client->SetBlockSize(*s.blockSize) != 0);
    if (!configured) {
        client->Release();
        return nullptr;
    }
    return client;
}

PooledClient* ClientPool::Choose(const std::string& path, uint64_t position,
                                 ClientChoice* choice) {
    PooledClient* sameFile = nullptr;
    PooledClient* ahead = nullptr;
    PooledClient* oldest = nullptr;
    for (auto& held : m_Clients) {
        PooledClient* entry = held.get();
        if (entry->busy) continue;
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
    if (ahead != nullptr || sameFile != nullptr) {
        *choice = ClientChoice::kSameFile;
        return ahead != nullptr ? ahead : sameFile;
    }
    if (m_Clients.size() < m_nCapacity) {
        IFtpClient* client = MakeClient();
        if (client != nullptr) {
            auto entry = std::make_unique<PooledClient>();
            entry->client = client;
            entry->number = (int)m_Clients.size() + 1;
            m_Clients.push_back(std::move(entry));
            *choice = ClientChoice::kNew;
            return m_Clients.back().get();
        }
    }
    *choice = ClientChoice::kOtherFile;
    return oldest;
}

std::unique_ptr<ClientLease> ClientPool::Lease(const std::string& path, uint64_t position,
                                               std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
        ClientChoice choice = ClientChoice::kNew;
        PooledClient* entry = Choose(path, position, &choice);
        if (entry != nullptr) {
            entry->busy = true;
            return std::make_unique<ClientLease>(*this, *entry, choice);
        }
        if (m_Returned.wait_until(lock, deadline) == std::cv_status::timeout) return nullptr;
    }
}

void ClientPool::Return(PooledClient& entry) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        entry.busy = false;
        entry.lastUsed = std::chrono::steady_clock::now();
    }
    m_Returned.notify_all();
}

SizeAnswer ClientPool::Size(const std::string& path) {
    SizeAnswer answer;
    std::lock_guard<std::mutex> lock(m_MetaMutex);
    if (m_pMetaClient == nullptr) m_pMetaClient = MakeClient();
    if (m_pMetaClient == nullptr) return answer;
    m_Window.Forget(m_pMetaClient);
    answer.size = m_pMetaClient->GetRemoteFileSize(path.c_str());
    answer.ftpError = m_Window.ErrorOf(m_pMetaClient);
    return answer;
}

std::string ClientPool::List(const std::string& folder, const std::string& pattern,
                             int* ftpError) {
    *ftpError = 0;
    std::lock_guard<std::mutex> lock(m_MetaMutex);
    if (m_pMetaClient == nullptr) m_pMetaClient = MakeClient();
    if (m_pMetaClient == nullptr) return std::string();
    m_Window.Forget(m_pMetaClient);
    const char* listing = m_pMetaClient->ListDirectory(folder.c_str(), pattern.c_str());
    *ftpError = m_Window.ErrorOf(m_pMetaClient);
    return listing != nullptr ? std::string(listing) : std::string();
}
