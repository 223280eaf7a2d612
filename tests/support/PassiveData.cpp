#include "PassiveData.h"

#include <algorithm>
#include <utility>

namespace scripted {

namespace {

// With a rate limit and no chunk size, this many pieces go out per second.
constexpr size_t kRatePiecesPerSecond = 50;
constexpr int kHoldSliceMs = 5 * Deadline::kSliceMs;

size_t ChunkSize(const DataSendPlan& plan, size_t total) {
    if (plan.chunkSize > 0) return plan.chunkSize;
    if (plan.bytesPerSecond > 0) return std::max<size_t>(plan.bytesPerSecond / kRatePiecesPerSecond, 1);
    return std::max<size_t>(total, 1);
}

}  // namespace

PassiveData::PassiveData(const ScriptContext& context)
    : m_Context(context),
      m_Interrupted([this] { return Interrupted(); }),
      m_Listener(TimedSocket::ListenOnLoopback()),
      m_Port(m_Listener.IsOpen() ? m_Listener.LocalPort() : 0),
      m_Request(Request::None) {}

PassiveData::~PassiveData() {
    Shutdown();
}

void PassiveData::Shutdown() {
    Ask(Request::Close);
    if (m_Thread.joinable()) m_Thread.join();
    if (m_DecoyThread.joinable()) m_DecoyThread.join();
}

void PassiveData::StartDecoyAt(const std::string& address) {
    m_DecoyListener = TimedSocket::ListenOnLoopback(address.c_str(), m_Port);
    if (!m_DecoyListener.IsOpen()) {
        m_Context.Fail("no decoy listener at " + address + ":" + std::to_string(m_Port));
        return;
    }
    m_DecoyThread = std::thread([this] { RunDecoy(); });
}

void PassiveData::RunDecoy() {
    while (!Interrupted()) {
        TimedSocket caller = m_DecoyListener.Accept(Deadline::kSliceMs, m_Interrupted);
        if (!caller.IsOpen()) continue;
        ++m_DecoyConnections;
        m_Context.Note("decoy " + std::to_string(m_Port) + ": accepted and closed");
        caller.Close();
    }
    m_DecoyListener.Close();
}

std::string PassiveData::PasvReply(const std::string& announcedAddress) const {
    std::string hostPart = announcedAddress;
    std::replace(hostPart.begin(), hostPart.end(), '.', ',');
    return "227 Entering Passive Mode (" + hostPart + "," + std::to_string(m_Port / 256) + "," +
           std::to_string(m_Port % 256) + ").\r\n";
}

void PassiveData::StartSending(DataSendPlan plan) {
    Start("send", [this, plan] { return SendPlanned(plan); });
}

void PassiveData::StartReceiving(DataReceivePlan plan) {
    Start("receive", [this, plan] { return ReceivePlanned(plan); });
}

void PassiveData::StartHolding() {
    Start("hold", [] { return DataEnd::KeepOpen; });
}

void PassiveData::Start(const char* what, Transfer transfer) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Started || m_Request != Request::None || !IsListening()) {
        m_Context.Fail(std::string("data plan '") + what +
                       "' refused: a plan already ran or the side is closed");
        return;
    }
    m_Started = true;
    m_Thread = std::thread([this, transfer] { Run(transfer); });
}

void PassiveData::Run(const Transfer& transfer) {
    try {
        EndWith(AcceptClient() ? transfer() : DataEnd::Close);
    } catch (...) {
        m_Context.Fail("data side stopped by an exception");
        m_Data.Reset();
    }
    SetFlag(&PassiveData::m_Done);
}

bool PassiveData::AcceptClient() {
    m_Data = m_Listener.Accept(m_Context.timeoutMs, m_Interrupted);
    // One connection per passive reply, as real servers do.
    m_Listener.Close();
    if (!m_Data.IsOpen()) {
        if (!Interrupted()) {
            m_Context.Fail("no data connection to port " + std::to_string(m_Port) + " within " +
                           std::to_string(m_Context.timeoutMs) + " ms");
        }
        return false;
    }
    m_Context.Note("data " + std::to_string(m_Port) + ": accepted");
    SetFlag(&PassiveData::m_Accepted);
    return true;
}

DataEnd PassiveData::SendPlanned(const DataSendPlan& plan) {
    const size_t total = std::min(plan.bytes.size(), plan.endAfterBytes);
    const size_t chunkSize = ChunkSize(plan, total);
    const auto start = std::chrono::steady_clock::now();
    size_t offset = 0;
    while (offset < total) {
        size_t sent = 0;
        SendResult result = m_Data.SendAll(plan.bytes.data() + offset, std::min(chunkSize, total - offset),
                                           m_Context.timeoutMs, m_Interrupted, &sent);
        offset += sent;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_BytesSent = offset;
        }
        if (result == SendResult::PeerGone) NoteClientGone("went away", offset);
        if (result == SendResult::TimedOut) {
            m_Context.Fail("data " + std::to_string(m_Port) + ": the client took nothing for " +
                           std::to_string(m_Context.timeoutMs) + " ms after " + std::to_string(offset) +
                           " bytes");
        }
        if (result != SendResult::Complete || !PauseBetweenChunks(plan, offset, start)) break;
    }
    m_Context.Note("data " + std::to_string(m_Port) + ": sent " + std::to_string(offset) + " of " +
                   std::to_string(plan.bytes.size()) + " bytes");
    return plan.end;
}

bool PassiveData::PauseBetweenChunks(const DataSendPlan& plan, size_t sentSoFar,
                                     std::chrono::steady_clock::time_point start) {
    if (sentSoFar >= std::min(plan.bytes.size(), plan.endAfterBytes)) return true;
    if (plan.pauseMsBetweenChunks > 0 && !SleepUnless(plan.pauseMsBetweenChunks, m_Interrupted)) return false;
    if (plan.bytesPerSecond == 0) return true;
    auto due =
        start + std::chrono::milliseconds(static_cast<uint64_t>(sentSoFar) * 1000 / plan.bytesPerSecond);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    return wait.count() <= 0 || SleepUnless(static_cast<int>(wait.count()), m_Interrupted);
}

DataEnd PassiveData::ReceivePlanned(const DataReceivePlan& plan) {
    char buffer[16384];
    size_t received = 0;
    if (plan.quietFirstMs > 0) {
        if (!SleepUnless(plan.quietFirstMs, m_Interrupted)) return DataEnd::Close;
        m_InputCameEarly = m_Data.WaitReadable(0, m_Interrupted) == WaitResult::Ready;
        SetFlag(&PassiveData::m_QuietTimeOver);
    }
    while (received < plan.endAfterBytes) {
        WaitResult wait = m_Data.WaitReadable(m_Context.timeoutMs, m_Interrupted);
        if (wait == WaitResult::TimedOut) {
            m_Context.Fail("data " + std::to_string(m_Port) + ": nothing received for " +
                           std::to_string(m_Context.timeoutMs) + " ms after " + std::to_string(received) +
                           " bytes");
        }
        if (wait != WaitResult::Ready) return DataEnd::Close;
        int wanted = static_cast<int>(std::min(sizeof buffer, plan.endAfterBytes - received));
        int count = m_Data.ReceiveSome(buffer, wanted);
        if (count <= 0) {
            NoteClientGone(count == 0 ? "closed" : "reset", received);
            return DataEnd::Close;
        }
        received += static_cast<size_t>(count);
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Received.append(buffer, static_cast<size_t>(count));
    }
    m_Context.Note("data " + std::to_string(m_Port) + ": received " + std::to_string(received) + " bytes");
    return plan.end;
}

void PassiveData::EndWith(DataEnd end) {
    if (end == DataEnd::KeepOpen) {
        SetFlag(&PassiveData::m_Done);
        while (SleepUnless(kHoldSliceMs, m_Interrupted)) {
        }
    }
    bool reset = m_Request == Request::Reset || (m_Request == Request::None && end == DataEnd::Reset);
    if (!m_Data.IsOpen()) return;
    m_Context.Note("data " + std::to_string(m_Port) + (reset ? ": reset" : ": closed"));
    if (reset) {
        m_Data.Reset();
    } else {
        m_Data.Close();
    }
}

void PassiveData::Close() {
    Ask(Request::Close);
}

void PassiveData::Reset() {
    Ask(Request::Reset);
}

void PassiveData::Ask(Request request) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Request == Request::None) m_Request = request;
    if (!m_Started) {
        m_Listener.Close();
        m_Done = true;
    }
    m_Changed.notify_all();
}

bool PassiveData::Interrupted() const {
    return m_Request != Request::None || m_Context.stopping->load();
}

void PassiveData::NoteClientGone(const std::string& how, size_t bytes) {
    m_Context.Note("data " + std::to_string(m_Port) + ": the client " + how + " after " +
                   std::to_string(bytes) + " bytes");
    SetFlag(&PassiveData::m_ClientClosed);
}

void PassiveData::SetFlag(bool PassiveData::*flag) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    this->*flag = true;
    m_Changed.notify_all();
}

bool PassiveData::WaitAccepted(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Changed.wait_for(lock, std::chrono::milliseconds(m_Context.Limit(timeoutMs)),
                       [this] { return m_Accepted || m_Done; });
    return m_Accepted;
}

bool PassiveData::WaitDone(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Changed.wait_for(lock, std::chrono::milliseconds(m_Context.Limit(timeoutMs)),
                              [this] { return m_Done; });
}

bool PassiveData::WaitQuietTimeOver(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Changed.wait_for(lock, std::chrono::milliseconds(m_Context.Limit(timeoutMs)),
                       [this] { return m_QuietTimeOver || m_Done; });
    return m_QuietTimeOver;
}

std::string PassiveData::Received() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Received;
}

size_t PassiveData::BytesSent() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_BytesSent;
}

bool PassiveData::ClientClosed() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_ClientClosed;
}

}  // namespace scripted
