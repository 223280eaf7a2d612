// Connecting (direct, bound, raced), command lines, elapsed time and the
// registry's bind address.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <string>

#include "tests/integration/TestHost.h"
#include "session/CFtpClientThread.h"
#include "session/NetworkPrimitives.h"
#include "session/RemotePath.h"

namespace {

// A listening socket on 127.0.0.1 with a port of the system's choosing.
class Listener {
public:
    explicit Listener(int backlog = 64) {
        m_Socket = plat::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = plat::inet_addr("127.0.0.1");
        plat::bind(m_Socket, (sockaddr*)&address, sizeof address);
        plat::listen(m_Socket, backlog);
        int length = sizeof address;
        plat::getsockname(m_Socket, (sockaddr*)&address, &length);
        m_nPort = plat::ntohs(address.sin_port);
    }
    ~Listener() { plat::closesocket(m_Socket); }
    uint16_t Port() const { return m_nPort; }
    plat::SOCKET Accept() { return plat::accept(m_Socket, nullptr, nullptr); }

private:
    plat::SOCKET m_Socket;
    uint16_t m_nPort;
};

// A port nothing listens on: bound once, then closed.
uint16_t RefusedPort() {
    Listener listener;
    return listener.Port();
}

std::string ReceiveAll(plat::SOCKET s, size_t expected) {
    std::string text;
    char buffer[4096];
    while (text.size() < expected) {
        int received = plat::recv(s, buffer, sizeof buffer, 0);
        if (received <= 0) break;
        text.append(buffer, (size_t)received);
    }
    return text;
}

}  // namespace

TEST(ConnectToServer, RefusedDirectConnectFailsAtOnce) {
    char address[260] = "127.0.0.1";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(INVALID_SOCKET, ConnectToServer(address, RefusedPort(), nullptr, nullptr, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(ConnectToServer, DirectAndBoundConnectsSucceed) {
    Listener listener;
    char address[260] = "127.0.0.1";
    plat::SOCKET direct = ConnectToServer(address, listener.Port(), "", nullptr, 0);
    ASSERT_NE(INVALID_SOCKET, direct);
    // Bound to a local address, with the don't-route option that must not
    // keep the connection from reaching its server.
    plat::SOCKET bound = ConnectToServer(address, listener.Port(), "127.0.0.1", nullptr, 0);
    ASSERT_NE(INVALID_SOCKET, bound);
    sockaddr_in local = {};
    int length = sizeof local;
    plat::getsockname(bound, (sockaddr*)&local, &length);
    EXPECT_EQ(plat::inet_addr("127.0.0.1"), local.sin_addr.s_addr);
    plat::closesocket(direct);
    plat::closesocket(bound);
}

TEST(ConnectToServer, RaceWonBySecondAddressRemembersIt) {
    Listener listener;  // listens on 127.0.0.1 only: 127.0.0.2 is refused
    char address[260] = "127.0.0.2";
    plat::SOCKET s = ConnectToServer(address, listener.Port(), nullptr, "127.0.0.1", listener.Port());
    ASSERT_NE(INVALID_SOCKET, s);
    EXPECT_STREQ("127.0.0.1", address);
    plat::closesocket(s);
}

// Both addresses refuse: nothing can win, so the race ends without waiting
// for its limit.
TEST(ConnectToServer, RaceEndsAtOnceWhenBothAddressesRefuse) {
    SetConnectRaceLimitForTesting(20000);
    uint16_t port = RefusedPort();
    char address[260] = "127.0.0.1";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(INVALID_SOCKET, ConnectToServer(address, port, nullptr, "127.0.0.2", port));
    auto waited = std::chrono::steady_clock::now() - start;
    SetConnectRaceLimitForTesting(0);
    EXPECT_LT(waited, std::chrono::seconds(15));
    EXPECT_STREQ("127.0.0.1", address);
}

// One address refuses, the other never answers (a listener whose one-place
// queue is taken drops further connection requests): the limit ends it.
TEST(ConnectToServer, RaceWithNoAnswerEndsAtTheLimit) {
    SetConnectRaceLimitForTesting(300);
    Listener silent(0);
    char address[260] = "127.0.0.1";
    plat::SOCKET queued = ConnectToServer(address, silent.Port(), nullptr, nullptr, 0);
    ASSERT_NE(INVALID_SOCKET, queued);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(INVALID_SOCKET,
              ConnectToServer(address, silent.Port(), nullptr, "127.0.0.2", silent.Port()));
    auto waited = std::chrono::steady_clock::now() - start;
    SetConnectRaceLimitForTesting(0);
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_STREQ("127.0.0.1", address);
    plat::closesocket(queued);
}

TEST(ConnectToServer, RepeatedRacesLeaveNoStrayWinner) {
    Listener listener;
    for (int i = 0; i < 10; ++i) {
        char address[260] = "127.0.0.1";
        plat::SOCKET s =
            ConnectToServer(address, listener.Port(), nullptr, "127.0.0.1", listener.Port());
        ASSERT_NE(INVALID_SOCKET, s);
        plat::closesocket(s);
    }
}

TEST(SendCommand, LinesOnTheControlConnection) {
    Listener listener;
    testhost::Client client;
    CFtpClientThread* session = new CFtpClientThread(client.get(), &client->m_Operation);
    EXPECT_FALSE(session->SendCommand("NOOP"));  // no control connection yet

    char address[260] = "127.0.0.1";
    session->m_Control.Attach(ConnectToServer(address, listener.Port(), nullptr, nullptr, 0));
    plat::SOCKET server = listener.Accept();
    EXPECT_TRUE(session->SendCommand(""));
    std::string longText(200000, 'x');
    EXPECT_TRUE(session->SendCommand(longText.c_str()));
    EXPECT_FALSE(session->SendCommand("USER a\r\nDELE b"));
    std::string received = ReceiveAll(server, 2 + longText.size() + 2);
    EXPECT_EQ("\r\n" + longText + "\r\n", received);

    session->m_Control.Close();
    plat::closesocket(server);
    session->ReleaseRef();
}

// On the tick count a test offset still moves limits forward, but a clock
// set back leaves a running limit running instead of firing it.
TEST(TimeLimits, TickCountLimitsMoveForwardOnly) {
    const uint64_t start = plat::GetTickCount64();
    plat::SetClockOffsetForTesting(120001);
    EXPECT_TRUE(IsOverLimit(start, 120000));
    plat::SetClockOffsetForTesting(-5000);
    EXPECT_FALSE(IsOverLimit(start, 120000));
    EXPECT_FALSE(IsOverLimit(start, 0));
    plat::SetClockOffsetForTesting(0);
    EXPECT_FALSE(IsOverLimit(start, 120000));
}

TEST(RemotePath, SplitsIntoDirectoryAndName) {
    RemotePathParts parts;
    SplitRemotePath("/file.bin", &parts);
    EXPECT_STREQ("/", parts.directory);
    EXPECT_STREQ("file.bin", parts.fileName);
    SplitRemotePath("/x/y/z/file.bin", &parts);
    EXPECT_STREQ("/x/y/z", parts.directory);
    EXPECT_STREQ("file.bin", parts.fileName);
    SplitRemotePath("a.ts", &parts);  // a bare name lands in the root, whole
    EXPECT_STREQ("/", parts.directory);
    EXPECT_STREQ("a.ts", parts.fileName);
    EXPECT_EQ(-1, FindCwdSplit("/a"));
    EXPECT_EQ(4, FindCwdSplit("/x/y/z"));
}

// ---- The registry's bind address ---------------------------------------------

namespace {

const char kBindKey[] = "SOFTWARE\\Pellacorde\\Ravelline\\Setting\\Bind";

// Sets HostIP to a value of the given type and bytes, or removes it (null).
class HostIpSetting {
public:
    HostIpSetting() {
#ifndef _WIN32
        // Of this process: test processes run side by side.
        m_Path = testing::TempDir() + "ftpclient-registry-test-" + std::to_string(getpid()) +
                 ".reg";
        setenv("FTPCLIENT_REGISTRY", m_Path.c_str(), 1);
#endif
    }
    ~HostIpSetting() {
        Remove();
#ifndef _WIN32
        unsetenv("FTPCLIENT_REGISTRY");
#endif
    }
    void SetDword(uint32_t value) {
#ifdef _WIN32
        Write(REG_DWORD, &value, sizeof value);
#else
        char line[64];
        snprintf(line, sizeof line, "\"HostIP\"=dword:%08x\n", value);
        WriteFile(line);
#endif
    }
    void SetThreeBytes() {
#ifdef _WIN32
        const BYTE bytes[3] = {127, 0, 0};
        Write(REG_BINARY, bytes, 3);
#else
        WriteFile("\"HostIP\"=hex:7f,00,00\n");
#endif
    }
    void Remove() {
#ifdef _WIN32
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBindKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, "HostIP");
            RegCloseKey(key);
        }
#else
        remove(m_Path.c_str());
#endif
    }

private:
#ifdef _WIN32
    void Write(DWORD type, const void* data, DWORD size) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBindKey, 0, nullptr, 0,
                                                 KEY_SET_VALUE, nullptr, &key, nullptr));
        RegSetValueExA(key, "HostIP", 0, type, (const BYTE*)data, size);
        RegCloseKey(key);
    }
#else
    void WriteFile(const char* valueLine) {
        FILE* file = fopen(m_Path.c_str(), "w");
        ASSERT_NE(nullptr, file);
        fprintf(file, "[HKEY_LOCAL_MACHINE\\%s]\n%s", kBindKey, valueLine);
        fclose(file);
    }
    std::string m_Path;
#endif
};

}  // namespace

TEST(GetBindAddress, PresentAbsentAndMalformed) {
    HostIpSetting setting;
    EXPECT_EQ(0u, GetBindAddress());
    setting.SetDword(plat::inet_addr("127.0.0.1"));
    EXPECT_EQ(plat::inet_addr("127.0.0.1"), GetBindAddress());
    setting.SetThreeBytes();
    EXPECT_EQ(0u, GetBindAddress());
    setting.Remove();
    EXPECT_EQ(0u, GetBindAddress());
}

TEST(GetBindAddress, ConnectionsBindToHostIp) {
    HostIpSetting setting;
    setting.SetDword(plat::inet_addr("127.0.0.3"));
    Listener listener;  // on 127.0.0.1
    char address[260] = "127.0.0.1";
    plat::SOCKET s = ConnectToServer(address, listener.Port(), nullptr, nullptr, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    sockaddr_in local = {};
    int length = sizeof local;
    plat::getsockname(s, (sockaddr*)&local, &length);
    EXPECT_EQ(plat::inet_addr("127.0.0.3"), local.sin_addr.s_addr);
    plat::closesocket(s);
}
