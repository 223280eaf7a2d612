// The gateway's client objects. A client object reads one file at a time:
// its stream queue (read-ahead up to ten buffers) and its head buffer (the
// file's first 64 KiB) belong to the file it read last. A player opens a
// new HTTP request, often on a new connection, for every seek, and a
// browser keeps one request open while it opens the next, so neither "one
// client per HTTP connection" nor "one client for everything" keeps that
// state where it helps. The pool hands each request the idle client whose
// stream stands where the request starts, else one of the same file (its
// buffers or head buffer may serve the jump), else a new client up to the
// limit, else the client idle longest (its stream then moves to the new
// file). A client serves one request at a time; more requests than clients
// wait for one to come free.
//
// Sizes and listings need a client with no stream running (the library
// refuses other operations while one runs), so they go through one client
// of their own, one call at a time.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "IFtpClient.h"
#include "NotificationWindow.h"

struct ConnectionSettings {
    std::string server;
    unsigned short port = 21;
    std::string user = "ftp";
    std::string password;
    std::optional<unsigned int> blockSize;
};

// Why the pool chose the client it gave: shown in the request log.
enum class ClientChoice { kContinues, kSameFile, kNew, kOtherFile };
const char* DescribeChoice(ClientChoice choice);

struct PooledClient {
    IFtpClient* client = nullptr;
    int number = 0;
    std::string path;       // the file its stream reads, empty before the first read
    uint64_t nextPosition = 0;  // where its last read ended
    bool busy = false;
    std::chrono::steady_clock::time_point lastUsed;
};

struct ReadResult {
    bool succeeded = false;
    uint32_t got = 0;
    int seekFlag = 0;
    int ftpError = 0;  // the notice the library posted for a failed read
};

class ClientPool;

// A client taken from the pool for one request; it goes back when the
// lease ends.
class ClientLease {
public:
    ClientLease(ClientPool& pool, PooledClient& entry, ClientChoice choice)
        : m_Pool(pool), m_Entry(entry), m_Choice(choice) {}
    ~ClientLease();
    ClientLease(const ClientLease&) = delete;
    ClientLease& operator=(const ClientLease&) = delete;

    ReadResult Read(const std::string& path, uint64_t position, unsigned char* buffer,
                    uint32_t length);
    int Number() const { return m_Entry.number; }
    ClientChoice Choice() const { return m_Choice; }
    int Restarts() const { return m_nSeeks; }

private:
    ClientPool& m_Pool;
    PooledClient& m_Entry;
    ClientChoice m_Choice;
    int m_nSeeks = 0;
};

struct SizeAnswer {
    int64_t size = -1;  // as GetRemoteFileSize returned it
    int ftpError = 0;
};

class ClientPool {
public:
    ClientPool(const ConnectionSettings& settings, NotificationWindow& window, size_t capacity);
    ~ClientPool();
    ClientPool(const ClientPool&) = delete;
    ClientPool& operator=(const ClientPool&) = delete;

    // Null when no client came free within limit, or none could be made.
    std::unique_ptr<ClientLease> Lease(const std::string& path, uint64_t position,
                                       std::chrono::milliseconds limit);

    SizeAnswer Size(const std::string& path);
    // The listing text (the library's copy is overwritten by its next call).
    std::string List(const std::string& folder, const std::string& pattern, int* ftpError);

private:
    friend class ClientLease;

    IFtpClient* MakeClient();
    void Return(PooledClient& entry);
    // The best idle client for the request, or null; under m_Mutex.
    PooledClient* Choose(const std::string& path, uint64_t position, ClientChoice* choice);

    const ConnectionSettings m_Settings;
    NotificationWindow& m_Window;
    const size_t m_nCapacity;

    std::mutex m_Mutex;
    std::condition_variable m_Returned;
    std::vector<std::unique_ptr<PooledClient>> m_Clients;

    std::mutex m_MetaMutex;
    IFtpClient* m_pMetaClient = nullptr;
};
