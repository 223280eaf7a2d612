// A bare TCP client for testing the scripted server and the relay: plain
// plat:: socket calls and nothing of their own code, so they do not share a
// bug; with the test data and the socket-layer fixture both tests use.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Platform.h"

// Data whose every offset is told apart from its neighbours and from the
// same offset a block further on.
std::string PatternBytes(size_t size);

// A test that talks over sockets: the socket layer is started around it.
class SocketTest : public ::testing::Test {
protected:
    void SetUp() override { plat::WSAStartup(0x0202); }
    void TearDown() override { plat::WSACleanup(); }
};

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
