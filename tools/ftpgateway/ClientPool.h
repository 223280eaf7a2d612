// The gateway's client objects. A client object reads one file at a time:
// its stream queue (read-ahead up to ten buffers) and its head buffer (the
// file's first 64 KiB) belong to the file it read last. A player opens a
// new HTTP request, often on a new connection, for every seek, and a
// browser keeps one request open while it opens the next, so neither "one
// client per HTTP connection" nor "one client for everything" keeps that
// state where it helps. The pool hands each request the idle client whose
// stream stands where the request starts, else one of the same file whose
// read-ahead may hold the start, else a ready one (logged in, no stream),
// else a new client up to the limit, else the one of the same file or the
// one idle longest (its stream must then be aborted first). A client that
// read the file when it had another size, or when its size was not known,
// is taken for it only in that last place, and its session ends before the
// read: its buffers may hold the file's old bytes. A client serves
// one request at a time; more requests than clients wait for one to come
// free, up to a few per client.
//
// A far jump is cheapest on a client that has no stream to abort (none
// yet, or one that has read to the file's end), so the pool keeps one
// ready: when it starts, a keeper thread logs the reading clients and the
// sizing client in (before any request), and whenever no idle client is
// ready it logs in another one, up to the limit, or ends the stream of the
// one idle longest and logs it in again (never while a request waits, never
// one used in the last half second unless its reader went away mid-body:
// its reader may come back for the next bytes).
//
// A lease lasts as long as its reader keeps up: a body whose reader takes
// less than the minimum rate, once the credit it banked is spent, loses its
// client object to a request that waits for one (never while a read runs on
// it). Nothing is taken while nobody waits, so a paused player keeps its
// client; one that lost it asks the pool again when it reads on.
//
// Sizes and listings need a client with no stream running (the library
// refuses other operations while one runs), so they go through one client
// of their own, one call at a time.
//
// Every client object is version 2 of the library's interface (IFtpClient2):
// reads at 64-bit positions, sizes in full, whole listings, and the outcome
// of a failed call asked of the library on the thread that made it.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "IFtpClient.h"
#include "tools/common/TlsChoice.h"

struct ConnectionSettings {
    std::string server;
    unsigned short port = 21;
    std::string user = "ftp";
    std::string password;
    std::optional<unsigned int> blockSize;
    TlsChoice tls;  // the scheme before the address, the trust
};

// Why the pool chose the client it gave: shown in the request log.
enum class ClientChoice { kContinues, kAhead, kReady, kNew, kSameFile, kOtherFile, kRenews };
const char* DescribeChoice(ClientChoice choice);

// When a waiting request may take a busy client object from its reader.
struct LeaseRules {
    double minimumRate = 256 * 1024;             // bytes a second
    std::chrono::milliseconds credit{3000};      // the most time a reader banks
    size_t waitingPerClient = 4;                 // more waiting requests get 503
};

struct PooledClient {
    IFtpClient2* client = nullptr;
    int number = 0;
    std::string path;       // the file its stream reads, empty before the first read
    uint64_t nextPosition = 0;  // where its last read ended
    bool ended = false;     // its last read reached the file's end: no stream runs
    bool abandoned = false;  // its reader went away mid-body: nobody reads on
    // The size the file had when it read it, 0 when not known: a file whose
    // size changed since is read again from the server, never from its
    // buffers (they hold the old bytes).
    uint64_t size = 0;
    // It was given for the file it read last, whose size then is not known
    // to match: its next read ends its session (stream and buffers) first.
    bool renew = false;
    bool busy = false;
    std::chrono::steady_clock::time_point lastUsed;
    // Of the lease that holds it: which one (a lease whose number is no
    // longer this one has lost the client), whether a read runs, whether it
    // may be taken, and the time its banked credit runs out.
    uint64_t lease = 0;
    bool reading = false;
    bool yields = false;
    std::chrono::steady_clock::time_point creditEnds;
    // The keeper logs it in, or ends its stream and logs it in again; no
    // request may have it meanwhile.
    bool preparing = false;
};

struct ReadResult {
    bool succeeded = false;
    bool lost = false;  // the client went to a waiting request: nothing was read
    uint32_t got = 0;
    int seekFlag = 0;
    int ftpError = 0;  // GetLastErrorCode after a failed read
};

// What a request asks of the pool.
struct LeaseWish {
    std::string path;
    uint64_t size = 0;  // the file's, 0 when not known yet
    uint64_t position = 0;
    std::chrono::milliseconds limit{0};  // the longest it waits
    // Asked while it waits: true when the request's client has gone.
    std::function<bool()> gone;
    // False for a lease nobody may take.
    bool yields = true;
    // False: only a client idle now, none taken from a slow reader.
    bool takes = true;
};

enum class LeaseRefusal {
    kNone,
    kTimedOut,       // every client stayed busy for the limit
    kTooManyWaiting, // the waiting requests reached their cap
    kClientGone,     // the request's client went away while it waited
    kStopping,       // the gateway is stopping
};
const char* DescribeRefusal(LeaseRefusal refusal);

class ClientPool;

// A client taken from the pool for one request; it goes back when the
// lease ends.
class ClientLease {
public:
    ClientLease(ClientPool& pool, PooledClient& entry, ClientChoice choice, bool taken)
        : m_Pool(pool), m_Entry(entry), m_nLease(entry.lease), m_Choice(choice), m_bTaken(taken) {}
    ~ClientLease();
    ClientLease(const ClientLease&) = delete;
    ClientLease& operator=(const ClientLease&) = delete;

    ReadResult Read(const std::string& path, uint64_t position, unsigned char* buffer,
                    uint32_t length);
    // bytes of the body reached the reader's connection: credit for the lease.
    void Delivered(size_t bytes);
    // The file's size, once known, after a read; whether the read reached
    // its end (the transfer is over, and a jump costs no abort).
    void Note(uint64_t size, bool reachedEnd);
    // The reader went away before the end of its body (a player that
    // seeks): the stream is nobody's next bytes, and the keeper may renew
    // the client at once.
    void Abandon();
    int Number() const { return m_Entry.number; }
    ClientChoice Choice() const { return m_Choice; }
    // The client was taken from a slow reader for this lease.
    bool Taken() const { return m_bTaken; }
    int Restarts() const { return m_nSeeks; }

private:
    // Under the pool's mutex: the client is still this lease's.
    bool Holds() const { return m_Entry.lease == m_nLease; }

    ClientPool& m_Pool;
    PooledClient& m_Entry;
    const uint64_t m_nLease;
    ClientChoice m_Choice;
    bool m_bTaken;
    int m_nSeeks = 0;
};

struct SizeAnswer {
    int64_t size = -1;  // -1: none (the server has no such file, or it failed)
    int ftpError = 0;   // GetLastErrorCode: 0 when the server answered
};

class ClientPool {
public:
    // capacity: the client objects that read files, besides the one that
    // sizes and lists.
    ClientPool(const ConnectionSettings& settings, size_t capacity,
               const LeaseRules& rules = LeaseRules());
    ~ClientPool();
    ClientPool(const ClientPool&) = delete;
    ClientPool& operator=(const ClientPool&) = delete;

    // Null (and *refusal says why) when no client came free within the
    // limit, none could be made, too many requests wait already, the
    // request's client went away, or the pool stops.
    std::unique_ptr<ClientLease> Lease(const LeaseWish& wish, LeaseRefusal* refusal);
    // Starts the keeper: it logs in the sizing client and up to `ready`
    // reading clients, one after the other, then keeps one idle client ready.
    void Start(size_t ready);
    // Waiting requests end at once, and no new one waits.
    void Stop();

    SizeAnswer Size(const std::string& path);
    // The whole listing text; none when the library gave none, *ftpError
    // then says why (GetLastErrorCode).
    std::optional<std::string> List(const std::string& folder, const std::string& pattern,
                                     int* ftpError);

    // Whether the library gives version 2 of its interface (1.1 and later).
    static bool LibraryHasVersion2();

private:
    friend class ClientLease;

    IFtpClient2* MakeClient();
    // A new entry (no client object yet when the library gives none); under m_Mutex.
    PooledClient* AddEntry();
    void Return(PooledClient& entry, uint64_t lease);
    // The keeper thread: what Start asked, then a ready client kept.
    void Keep(size_t ready);
    // Under m_Mutex: the entry the keeper should prepare next, or null; *ends
    // tells whether its stream must be ended first.
    PooledClient* NextToPrepare(bool* ends);
    // Off m_Mutex: logs the entry's client in (after ending its stream).
    void Prepare(PooledClient& entry, bool ends);
    // A size asked only to log a client in, in the folder requests used last.
    void LogIn(IFtpClient2* client);
    // The best idle client for the request, or null; under m_Mutex.
    PooledClient* Choose(const LeaseWish& wish, ClientChoice* choice, bool* wait);
    // The busy client whose reader fell furthest behind, once its credit is
    // spent and no read runs on it; under m_Mutex.
    PooledClient* Overdue(std::chrono::steady_clock::time_point now);
    std::unique_ptr<ClientLease> Grant(PooledClient& entry, ClientChoice choice, bool taken,
                                       const LeaseWish& wish);
    // Off m_Mutex: ends the client's session, then lets the server count it
    // out before the next login (a per-address limit at its edge refuses a
    // login that comes first).
    void EndSession(IFtpClient2* client);

    const ConnectionSettings m_Settings;
    const size_t m_nCapacity;
    const LeaseRules m_Rules;

    std::mutex m_Mutex;
    std::condition_variable m_Returned;
    std::vector<std::unique_ptr<PooledClient>> m_Clients;
    uint64_t m_nLeases = 0;
    size_t m_nWaiting = 0;
    bool m_bStopping = false;
    std::string m_Folder = "/";  // of the path asked last: where a client logs in
    std::condition_variable m_KeeperWakes;
    std::thread m_Keeper;
    IFtpClient2* m_pLoggingIn = nullptr;  // the client the keeper logs in now

    std::mutex m_MetaMutex;
    IFtpClient2* m_pMetaClient = nullptr;
};
