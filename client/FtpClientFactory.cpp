// The library's one export.
#include <new>

#include "client/CFtpClient.h"

extern "C" FTPCLIENT_EXPORT IFtpClient* CreateFtpClientInstance(int selector) {
    if (selector != 0) return nullptr;
    try {
        return new (std::nothrow) CFtpClient();
    } catch (...) {
        // Nothing may reach the host as an exception.
        return nullptr;
    }
}
