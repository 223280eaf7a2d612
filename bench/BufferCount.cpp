#include "BufferCount.h"

#include <stdlib.h>

#include <atomic>
#include <new>

namespace {

const size_t kDefaultBlockSize = 262144;

std::atomic<long> g_BlockAllocations{0};

}  // namespace

#ifdef _WIN32
long StreamBufferAllocations() {
    return -1;
}
#else
long StreamBufferAllocations() {
    return g_BlockAllocations.load();
}

// The global operator delete[] releases with free(), so malloc pairs with it.
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    if (size == kDefaultBlockSize) g_BlockAllocations.fetch_add(1);
    return malloc(size != 0 ? size : 1);
}
#endif
