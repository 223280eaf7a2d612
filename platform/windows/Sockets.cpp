// Winsock itself; what remains to do is the SocketSet form of select and
// keeping SO_DONTROUTE inert under Wine too.
#include "Platform.h"

namespace plat {
namespace {

const int kSetCount = 3;

void FillFdSet(const SocketSet* set, fd_set* fds) {
    FD_ZERO(fds);
    for (int i = 0; set && i < set->Count(); ++i) FD_SET(set->At(i), fds);
}

bool IsEmpty(const SocketSet* set) { return !set || set->Count() == 0; }

}  // namespace

int WSAStartup(WORD versionRequested) {
    WSADATA data;
    return ::WSAStartup(versionRequested, &data);
}

int WSACleanup() { return ::WSACleanup(); }

int WSAGetLastError() { return ::WSAGetLastError(); }

SOCKET socket(int family, int type, int protocol) { return ::socket(family, type, protocol); }

int bind(SOCKET s, const sockaddr* address, int length) { return ::bind(s, address, length); }

int connect(SOCKET s, const sockaddr* address, int length) {
    return ::connect(s, address, length);
}

int listen(SOCKET s, int backlog) { return ::listen(s, backlog); }

SOCKET accept(SOCKET s, sockaddr* address, int* length) { return ::accept(s, address, length); }

int send(SOCKET s, const char* data, int length, int flags) {
    return ::send(s, data, length, flags);
}

int recv(SOCKET s, char* data, int length, int flags) { return ::recv(s, data, length, flags); }

// Winsock ignores SO_DONTROUTE on IPv4, but Wine hands it to the host stack,
// where it would bypass routing; answering here keeps the Windows meaning.
int setsockopt(SOCKET s, int level, int option, const char* value, int length) {
    if (level == SOL_SOCKET && option == SO_DONTROUTE) {
        int type = 0;
        int typeLength = sizeof type;
        return ::getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &typeLength);
    }
    return ::setsockopt(s, level, option, value, length);
}

int getsockname(SOCKET s, sockaddr* address, int* length) {
    return ::getsockname(s, address, length);
}

int shutdown(SOCKET s, int how) { return ::shutdown(s, how); }

int closesocket(SOCKET s) { return ::closesocket(s); }

uint32_t inet_addr(const char* text) { return text ? ::inet_addr(text) : INADDR_NONE; }

uint16_t htons(uint16_t value) { return ::htons(value); }

uint16_t ntohs(uint16_t value) { return ::ntohs(value); }

int select(SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet,
           DWORD timeoutMilliseconds) {
    SocketSet* const sets[kSetCount] = {readSet, writeSet, exceptSet};
    fd_set fds[kSetCount];
    for (int k = 0; k < kSetCount; ++k) FillFdSet(sets[k], &fds[k]);
    timeval timeout = {static_cast<long>(timeoutMilliseconds / 1000),
                       static_cast<long>(timeoutMilliseconds % 1000) * 1000};
    const int result = ::select(0, IsEmpty(readSet) ? nullptr : &fds[0],
                                IsEmpty(writeSet) ? nullptr : &fds[1],
                                IsEmpty(exceptSet) ? nullptr : &fds[2],
                                timeoutMilliseconds == INFINITE ? nullptr : &timeout);
    if (result == SOCKET_ERROR) return SOCKET_ERROR;
    for (int k = 0; k < kSetCount; ++k) {
        if (!sets[k]) continue;
        bool keep[SocketSet::kCapacity] = {};
        for (int i = 0; i < sets[k]->Count(); ++i) keep[i] = FD_ISSET(sets[k]->At(i), &fds[k]) != 0;
        sets[k]->KeepOnly(keep);
    }
    return result;
}

}  // namespace plat
