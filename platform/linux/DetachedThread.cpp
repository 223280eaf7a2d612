#include <thread>
#include <utility>

#include "../common/PlatformInternal.h"

namespace plat {
namespace internal {

BOOL StartDetachedThread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

}  // namespace internal
}  // namespace plat
