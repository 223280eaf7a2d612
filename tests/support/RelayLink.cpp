#include "RelayLink.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <thread>
#include <utility>

#include "PassiveReplies.h"

namespace relay {

namespace {

// Every wait is at most this long, so a stop request is seen promptly.
constexpr int kSliceMs = 20;
// A side is not read while this much of its bytes waits to go on (the
// network's window): a receiver that does not read slows its sender down.
constexpr size_t kMostQueuedBytes = 2u << 20;
constexpr size_t kReceiveBytes = 65536;
// A reply line longer than this is passed on without waiting for its end.
constexpr size_t kLongestHeldLine = 8192;
// A connection on which nothing moved this long is reset.
constexpr auto kIdleLimit = std::chrono::minutes(5);
// After a side went away, the other side's queued bytes get this long to
// leave before both are reset.
constexpr auto kDrainAfterBreak = std::chrono::seconds(2);

bool IsLoopback(uint32_t address) {
    unsigned char first = 0;
    std::memcpy(&first, &address, 1);
    return first == 127;
}

// The command word of a control line, upper case.
std::string VerbOf(const std::string& line) {
    std::string verb;
    for (char c : line) {
        if (c == ' ' || c == '\r' || c == '\n') break;
        verb += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return verb;
}

std::string UpperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

int MillisecondsUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) return 0;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(when - now).count();
    return static_cast<int>(std::min<int64_t>((left + 999) / 1000, kSliceMs));
}

}  // namespace

RelayLink::RelayLink(LinkKind kind, RelaySocket client, LinkContext context)
    : m_Kind(kind),
      m_Context(std::move(context)),
      m_Config(*m_Context.config),
      m_Client(std::move(client)),
      m_ToServer(ShapeOf(false), m_Context.seed * 2 + 1, false, &m_Client, &m_Server),
      m_ToClient(ShapeOf(true), m_Context.seed * 2 + 2, true, &m_Server, &m_Client),
      m_ResetAfter(kind == LinkKind::Data ? m_Context.faults().resetDataAfterBytes : RelayFaults::kNever),
      m_Buffer(kReceiveBytes) {}

DirectionShape RelayLink::ShapeOf(bool toClient) const {
    DirectionShape shape;
    shape.delayMs = m_Config.delayMs;
    shape.jitterMs = m_Config.jitterMs;
    shape.bytesPerSecond = m_Config.bytesPerSecond;
    if (m_Kind == LinkKind::Data) {
        shape.pieceBytes = m_Config.dataPieceBytes;
        shape.gapMs = m_Config.dataPieceGapMs;
    } else if (toClient && m_Config.replyPieceBytes > 0) {
        shape.pieceBytes = m_Config.replyPieceBytes;
        shape.gapMs = m_Config.replyPieceGapMs;
    }
    return shape;
}

void RelayLink::Run() {
    m_LastActivity = Clock::now();
    while (!m_Ended) {
        if (m_Context.stopping()) {
            CloseBoth();
            break;
        }
        Clock::time_point now = Clock::now();
        if (!m_Server.IsOpen() && now >= m_Context.connectAt && !ConnectServer()) break;
        PassEndsThatAreDue(now);
        if (m_Ended) break;
        if (Broken()) {
            // A side went away; the other learns it as a reset, as it would
            // from that side's system, once the way back has taken its time.
            Flow& other = m_ToServer.receiverGone ? m_ToClient : m_ToServer;
            if (now >= m_BrokenAt && (other.finished || other.queue.Empty() || now >= m_BrokenAt + kDrainAfterBreak)) {
                ResetBoth();
                break;
            }
        } else if (m_ToServer.finished && m_ToClient.finished) {
            CloseBoth();
            break;
        }
        if (now - m_LastActivity > kIdleLimit) {
            ResetBoth();
            break;
        }
        Step();
    }
}

bool RelayLink::ConnectServer() {
    if (m_Context.targetPort != 0) m_Server = RelaySocket::Connect(m_Context.targetAddress, m_Context.targetPort);
    if (!m_Server.IsOpen()) {
        // As the server's system answers when nothing listens.
        m_Client.Reset();
        m_Ended = true;
        return false;
    }
    (m_Kind == LinkKind::Control ? m_Context.counters->controlConnections : m_Context.counters->dataConnections)++;
    if (m_ResetAfter == 0) {
        m_Context.counters->dataResets++;
        ResetBoth();
        return false;
    }
    return true;
}

void RelayLink::PassEndsThatAreDue(Clock::time_point now) {
    for (Flow* flow : {&m_ToServer, &m_ToClient}) {
        // Before the server's connection exists, the client's end waits with its bytes.
        if (flow->finished || !flow->to->IsOpen() || !flow->queue.EndDue(now)) continue;
        if (flow->sourceReset) {
            ResetBoth();
            return;
        }
        flow->to->ShutdownSend();
        flow->finished = true;
    }
}

void RelayLink::Step() {
    Clock::time_point now = Clock::now();
    Clock::time_point wake = now + std::chrono::milliseconds(kSliceMs);
    plat::SocketSet readable;
    plat::SocketSet writable;
    for (Flow* flow : {&m_ToServer, &m_ToClient}) {
        if (flow->sourceOpen && flow->from->IsOpen() && flow->queue.QueuedBytes() < kMostQueuedBytes) {
            readable.Add(flow->from->Handle());
        }
        if (flow->finished) continue;
        if (!flow->to->IsOpen()) {
            wake = std::min(wake, m_Context.connectAt);
            continue;
        }
        Clock::time_point next = flow->queue.NextSendTime();
        if (next <= now) {
            writable.Add(flow->to->Handle());
        } else {
            wake = std::min(wake, next);
        }
        if (flow->queue.EndPushed()) wake = std::min(wake, flow->queue.EndDueTime());
    }
    if (Broken()) wake = std::min(wake, m_BrokenAt);
    int timeoutMs = MillisecondsUntil(wake, now);
    if (readable.Count() == 0 && writable.Count() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(timeoutMs, 1)));
        return;
    }
    int ready = plat::select(readable.Count() > 0 ? &readable : nullptr, writable.Count() > 0 ? &writable : nullptr,
                             nullptr, static_cast<plat::DWORD>(timeoutMs));
    if (ready == SOCKET_ERROR) {
        ResetBoth();
        return;
    }
    if (ready == 0) return;
    now = Clock::now();
    m_LastActivity = now;
    for (Flow* flow : {&m_ToServer, &m_ToClient}) {
        if (!m_Ended && flow->from->IsOpen() && readable.Contains(flow->from->Handle())) Receive(*flow, now);
    }
    for (Flow* flow : {&m_ToServer, &m_ToClient}) {
        if (!m_Ended && !flow->finished && flow->to->IsOpen() && writable.Contains(flow->to->Handle())) {
            SendPiece(*flow, now);
        }
    }
}

void RelayLink::Receive(Flow& flow, Clock::time_point now) {
    int count = flow.from->Receive(m_Buffer.data(), static_cast<int>(m_Buffer.size()));
    if (count > 0) {
        if (!flow.finished) Take(flow, m_Buffer.data(), static_cast<size_t>(count), now);
        return;
    }
    // The way back is still open unless its end was passed on: only then
    // does the probe tell a reset from an orderly end.
    bool reset = count < 0 || (!Other(flow).finished && flow.from->PeerReset());
    flow.sourceOpen = false;
    flow.sourceReset = reset;
    if (!flow.unfinishedLine.empty()) {
        flow.queue.Push(std::move(flow.unfinishedLine), now);
        flow.unfinishedLine.clear();
    }
    flow.queue.PushEnd(now);
}

void RelayLink::Take(Flow& flow, const char* bytes, size_t length, Clock::time_point now) {
    // Without rewriting (port-range mode, where TLS may cover the control
    // connection) replies are not held back for their line ends.
    if (m_Kind == LinkKind::Data || (flow.toClient && !m_Context.openDataRoute)) {
        flow.queue.Push(std::string(bytes, length), now);
        return;
    }
    flow.unfinishedLine.append(bytes, length);
    if (flow.toClient) {
        TakeReplies(flow, now);
    } else {
        TakeCommands(flow, now);
    }
}

// Whole lines only, so that a passive reply is rewritten in one piece
// however the server's segments cut it.
void RelayLink::TakeReplies(Flow& flow, Clock::time_point now) {
    std::string& pending = flow.unfinishedLine;
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        flow.queue.Push(WithRelayDataPort(pending.substr(start, end + 1 - start)), now);
    }
    pending.erase(0, start);
    if (pending.size() > kLongestHeldLine) {
        flow.queue.Push(std::move(pending), now);
        pending.clear();
    }
}

void RelayLink::TakeCommands(Flow& flow, Clock::time_point now) {
    const std::string closeVerb = UpperCase(m_Context.faults().closeControlOnVerb);
    std::string& pending = flow.unfinishedLine;
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = pending.substr(start, end + 1 - start);
        if (!closeVerb.empty() && VerbOf(line) == closeVerb) {
            m_Context.counters->controlCloses++;
            CloseBoth();
            return;
        }
        flow.queue.Push(std::move(line), now);
    }
    pending.erase(0, start);
    // Without a verb to watch for, a line goes on as it comes.
    if (closeVerb.empty() || pending.size() > kLongestHeldLine) {
        flow.queue.Push(std::move(pending), now);
        pending.clear();
    }
}

std::string RelayLink::WithRelayDataPort(const std::string& line) {
    uint32_t address = 0;
    uint16_t port = 0;
    bool extended = false;
    if (ReadPassiveReply(line, &address, &port)) {
        // Only servers on this machine are relayed.
        if (!IsLoopback(address)) address = m_Context.serverAddress;
    } else if (ReadExtendedPassiveReply(line, &port)) {
        address = m_Context.serverAddress;
        extended = true;
    } else {
        return line;
    }
    uint16_t relayPort = m_Context.openDataRoute(address, port);
    if (relayPort == 0) return line;
    m_Context.counters->passiveRepliesRewritten++;
    return extended ? RewriteExtendedPassiveReply(line, relayPort)
                    : RewritePassiveReply(line, m_Context.relayAddress, relayPort);
}

void RelayLink::SendPiece(Flow& flow, Clock::time_point now) {
    const bool counted = flow.toClient && m_ResetAfter != RelayFaults::kNever;
    size_t limit = counted ? m_ResetAfter - m_DeliveredToClient : static_cast<size_t>(-1);
    std::string piece = flow.queue.Piece(now, limit);
    if (piece.empty()) return;
    int sent = flow.to->Send(piece.data(), static_cast<int>(piece.size()));
    if (sent > 0) {
        flow.queue.Sent(static_cast<size_t>(sent), now);
        Count(flow, static_cast<size_t>(sent));
        if (counted) {
            m_DeliveredToClient += static_cast<size_t>(sent);
            if (m_DeliveredToClient >= m_ResetAfter) {
                m_Context.counters->dataResets++;
                ResetBoth();
            }
        }
        return;
    }
    int error = plat::WSAGetLastError();
    if (error == WSAETIMEDOUT || error == WSAEWOULDBLOCK) return;  // a slow reader: again later
    flow.receiverGone = true;
    flow.finished = true;
    flow.queue.Discard();
    m_BrokenAt = std::min(m_BrokenAt, now + std::chrono::milliseconds(m_Config.delayMs));
}

void RelayLink::Count(const Flow& flow, size_t bytes) {
    RelayCounters& counters = *m_Context.counters;
    if (m_Kind == LinkKind::Data) {
        (flow.toClient ? counters.dataToClient : counters.dataToServer) += bytes;
    } else {
        (flow.toClient ? counters.controlToClient : counters.controlToServer) += bytes;
    }
}

void RelayLink::CloseBoth() {
    m_Client.Close();
    m_Server.Close();
    m_Ended = true;
}

void RelayLink::ResetBoth() {
    m_Client.Reset();
    m_Server.Reset();
    m_Ended = true;
}

}  // namespace relay
