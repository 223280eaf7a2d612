// An owned TCP socket of the scripted server whose every blocking step has a
// time limit and gives way to a stop request. Built only on the plat:: calls,
// so the same code serves the Linux build and the Windows build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Deadline.h"
#include "platform/Platform.h"

namespace scripted {

enum class WaitResult { Ready, TimedOut, Stopped, Failed };
enum class SendResult { Complete, PeerGone, TimedOut, Stopped };

class TimedSocket {
public:
    TimedSocket() = default;
    explicit TimedSocket(plat::SOCKET socket);
    ~TimedSocket();
    TimedSocket(TimedSocket&& other) noexcept;
    TimedSocket& operator=(TimedSocket&& other) noexcept;
    TimedSocket(const TimedSocket&) = delete;
    TimedSocket& operator=(const TimedSocket&) = delete;

    // A listener on a loopback address (by default 127.0.0.1 with a port
    // chosen by the system); not open when that failed.
    static TimedSocket ListenOnLoopback(const char* host = "127.0.0.1", uint16_t port = 0);

    bool IsOpen() const { return m_Socket != INVALID_SOCKET; }
    uint16_t LocalPort() const;

    WaitResult WaitReadable(int timeoutMs, const StopCheck& stop) const;
    // The next client of a listener; not open on time-out, stop or error.
    TimedSocket Accept(int timeoutMs, const StopCheck& stop) const;
    // plat::recv: the byte count, 0 after an orderly close, SOCKET_ERROR.
    int ReceiveSome(char* buffer, int capacity);
    // Sends all bytes unless the peer goes away, the time runs out or stop
    // says so; *sent tells how many went out.
    SendResult SendAll(const char* data, size_t length, int timeoutMs, const StopCheck& stop, size_t* sent);

    // Orderly: FIN first, then whatever the peer had sent is read and
    // dropped, because closing with unread bytes would send a reset instead.
    void Close();
    // Abortive: SO_LINGER with time 0, so the peer sees a reset.
    void Reset();

private:
    WaitResult WaitFor(bool writable, int timeoutMs, const StopCheck& stop) const;
    void DiscardPendingInput();

    plat::SOCKET m_Socket = INVALID_SOCKET;
};

}  // namespace scripted
