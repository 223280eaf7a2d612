// Winsock's meaning on BSD sockets. A SOCKET is the descriptor. Errors are
// kept per thread as Winsock codes (WSAGetLastError), so that a later call
// that touches errno cannot change what the caller reads.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "Platform.h"

namespace plat {
namespace {

thread_local int t_LastSocketError = 0;
std::atomic<int> g_StartupCount(0);

struct ErrnoToWinsock {
    int error;
    int winsockError;
};

// EINPROGRESS is WSAEWOULDBLOCK because that is what a non-blocking connect
// reports on Winsock; a write to a connection the peer closed (EPIPE) is a
// reset there.
const ErrnoToWinsock kErrorTable[] = {
    {EINTR, WSAEINTR},           {EBADF, WSAENOTSOCK},          {ENOTSOCK, WSAENOTSOCK},
    {EACCES, WSAEACCES},         {EFAULT, WSAEFAULT},           {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},         {ENFILE, WSAEMFILE},           {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK}, {EALREADY, WSAEALREADY},     {EMSGSIZE, WSAEMSGSIZE},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT}, {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL}, {ENETDOWN, WSAENETDOWN}, {ENETUNREACH, WSAENETUNREACH},
    {ECONNABORTED, WSAECONNABORTED}, {ECONNRESET, WSAECONNRESET}, {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},       {ENOMEM, WSAENOBUFS},          {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},     {ESHUTDOWN, WSAESHUTDOWN},     {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED}, {EHOSTUNREACH, WSAEHOSTUNREACH},
};

// Winsock codes are 10000 + the BSD errno; Linux numbers differ, hence the
// table, with 10000 + errno for the rest.
int WinsockErrorOf(int error) {
    for (const ErrnoToWinsock& entry : kErrorTable) {
        if (entry.error == error) return entry.winsockError;
    }
    return 10000 + error;
}

int Fail(int winsockError) {
    t_LastSocketError = winsockError;
    return SOCKET_ERROR;
}

int FailWithErrno() { return Fail(WinsockErrorOf(errno)); }

int ResultOf(int systemResult) { return systemResult == 0 ? 0 : FailWithErrno(); }

// Values that are no descriptor at all (INVALID_SOCKET among them) become -1,
// which every system call rejects with EBADF.
int FdOf(SOCKET s) { return s > static_cast<SOCKET>(INT_MAX) ? -1 : static_cast<int>(s); }

bool IsBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && !(flags & O_NONBLOCK);
}

// On a blocking socket EAGAIN means SO_RCVTIMEO / SO_SNDTIMEO ran out, which
// Winsock reports as WSAETIMEDOUT.
int FailTransfer(int fd, int flags) {
    const int error = errno;
    if (error == EAGAIN && !(flags & MSG_DONTWAIT) && IsBlocking(fd)) return Fail(WSAETIMEDOUT);
    return Fail(WinsockErrorOf(error));
}

template <typename Call>
ssize_t RetryWhileInterrupted(Call call) {
    ssize_t result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

int SetTimeout(int fd, int option, const char* value, int length) {
    DWORD milliseconds = 0;
    if (!value || length < static_cast<int>(sizeof milliseconds)) return Fail(WSAEFAULT);
    memcpy(&milliseconds, value, sizeof milliseconds);
    timeval timeout = {};
    timeout.tv_sec = static_cast<time_t>(milliseconds / 1000);
    timeout.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return ResultOf(::setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof timeout));
}

int SetLinger(int fd, const char* value, int length) {
    WinsockLinger requested = {};
    if (!value || length < static_cast<int>(sizeof requested)) return Fail(WSAEFAULT);
    memcpy(&requested, value, sizeof requested);
    linger applied = {};
    applied.l_onoff = requested.l_onoff;
    applied.l_linger = requested.l_linger;
    return ResultOf(::setsockopt(fd, SOL_SOCKET, SO_LINGER, &applied, sizeof applied));
}

// Readable includes hang-up and error: a closed or reset connection is
// readable on Winsock (recv then reports it).
const int kSetCount = 3;
const short kPollEventsWanted[kSetCount] = {POLLIN, POLLOUT, POLLPRI};
const short kPollEventsReady[kSetCount] = {POLLIN | POLLHUP | POLLERR, POLLOUT, POLLPRI};

int PollRetryingInterrupts(std::vector<pollfd>* entries, DWORD timeoutMilliseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    for (;;) {
        int waitMilliseconds = -1;
        if (timeoutMilliseconds != INFINITE) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            waitMilliseconds = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left.count(), INT_MAX)));
        }
        const int result = ::poll(entries->data(), entries->size(), waitMilliseconds);
        if (result >= 0 || errno != EINTR) return result;
    }
}

// One poll entry per set entry, in set order; false for a value that cannot
// be a descriptor.
bool CollectPollEntries(SocketSet* const sets[kSetCount], std::vector<pollfd>* entries) {
    for (int k = 0; k < kSetCount; ++k) {
        for (int i = 0; sets[k] && i < sets[k]->Count(); ++i) {
            const int fd = FdOf(sets[k]->At(i));
            if (fd < 0) return false;
            entries->push_back(pollfd{fd, kPollEventsWanted[k], 0});
        }
    }
    return true;
}

bool AnyInvalid(const std::vector<pollfd>& entries) {
    for (const pollfd& entry : entries) {
        if (entry.revents & POLLNVAL) return true;
    }
    return false;
}

bool IsSocket(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0;
}

}  // namespace

int WSAStartup(WORD /*versionRequested*/) {
    ++g_StartupCount;
    return 0;
}

// Unbalanced calls fail as on Winsock; otherwise there is nothing to release.
int WSACleanup() {
    int count = g_StartupCount.load();
    do {
        if (count == 0) return Fail(WSANOTINITIALISED);
    } while (!g_StartupCount.compare_exchange_weak(count, count - 1));
    return 0;
}

int WSAGetLastError() { return t_LastSocketError; }

// Close-on-exec: a process the host starts must not inherit our connections.
SOCKET socket(int family, int type, int protocol) {
    const int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        FailWithErrno();
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

int bind(SOCKET s, const sockaddr* address, int length) {
    return ResultOf(::bind(FdOf(s), address, static_cast<socklen_t>(length)));
}

int connect(SOCKET s, const sockaddr* address, int length) {
    return ResultOf(::connect(FdOf(s), address, static_cast<socklen_t>(length)));
}

int listen(SOCKET s, int backlog) { return ResultOf(::listen(FdOf(s), backlog)); }

SOCKET accept(SOCKET s, sockaddr* address, int* length) {
    if (address && !length) {
        Fail(WSAEFAULT);
        return INVALID_SOCKET;
    }
    socklen_t size = length ? static_cast<socklen_t>(*length) : 0;
    const int fd = static_cast<int>(RetryWhileInterrupted(
        [&] { return ::accept4(FdOf(s), address, length ? &size : nullptr, SOCK_CLOEXEC); }));
    if (fd < 0) {
        FailTransfer(FdOf(s), 0);
        return INVALID_SOCKET;
    }
    if (length) *length = static_cast<int>(size);
    return static_cast<SOCKET>(fd);
}

// MSG_NOSIGNAL: a peer that closed must give an error, not SIGPIPE, which
// would end the host process.
int send(SOCKET s, const char* data, int length, int flags) {
    if (length < 0) return Fail(WSAEINVAL);
    const int fd = FdOf(s);
    const ssize_t sent = RetryWhileInterrupted(
        [&] { return ::send(fd, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL); });
    return sent < 0 ? FailTransfer(fd, flags) : static_cast<int>(sent);
}

int recv(SOCKET s, char* data, int length, int flags) {
    if (length < 0) return Fail(WSAEINVAL);
    const int fd = FdOf(s);
    const ssize_t received =
        RetryWhileInterrupted([&] { return ::recv(fd, data, static_cast<size_t>(length), flags); });
    return received < 0 ? FailTransfer(fd, flags) : static_cast<int>(received);
}

// SO_DONTROUTE is accepted without effect: Winsock ignores it on IPv4,
// while Linux would really bypass routing and lose every server beyond the
// local subnet.
int setsockopt(SOCKET s, int level, int option, const char* value, int length) {
    const int fd = FdOf(s);
    if (level == SOL_SOCKET) {
        switch (option) {
            case SO_DONTROUTE:
                return IsSocket(fd) ? 0 : Fail(WSAENOTSOCK);
            case SO_RCVTIMEO:
            case SO_SNDTIMEO:
                return SetTimeout(fd, option, value, length);
            case SO_LINGER:
                return SetLinger(fd, value, length);
            default:
                break;
        }
    }
    return ResultOf(::setsockopt(fd, level, option, value, static_cast<socklen_t>(length)));
}

int getsockname(SOCKET s, sockaddr* address, int* length) {
    if (!length) return Fail(WSAEFAULT);
    socklen_t size = static_cast<socklen_t>(*length);
    if (::getsockname(FdOf(s), address, &size) != 0) return FailWithErrno();
    *length = static_cast<int>(size);
    return 0;
}

int shutdown(SOCKET s, int how) { return ResultOf(::shutdown(FdOf(s), how)); }

int closesocket(SOCKET s) { return ResultOf(::close(FdOf(s))); }

// poll instead of an fd_set bitmap: a host with many open files hands us
// descriptors of 1024 and more, which FD_SET would write past its set.
int select(SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet,
           DWORD timeoutMilliseconds) {
    SocketSet* const sets[kSetCount] = {readSet, writeSet, exceptSet};
    std::vector<pollfd> entries;
    if (!CollectPollEntries(sets, &entries)) return Fail(WSAENOTSOCK);
    if (entries.empty()) return Fail(WSAEINVAL);
    if (PollRetryingInterrupts(&entries, timeoutMilliseconds) < 0) return FailWithErrno();
    if (AnyInvalid(entries)) return Fail(WSAENOTSOCK);
    int readyCount = 0;
    size_t entry = 0;
    for (int k = 0; k < kSetCount; ++k) {
        if (!sets[k]) continue;
        bool keep[SocketSet::kCapacity] = {};
        for (int i = 0; i < sets[k]->Count(); ++i, ++entry) {
            keep[i] = (entries[entry].revents & kPollEventsReady[k]) != 0;
            readyCount += keep[i];
        }
        sets[k]->KeepOnly(keep);
    }
    return readyCount;
}

uint32_t inet_addr(const char* text) { return text ? ::inet_addr(text) : INADDR_NONE; }

uint16_t htons(uint16_t value) { return ::htons(value); }

uint16_t ntohs(uint16_t value) { return ::ntohs(value); }

}  // namespace plat
