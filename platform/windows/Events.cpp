#include "../common/PlatformInternal.h"
#include "Platform.h"

namespace plat {

HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState,
                    const char* name) {
    return ::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), manualReset,
                          initialState, name);
}

BOOL SetEvent(HANDLE event) {
    const BOOL changed = ::SetEvent(event);
    if (changed) internal::WakeWatchersOf(event);
    return changed;
}

BOOL ResetEvent(HANDLE event) { return ::ResetEvent(event); }

BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return ::WaitForSingleObject(handle, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
    return ::WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

}  // namespace plat
