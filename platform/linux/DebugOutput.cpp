#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../common/PlatformInternal.h"

namespace plat {
namespace internal {

// Linux has no debugger channel; FTPCLIENT_DEBUG (set, not "0") sends the
// text to stderr instead. Read on every call so a test can switch it.
void WriteToDebugger(const char* text) {
    const char* setting = getenv("FTPCLIENT_DEBUG");
    if (!setting || !*setting || strcmp(setting, "0") == 0) return;
    fputs(text, stderr);
}

}  // namespace internal
}  // namespace plat
