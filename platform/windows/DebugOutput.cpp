#include "../common/PlatformInternal.h"

namespace plat {
namespace internal {

void WriteToDebugger(const char* text) { ::OutputDebugStringA(text); }

}  // namespace internal
}  // namespace plat
