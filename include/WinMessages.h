// Linux only: the window and message calls a host and the client library
// share. They live in one small shared library (libwinmsg.so) so that the
// host's windows and the library's searches and posts meet in one table.
//
// Windows are in-process objects with a class name, a title and a parent.
// Each window belongs to the thread that created it; messages posted to it
// queue on that thread. A null window in PostMessageA posts to the calling
// thread's own queue, which that thread reads with a null window in
// PeekMessageA / GetMessageA, as on Win32.
#pragma once
#ifndef _WIN32

#include <stdint.h>

#if defined(WINMSG_BUILDING)
#define WINMSG_API extern "C" __attribute__((visibility("default")))
#else
#define WINMSG_API extern "C"
#endif

typedef int BOOL;
typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef uint16_t ATOM;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define WM_NULL 0x0000
#define WM_QUIT 0x0012
#define WM_USER 0x0400
// Without WS_CHILD a window given a parent is a top-level window owned by it
// (found among the top-level windows, destroyed with its owner), as on Win32.
#define WS_CHILD 0x40000000L
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

// Window procedures are stdcall on i686 Windows; Linux has one convention.
#ifndef CALLBACK
#define CALLBACK
#endif

typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);

struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    void* hIcon;
    void* hCursor;
    void* hbrBackground;
    const char* lpszMenuName;
    const char* lpszClassName;
};

struct POINT {
    long x;
    long y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

WINMSG_API ATOM RegisterClassA(const WNDCLASSA* wc);
WINMSG_API HWND CreateWindowExA(DWORD exStyle, const char* className, const char* windowName,
                                DWORD style, int x, int y, int width, int height, HWND parent,
                                void* menu, HINSTANCE instance, void* param);
WINMSG_API BOOL DestroyWindow(HWND hWnd);
WINMSG_API BOOL IsWindow(HWND hWnd);
// parent null: the top-level windows; childAfter null: start at the first.
// className / windowName null: any.
WINMSG_API HWND FindWindowExA(HWND parent, HWND childAfter, const char* className,
                              const char* windowName);
WINMSG_API BOOL PostMessageA(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
WINMSG_API BOOL PeekMessageA(MSG* msg, HWND hWnd, UINT filterMin, UINT filterMax, UINT removeMsg);
// Blocks until a message arrives; returns 0 for WM_QUIT, else nonzero.
WINMSG_API BOOL GetMessageA(MSG* msg, HWND hWnd, UINT filterMin, UINT filterMax);
WINMSG_API void PostQuitMessage(int exitCode);
WINMSG_API LRESULT DispatchMessageA(const MSG* msg);
WINMSG_API LRESULT DefWindowProcA(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

#endif
