// The Linux waker: an eventfd, readable while its count is above 0.
#include <sys/eventfd.h>
#include <unistd.h>

#include <stdint.h>

#include "../common/PlatformInternal.h"

namespace plat {
namespace internal {

Waker::Waker() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_hSocket = fd >= 0 ? (SOCKET)fd : INVALID_SOCKET;
}

Waker::~Waker() {
    if (IsValid()) ::close((int)m_hSocket);
}

void Waker::Signal() {
    const uint64_t one = 1;
    // A full counter is still readable: a failed write loses nothing.
    ssize_t written = ::write((int)m_hSocket, &one, sizeof one);
    (void)written;
}

void Waker::Drain() {
    uint64_t count = 0;
    ssize_t taken = ::read((int)m_hSocket, &count, sizeof count);
    (void)taken;
}

}  // namespace internal
}  // namespace plat
