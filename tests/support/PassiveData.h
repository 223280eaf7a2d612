// The server's side of one passive data connection: a listener on 127.0.0.1
// whose port goes into a 227 reply, and at most one plan for the connection
// the client opens to it. A plan runs on its own thread, so the control
// script goes on meanwhile and sequences itself with the Wait calls (for
// example "everything sent" before replying "226 ").
//
// To never accept, start no plan: the client's connect still succeeds (the
// system completes it in the backlog) and nothing more happens.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "ScriptContext.h"
#include "TimedSocket.h"

namespace scripted {

// What happens to the data connection once a plan has done its part.
enum class DataEnd {
    Close,     // orderly close
    KeepOpen,  // neither send nor close until Close()/Reset() or the server stops
    Reset,     // abortive close: the client sees a reset
};

constexpr size_t kWholeStream = static_cast<size_t>(-1);

struct DataSendPlan {
    std::string bytes;
    size_t chunkSize = 0;  // 0: as the socket takes them
    int pauseMsBetweenChunks = 0;
    size_t bytesPerSecond = 0;            // 0: no rate limit
    size_t endAfterBytes = kWholeStream;  // end early after this many bytes
    DataEnd end = DataEnd::Close;
};

struct DataReceivePlan {
    size_t endAfterBytes = kWholeStream;  // kWholeStream: until the client closes
    DataEnd end = DataEnd::Close;         // applied when endAfterBytes arrived
    // Once accepted, nothing is read for this long; whether bytes or an end
    // came meanwhile is kept (InputCameEarly).
    int quietFirstMs = 0;
};

class PassiveData {
public:
    explicit PassiveData(const ScriptContext& context);
    ~PassiveData();
    PassiveData(const PassiveData&) = delete;
    PassiveData& operator=(const PassiveData&) = delete;

    bool IsListening() const { return m_Port != 0; }
    uint16_t Port() const { return m_Port; }
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2).\r\n" with this port;
    // another address makes a hostile server's reply.
    std::string PasvReply(const std::string& announcedAddress = "127.0.0.1") const;

    // A hostile server's decoy: a listener at another loopback address with
    // this port that accepts every connection and closes it at once, until
    // the data side ends. Start it before the 227 that announces it.
    void StartDecoyAt(const std::string& address);
    size_t DecoyConnections() const { return m_DecoyConnections.load(); }

    // Accept, then send.
    void StartSending(DataSendPlan plan);
    // Accept, then receive (all of it, or endAfterBytes and then the end).
    void StartReceiving(DataReceivePlan plan = DataReceivePlan());
    // Accept, then neither send, read nor close.
    void StartHolding();

    // Ends the data side now, whatever it is doing: a running send stops,
    // a held connection closes, a listener nobody reached goes away.
    void Close();
    void Reset();
    // Close, then wait for the plan's thread to end.
    void Shutdown();

    bool WaitAccepted(int timeoutMs = kDefaultTimeout);
    // The plan did its part: all bytes sent (or the client went away), or
    // the receiving ended, and the end was applied (KeepOpen: before holding).
    bool WaitDone(int timeoutMs = kDefaultTimeout);

    std::string Received() const;
    size_t BytesSent() const;
    // The client closed or reset its end while a plan ran.
    bool ClientClosed() const;
    // The receive plan's quiet time is over, and whether bytes or an end
    // came within it.
    bool WaitQuietTimeOver(int timeoutMs = kDefaultTimeout);
    bool InputCameEarly() const { return m_InputCameEarly.load(); }

private:
    enum class Request { None, Close, Reset };
    using Transfer = std::function<DataEnd()>;

    void Start(const char* what, Transfer transfer);
    void RunDecoy();
    void Run(const Transfer& transfer);
    bool AcceptClient();
    DataEnd SendPlanned(const DataSendPlan& plan);
    bool PauseBetweenChunks(const DataSendPlan& plan, size_t sentSoFar,
                            std::chrono::steady_clock::time_point start);
    DataEnd ReceivePlanned(const DataReceivePlan& plan);
    void EndWith(DataEnd end);
    void Ask(Request request);
    bool Interrupted() const;
    void NoteClientGone(const std::string& how, size_t bytes);
    void SetFlag(bool PassiveData::*flag);

    ScriptContext m_Context;
    const StopCheck m_Interrupted;
    TimedSocket m_Listener;
    TimedSocket m_Data;
    uint16_t m_Port;
    std::thread m_Thread;
    std::atomic<Request> m_Request;
    std::atomic<bool> m_InputCameEarly{false};
    TimedSocket m_DecoyListener;
    std::thread m_DecoyThread;
    std::atomic<size_t> m_DecoyConnections{0};

    mutable std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Started = false;
    bool m_Accepted = false;
    bool m_Done = false;
    bool m_QuietTimeOver = false;
    bool m_ClientClosed = false;
    std::string m_Received;
    size_t m_BytesSent = 0;
};

}  // namespace scripted
