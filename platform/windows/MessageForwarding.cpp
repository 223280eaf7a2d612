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
