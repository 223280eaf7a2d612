// A bare TCP client for testing the scripted server: plain plat:: socket
// calls and nothing of the server's own code, so the two do not share a bug.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

class RawClient {
public:
    enum class StreamEnd { Closed, Reset, TimedOut };

    RawClient();
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connect(uint16_t port);
    bool SendText(const std::string& text);
    // The bytes of one recv: empty on time-out, close or error.
    std::string ReceiveOnce(int timeoutMs);
    // One line including its CRLF; empty when none came in time.
    std::string ReceiveLine(int timeoutMs);
    // Everything until the peer ends the stream; how it ended goes to *end.
    std::string ReceiveAll(int timeoutMs, StreamEnd* end);
    void Close();

private:
    bool WaitReadable(int timeoutMs);
    bool WasReset();

    plat::SOCKET m_Socket;
    std::string m_Buffered;
};

// The port of a "227 ... (h1,h2,h3,h4,p1,p2)" reply, 0 when it has none.
uint16_t PortOfPasvReply(const std::string& reply);
