// The window calls of namespace plat: the system's on Windows; on Linux
// those of libwinmsg.so, where the host's windows and the library's searches
// and posts share one table.
#include "Platform.h"

namespace plat {

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageA(window, message, wParam, lParam);
}

HWND FindWindowExA(HWND parent, HWND childAfter, const char* className,
                   const char* windowName) {
    return ::FindWindowExA(parent, childAfter, className, windowName);
}

}  // namespace plat
