#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "Platform.h"
#include "TestSupport.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace {

sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = plat::inet_addr("127.0.0.1");
    address.sin_port = plat::htons(port);
    return address;
}

class SocketsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(plat::WSAStartup(0x0202), 0);
#ifndef _WIN32
        // The default action, which ends the process, is what a host has.
        signal(SIGPIPE, SIG_DFL);
#endif
    }
    void TearDown() override {
        for (plat::SOCKET s : {m_Listener, m_Client, m_Server}) {
            if (s != INVALID_SOCKET) plat::closesocket(s);
        }
        plat::WSACleanup();
    }

    uint16_t Listen() {
        m_Listener = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_NE(m_Listener, INVALID_SOCKET);
        sockaddr_in address = LoopbackAddress(0);
        EXPECT_EQ(plat::bind(m_Listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(plat::listen(m_Listener, 4), 0);
        int length = sizeof address;
        EXPECT_EQ(plat::getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        return plat::ntohs(address.sin_port);
    }

    void Connect() {
        m_Port = Listen();
        ConnectAnother(&m_Client, &m_Server);
    }

    // One more connection to the listener: its two ends.
    void ConnectAnother(plat::SOCKET* client, plat::SOCKET* server) {
        *client = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = LoopbackAddress(m_Port);
        ASSERT_EQ(plat::connect(*client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        *server = plat::accept(m_Listener, nullptr, nullptr);
        ASSERT_NE(*server, INVALID_SOCKET);
    }

    void CloseServerSide() {
        plat::closesocket(m_Server);
        m_Server = INVALID_SOCKET;
    }

    plat::SOCKET m_Listener = INVALID_SOCKET;
    plat::SOCKET m_Client = INVALID_SOCKET;
    plat::SOCKET m_Server = INVALID_SOCKET;
    uint16_t m_Port = 0;
};

TEST_F(SocketsTest, DataArrivesAndAnOrderlyCloseReadsAsZero) {
    Connect();
    ASSERT_EQ(plat::send(m_Client, "ping", 4, 0), 4);
    char buffer[8] = {};
    ASSERT_EQ(plat::recv(m_Server, buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::memcmp(buffer, "ping", 4), 0);
    CloseServerSide();
    EXPECT_EQ(plat::recv(m_Client, buffer, sizeof buffer, 0), 0);
}

// Without MSG_NOSIGNAL the second or a later send raises SIGPIPE and the
// default action ends this test program.
TEST_F(SocketsTest, SendToAClosedPeerFailsInsteadOfRaisingSigpipe) {
    Connect();
    CloseServerSide();
    const char data[1024] = {};
    int result = 0;
    for (int attempt = 0; attempt < 200 && result != SOCKET_ERROR; ++attempt) {
        result = plat::send(m_Client, data, sizeof data, 0);
        plat::Sleep(1);
    }
    ASSERT_EQ(result, SOCKET_ERROR);
    const int error = plat::WSAGetLastError();
    EXPECT_TRUE(error == WSAECONNRESET || error == WSAECONNABORTED) << error;
}

TEST_F(SocketsTest, RefusedConnectionGivesTheWinsockCode) {
    const uint16_t port = Listen();
    plat::closesocket(m_Listener);
    m_Listener = INVALID_SOCKET;
    m_Client = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = LoopbackAddress(port);
    EXPECT_EQ(plat::connect(m_Client, reinterpret_cast<sockaddr*>(&address), sizeof address),
              SOCKET_ERROR);
    EXPECT_EQ(plat::WSAGetLastError(), WSAECONNREFUSED);
}

TEST_F(SocketsTest, ReceiveTimeoutIsInMilliseconds) {
    Connect();
    const DWORD timeout = 300;
    ASSERT_EQ(plat::setsockopt(m_Client, SOL_SOCKET, SO_RCVTIMEO,
                               reinterpret_cast<const char*>(&timeout), sizeof timeout),
              0);
#ifndef _WIN32
    timeval applied = {};
    socklen_t length = sizeof applied;
    ::getsockopt(static_cast<int>(m_Client), SOL_SOCKET, SO_RCVTIMEO, &applied, &length);
    EXPECT_EQ(applied.tv_sec, 0);
    EXPECT_EQ(applied.tv_usec, 300000);
#endif
    const auto start = std::chrono::steady_clock::now();
    char buffer[4];
    EXPECT_EQ(plat::recv(m_Client, buffer, sizeof buffer, 0), SOCKET_ERROR);
    const int error = plat::WSAGetLastError();
    EXPECT_TRUE(error == WSAETIMEDOUT || error == WSAEWOULDBLOCK) << error;
    EXPECT_GE(plat_test::ElapsedMilliseconds(start), 250);
}

TEST_F(SocketsTest, DontRouteIsAcceptedWithoutEffect) {
    Connect();
    const int on = 1;
    EXPECT_EQ(plat::setsockopt(m_Client, SOL_SOCKET, SO_DONTROUTE,
                               reinterpret_cast<const char*>(&on), sizeof on),
              0);
#ifndef _WIN32
    int applied = -1;
    socklen_t length = sizeof applied;
    ::getsockopt(static_cast<int>(m_Client), SOL_SOCKET, SO_DONTROUTE, &applied, &length);
    EXPECT_EQ(applied, 0);
#endif
    EXPECT_EQ(plat::send(m_Client, "x", 1, 0), 1);
}

TEST_F(SocketsTest, LingerTakesTheWinsockLayout) {
    Connect();
    const plat::WinsockLinger linger = {1, 5};
    EXPECT_EQ(plat::setsockopt(m_Client, SOL_SOCKET, SO_LINGER,
                               reinterpret_cast<const char*>(&linger), sizeof linger),
              0);
#ifndef _WIN32
    ::linger applied = {};
    socklen_t length = sizeof applied;
    ::getsockopt(static_cast<int>(m_Client), SOL_SOCKET, SO_LINGER, &applied, &length);
    EXPECT_EQ(applied.l_onoff, 1);
    EXPECT_EQ(applied.l_linger, 5);
#endif
}

TEST_F(SocketsTest, SocketSetIgnoresDuplicatesAndOverflow) {
    plat::SocketSet set;
    set.Add(5);
    set.Add(5);
    EXPECT_EQ(set.Count(), 1);
    for (plat::SOCKET s = 100; s < 100 + plat::SocketSet::kCapacity; ++s) set.Add(s);
    EXPECT_EQ(set.Count(), plat::SocketSet::kCapacity);
    EXPECT_TRUE(set.Contains(5));
    EXPECT_FALSE(set.Contains(100 + plat::SocketSet::kCapacity - 1));
    set.Zero();
    EXPECT_FALSE(set.Contains(5));
}

TEST_F(SocketsTest, SelectLeavesOnlyReadySockets) {
    Connect();
    plat::SocketSet readable;
    readable.Add(m_Client);
    readable.Add(m_Server);
    EXPECT_EQ(plat::select(&readable, nullptr, nullptr, 0), 0);
    EXPECT_EQ(readable.Count(), 0);

    ASSERT_EQ(plat::send(m_Client, "x", 1, 0), 1);
    readable.Add(m_Client);
    readable.Add(m_Server);
    plat::SocketSet writable;
    writable.Add(m_Client);
    EXPECT_EQ(plat::select(&readable, &writable, nullptr, 5000), 2);
    EXPECT_EQ(readable.Count(), 1);
    EXPECT_TRUE(readable.Contains(m_Server));
    EXPECT_TRUE(writable.Contains(m_Client));
}

// Received bytes make one socket ready; the others are still looked at:
// a connection its peer closed (readable, nothing to read) is found beside
// it, a quiet one is not, and neither waits for the time-out.
TEST_F(SocketsTest, SelectFindsEveryReadySocketBesideOneWithBytes) {
    Connect();
    plat::SOCKET closing = INVALID_SOCKET, peer = INVALID_SOCKET;
    ConnectAnother(&closing, &peer);
    plat::closesocket(peer);
    ASSERT_EQ(plat::send(m_Server, "x", 1, 0), 1);

    plat::SocketSet readable;
    readable.Add(m_Client);  // one byte waiting
    readable.Add(closing);   // peer closed
    readable.Add(m_Server);  // quiet
    plat::SocketSet writable;
    writable.Add(m_Server);
    EXPECT_EQ(plat::select(&readable, &writable, nullptr, 5000), 3);
    EXPECT_EQ(readable.Count(), 2);
    EXPECT_TRUE(readable.Contains(m_Client));
    EXPECT_TRUE(readable.Contains(closing));
    EXPECT_TRUE(writable.Contains(m_Server));
    plat::closesocket(closing);
}

// One wait for "an event is set or a socket is ready": a set event wins
// over a ready socket (and an auto-reset one is taken), sockets are found
// as asked, and nothing ready times out.
TEST_F(SocketsTest, EventAndSocketWaitFindsWhatIsReady) {
    Connect();
    plat::HANDLE manual = plat::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    plat::HANDLE automatic = plat::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    plat::HANDLE events[2] = {manual, automatic};
    plat::SocketWait sockets[2] = {{m_Client, true, true, false, false},
                                   {m_Server, true, false, false, false}};
    EXPECT_EQ(plat::WaitForEventsAndSockets(2, events, &sockets[1], 1, 30), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(plat::WaitForEventsAndSockets(2, events, sockets, 2, 5000), plat::kWaitSocketsReady);
    EXPECT_TRUE(sockets[0].writable);
    EXPECT_FALSE(sockets[0].readable || sockets[1].readable);

    ASSERT_EQ(plat::send(m_Client, "x", 1, 0), 1);
    plat::SetEvent(automatic);
    EXPECT_EQ(plat::WaitForEventsAndSockets(2, events, sockets, 2, 5000), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(plat::WaitForEventsAndSockets(2, events, &sockets[1], 1, 5000), plat::kWaitSocketsReady);
    EXPECT_TRUE(sockets[1].readable);
    EXPECT_EQ(plat::WaitForEventsAndSockets(0, nullptr, &sockets[1], 1, 5000), plat::kWaitSocketsReady);
    plat::CloseHandle(manual);
    plat::CloseHandle(automatic);
}

// A SetEvent on another thread ends a wait on quiet sockets at once, each
// of many times: the wait is woken, never left to its time-out.
TEST_F(SocketsTest, EventSetOnAnotherThreadEndsASocketWait) {
    Connect();
    plat::HANDLE event = plat::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    plat::HANDLE seen = plat::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const int kRounds = 200;
    std::thread setter([&] {
        for (int i = 0; i < kRounds; ++i) {
            plat::SetEvent(event);
            if (plat::WaitForSingleObject(seen, 10000) != WAIT_OBJECT_0) return;
        }
    });
    int woken = 0;
    for (int i = 0; i < kRounds; ++i) {
        plat::SocketWait quiet = {m_Server, true, false, false, false};
        if (plat::WaitForEventsAndSockets(1, &event, &quiet, 1, 10000) != WAIT_OBJECT_0) break;
        ++woken;
        plat::ResetEvent(event);
        plat::SetEvent(seen);
    }
    plat::SetEvent(seen);
    setter.join();
    EXPECT_EQ(kRounds, woken);
    plat::CloseHandle(event);
    plat::CloseHandle(seen);
}

TEST_F(SocketsTest, ClosedConnectionIsReadable) {
    Connect();
    CloseServerSide();
    plat::SocketSet readable;
    readable.Add(m_Client);
    EXPECT_EQ(plat::select(&readable, nullptr, nullptr, 5000), 1);
}

TEST_F(SocketsTest, SelectRejectsAClosedSocketAndEmptySets) {
    plat::SOCKET closed = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    plat::closesocket(closed);
    plat::SocketSet set;
    set.Add(closed);
    EXPECT_EQ(plat::select(&set, nullptr, nullptr, 0), SOCKET_ERROR);
    EXPECT_EQ(plat::WSAGetLastError(), WSAENOTSOCK);

    plat::SocketSet empty;
    EXPECT_EQ(plat::select(&empty, nullptr, nullptr, 0), SOCKET_ERROR);
    EXPECT_EQ(plat::WSAGetLastError(), WSAEINVAL);
}

#ifndef _WIN32
// A host with many open files hands out descriptors beyond an fd_set.
TEST_F(SocketsTest, SelectHandlesDescriptorsBeyond1024) {
    const int kHighDescriptor = 1500;
    rlimit limit = {};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur <= static_cast<rlim_t>(kHighDescriptor)) {
        if (limit.rlim_max <= static_cast<rlim_t>(kHighDescriptor)) {
            GTEST_SKIP() << "descriptor limit too low";
        }
        limit.rlim_cur = kHighDescriptor + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    Connect();
    ASSERT_EQ(dup2(static_cast<int>(m_Server), kHighDescriptor), kHighDescriptor);
    plat::closesocket(m_Server);
    m_Server = kHighDescriptor;
    ASSERT_EQ(plat::send(m_Client, "x", 1, 0), 1);
    plat::SocketSet readable;
    readable.Add(m_Server);
    EXPECT_EQ(plat::select(&readable, nullptr, nullptr, 5000), 1);
    EXPECT_TRUE(readable.Contains(kHighDescriptor));
}

TEST_F(SocketsTest, UnbalancedCleanupFails) {
    plat::WSACleanup();
    EXPECT_EQ(plat::WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(plat::WSAGetLastError(), WSANOTINITIALISED);
    plat::WSAStartup(0x0202);
}
#endif

}  // namespace
