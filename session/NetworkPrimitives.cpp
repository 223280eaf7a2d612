#include "session/NetworkPrimitives.h"

#include <atomic>
#include <limits.h>
#include <memory>
#include <mutex>
#include <string.h>

#include "platform/Threads.h"
#include "session/FieldSizes.h"
#include "session/RegistryValues.h"

namespace {

const char kBindKey[] = "SOFTWARE\\Pellacorde\\Ravelline\\Setting\\Bind";
const plat::DWORD kSocketTimeoutMs = 2000;

std::atomic<uint32_t> g_nRaceLimitForTesting(0);

sockaddr_in MakeEndpoint(uint32_t address, uint16_t port) {
    sockaddr_in endpoint;
    memset(&endpoint, 0, sizeof endpoint);
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = plat::htons(port);
    endpoint.sin_addr.s_addr = address;
    return endpoint;
}

void SetOption(plat::SOCKET s, int level, int option, const void* value, int length) {
    plat::setsockopt(s, level, option, (const char*)value, length);
}

void SetConnectedSocketOptions(plat::SOCKET s) {
    plat::WinsockLinger linger = {1, 1};
    SetOption(s, SOL_SOCKET, SO_LINGER, &linger, sizeof linger);
    SetOption(s, SOL_SOCKET, SO_RCVTIMEO, &kSocketTimeoutMs, sizeof kSocketTimeoutMs);
    SetOption(s, SOL_SOCKET, SO_SNDTIMEO, &kSocketTimeoutMs, sizeof kSocketTimeoutMs);
}

plat::SOCKET ConnectDirect(const sockaddr_in& server, const sockaddr_in& local) {
    plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    if (local.sin_addr.s_addr != 0) {
        plat::bind(s, (const sockaddr*)&local, sizeof local);
        int one = 1;
        SetOption(s, SOL_SOCKET, SO_DONTROUTE, &one, sizeof one);
    }
    if (plat::connect(s, (const sockaddr*)&server, sizeof server) < 0) {
        plat::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// One race between two connection attempts. The state is shared by the
// caller and both attempt threads, so an attempt that finishes after the
// caller has given up still finds it alive; once the caller has decided,
// a late winner only closes its own socket.
struct ConnectRace {
    std::mutex lock;
    bool decided = false;
    plat::SOCKET winner = INVALID_SOCKET;
    int failures = 0;
    // Set by the attempt that connects first (0, 1), or by the second of
    // two that failed (2): waiting on would gain nothing then.
    plat::HANDLE events[3] = {nullptr, nullptr, nullptr};

    ~ConnectRace() {
        for (plat::HANDLE event : events) plat::CloseHandle(event);
    }
};

struct ConnectAttemptBlock {
    std::shared_ptr<ConnectRace> race;
    int index;
    sockaddr_in server;
    sockaddr_in local;
};

plat::SOCKET ConnectedSocket(const ConnectAttemptBlock& block) {
    plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    if (block.local.sin_addr.s_addr != 0 &&
        plat::bind(s, (const sockaddr*)&block.local, sizeof block.local) != 0) {
        plat::OutputDebugStringA("Bind the socket in the connecttoftpserver2 failed");
        plat::closesocket(s);
        return INVALID_SOCKET;
    }
    if (plat::connect(s, (const sockaddr*)&block.server, sizeof block.server) < 0) {
        plat::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void NoteFailedAttempt(ConnectRace& race) {
    if (++race.failures == 2) plat::SetEvent(race.events[2]);
}

unsigned ConnectAttempt(void* param) {
    std::unique_ptr<ConnectAttemptBlock> block((ConnectAttemptBlock*)param);
    plat::SOCKET s = ConnectedSocket(*block);
    ConnectRace& race = *block->race;
    std::lock_guard<std::mutex> guard(race.lock);
    if (s == INVALID_SOCKET) {
        NoteFailedAttempt(race);
        return (unsigned)-1;
    }
    if (race.decided || race.winner != INVALID_SOCKET) {
        plat::closesocket(s);
        return (unsigned)-1;
    }
    race.winner = s;
    plat::SetEvent(race.events[block->index]);
    return 0;
}

bool StartAttempt(const std::shared_ptr<ConnectRace>& race, int index,
                  const sockaddr_in& server, const sockaddr_in& local) {
    ConnectAttemptBlock* block = new ConnectAttemptBlock{race, index, server, local};
    if (plat::AfxBeginThread(ConnectAttempt, block)) return true;
    delete block;
    std::lock_guard<std::mutex> guard(race->lock);
    NoteFailedAttempt(*race);
    return false;
}

// Only one race runs at a time in the process.
std::mutex g_RaceSerialiser;

plat::SOCKET ConnectParallel(char* serverAddress, const char* secondAddress,
                             const sockaddr_in& first, const sockaddr_in& second,
                             const sockaddr_in& local) {
    std::lock_guard<std::mutex> serialise(g_RaceSerialiser);
    std::shared_ptr<ConnectRace> race = std::make_shared<ConnectRace>();
    for (plat::HANDLE& event : race->events) event = plat::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StartAttempt(race, 0, first, local);
    StartAttempt(race, 1, second, local);

    uint32_t limit = g_nRaceLimitForTesting.load();
    plat::DWORD outcome =
        plat::WaitForMultipleObjects(3, race->events, FALSE, limit ? limit : kConnectRaceLimitMs);

    std::lock_guard<std::mutex> guard(race->lock);
    race->decided = true;
    if (outcome != WAIT_OBJECT_0 && outcome != WAIT_OBJECT_0 + 1) {
        // An attempt may have connected just after the wait gave up.
        if (race->winner != INVALID_SOCKET) plat::closesocket(race->winner);
        return INVALID_SOCKET;
    }
    plat::SOCKET winner = race->winner;
    if (outcome == WAIT_OBJECT_0 + 1 && winner != INVALID_SOCKET) {
        size_t length = strnlen(secondAddress, kTextFieldSize - 1);
        memmove(serverAddress, secondAddress, length);
        serverAddress[length] = '\0';
    }
    return winner;
}

}  // namespace

void SetConnectRaceLimitForTesting(uint32_t milliseconds) {
    g_nRaceLimitForTesting.store(milliseconds);
}

plat::SOCKET ConnectToServer(char* serverAddress, uint16_t port, const char* localAddress,
                             const char* secondAddress, uint16_t secondPort) {
    sockaddr_in server = MakeEndpoint(plat::inet_addr(serverAddress), port);
    uint32_t localIp = (localAddress != nullptr && plat::lstrlenA(localAddress) > 0)
                           ? plat::inet_addr(localAddress)
                           : GetBindAddress();
    sockaddr_in local = MakeEndpoint(localIp, 0);

    plat::SOCKET s;
    if (secondAddress == nullptr) {
        s = ConnectDirect(server, local);
    } else {
        sockaddr_in second = MakeEndpoint(plat::inet_addr(secondAddress), secondPort);
        s = ConnectParallel(serverAddress, secondAddress, server, second, local);
    }
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    SetConnectedSocketOptions(s);
    return s;
}

uint32_t GetBindAddress() {
    uint32_t address = 0;
    return ReadRegistryDword(kBindKey, "HostIP", &address) ? address : 0;
}

bool IsOverLimit(uint64_t startMs, uint32_t limitMs) {
    const uint64_t now = plat::GetTickCount64();
    return now > startMs && now - startMs > limitMs;
}
