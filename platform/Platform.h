// The platform layer: the part of Win32 and Winsock this library uses, with
// Windows' meaning on both targets. On Windows every call forwards to the
// real API; on Linux the same subset is implemented in platform/linux.
//
// Library code reaches the operating system only through namespace plat.
// Everything is qualified (plat::SetEvent, plat::send, ...) because several
// Winsock names (socket, send, select, fd_set) also exist, with other
// meanings, in the Linux headers.
#pragma once

#include <stdint.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// Old 16-bit API macros that would rename our own names.
#ifdef GetFreeSpace
#undef GetFreeSpace
#endif
#undef far
#undef near
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

// glibc turns these into macros when optimising, which would rename the
// plat:: declarations below (to plat::__bswap_16) in optimised translation
// units only; the functions remain available.
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

#include "WinMessages.h"
#endif

namespace plat {

#ifdef _WIN32
using ::BOOL;
using ::BYTE;
using ::DWORD;
using ::HANDLE;
using ::HKEY;
using ::HWND;
using ::LONG;
using ::LPARAM;
using ::SOCKET;
using ::SYSTEMTIME;
using ::UINT;
using ::WORD;
using ::WPARAM;
#else
typedef ::BOOL BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef ::DWORD DWORD;
typedef int32_t LONG;
typedef ::UINT UINT;
typedef ::WPARAM WPARAM;
typedef ::LPARAM LPARAM;
typedef ::HWND HWND;
typedef void* HANDLE;
typedef struct HKEY__* HKEY;
typedef uintptr_t SOCKET;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
#endif

}  // namespace plat

#ifndef _WIN32
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define INVALID_SOCKET (~(plat::SOCKET)0)
#define SOCKET_ERROR (-1)
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define KEY_QUERY_VALUE 0x0001u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define HKEY_LOCAL_MACHINE ((plat::HKEY)(uintptr_t)0x80000002u)
// Winsock error codes that callers may compare with WSAGetLastError().
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSANOTINITIALISED 10093
// shutdown() directions.
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2
#endif

namespace plat {

// ---- Events (manual- or auto-reset), waits, handles -------------------------
// Linux: events are process-local and unnamed; a non-null name fails (null).
// Closing a handle that another thread is waiting on ends that wait with
// WAIT_FAILED (Win32 leaves the outcome undefined).
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState,
                    const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL CloseHandle(HANDLE handle);
// WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// waitAll must be FALSE. WAIT_OBJECT_0 + i for the lowest set index i.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds);
void Sleep(DWORD milliseconds);
// The calling thread's id, unique among the threads that run (Linux: the
// kernel's thread id). It asks nothing of the C++ thread library: a host's
// thread started by another copy of it (a host linked statically against
// its own run time, as the DLL is) is no stranger to it, and needs no
// bookkeeping that lives past the thread.
DWORD GetCurrentThreadId();

// ---- Clock -----------------------------------------------------------------
// Two clocks. Time limits and pacing are measured on the tick count, which
// only moves forward; the system time is the calendar and can be stepped
// (by hand, by time synchronisation) either way, so it is for calendar
// time only, never for measuring how long something took.
//
// Milliseconds since some fixed point (system start), moved by the test
// offset below and never below 0. Windows: QueryPerformanceCounter; Linux:
// CLOCK_MONOTONIC. Never steps with the calendar.
uint64_t GetTickCount64();
// UTC with milliseconds, moved by the test offset below.
void GetSystemTime(SYSTEMTIME* now);
// Tests move both clocks forward (or back) by the same offset instead of
// sleeping through limits.
void SetClockOffsetForTesting(int64_t milliseconds);
int64_t GetClockOffsetForTesting();
// Milliseconds since 1601-01-01 of a SYSTEMTIME (proleptic Gregorian, UTC).
int64_t SystemTimeToMilliseconds(const SYSTEMTIME& time);

// ---- Text and debugger output ------------------------------------------------
int lstrlenA(const char* text);
// Linux: written to stderr when FTPCLIENT_DEBUG is set (non-empty, not "0"),
// and always to the capture hook when one is installed.
void OutputDebugStringA(const char* text);
typedef void (*DebugOutputHook)(const char* text);
void SetDebugOutputHookForTesting(DebugOutputHook hook);

// ---- Registry (read-only subset) -------------------------------------------
// Linux: HKEY_LOCAL_MACHINE values come from a text file (see the README:
// FTPCLIENT_REGISTRY, default /etc/ftpclient/registry.reg).
LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD access, HKEY* result);
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                      BYTE* data, DWORD* dataSize);
LONG RegCloseKey(HKEY key);

// ---- Windows and messages ----------------------------------------------------
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HWND FindWindowExA(HWND parent, HWND childAfter, const char* className,
                   const char* windowName);

// ---- Sockets -----------------------------------------------------------------
// Winsock meaning on both targets: send never raises SIGPIPE; SO_RCVTIMEO and
// SO_SNDTIMEO take a 4-byte DWORD of milliseconds; SO_LINGER takes a
// WinsockLinger; SO_DONTROUTE is accepted and ignored (as Winsock does on IPv4).
struct WinsockLinger {
    uint16_t l_onoff;
    uint16_t l_linger;
};

int WSAStartup(WORD versionRequested);
int WSACleanup();
int WSAGetLastError();
SOCKET socket(int family, int type, int protocol);
int bind(SOCKET s, const sockaddr* address, int length);
int connect(SOCKET s, const sockaddr* address, int length);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* address, int* length);
int send(SOCKET s, const char* data, int length, int flags);
int recv(SOCKET s, char* data, int length, int flags);
int setsockopt(SOCKET s, int level, int option, const char* value, int length);
int getsockname(SOCKET s, sockaddr* address, int* length);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
// Dotted-decimal IPv4 text to an address in network byte order; INADDR_NONE
// (0xFFFFFFFF) when the text is not an address.
uint32_t inet_addr(const char* text);
uint16_t htons(uint16_t value);
uint16_t ntohs(uint16_t value);
// The first IPv4 address of a host name (or the address itself), as dotted
// text into out; false when the name has none or cannot be resolved.
bool ResolveIPv4(const char* hostName, char* out, size_t outSize);

// A set of sockets for select, with no limit on descriptor values.
class SocketSet {
public:
    enum { kCapacity = 64 };
    SocketSet() : m_nCount(0) {}
    void Zero() { m_nCount = 0; }
    void Add(SOCKET s);
    bool Contains(SOCKET s) const;
    int Count() const { return m_nCount; }
    SOCKET At(int i) const { return m_Sockets[i]; }

private:
    friend int select(SocketSet*, SocketSet*, SocketSet*, DWORD);
    void KeepOnly(const bool* keep);
    SOCKET m_Sockets[kCapacity];
    int m_nCount;
};

// Like Winsock select: on return each set holds only its ready sockets; the
// result is the number of ready entries, 0 on time-out, SOCKET_ERROR on error.
// Any set may be null; with no socket in any set the result is SOCKET_ERROR
// (WSAEINVAL), as on Winsock. INFINITE waits without a time-out.
int select(SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet,
           DWORD timeoutMilliseconds);

// ---- Waiting on events and sockets together -----------------------------------
// A socket a wait watches: what to wait for, and on return what was found.
struct SocketWait {
    SOCKET socket;
    bool read;
    bool write;
    bool readable;
    bool writable;
};
// The result of a wait that found no event set but sockets ready.
const DWORD kWaitSocketsReady = 0x200u;
// Waits until one of the events is set, a socket is ready as asked, or the
// time is up, and returns as soon as any of these happens: a SetEvent from
// another thread ends the wait at once. Events are looked at first (the
// lowest set index wins and an auto-reset event is taken): WAIT_OBJECT_0 +
// i. Otherwise kWaitSocketsReady with the sockets' found flags set,
// WAIT_TIMEOUT, or WAIT_FAILED (select failed; WSAGetLastError tells why).
// Either list may be empty; sockets may repeat. Only SetEvent calls through
// this layer wake a wait.
DWORD WaitForEventsAndSockets(DWORD eventCount, const HANDLE* events, SocketWait* sockets,
                              DWORD socketCount, DWORD milliseconds);

}  // namespace plat
