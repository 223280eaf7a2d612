// The library's one export.
#include <new>

#include "client/FtpClientObjects.h"

// Selector 2 is version 2 of the interface, so a selector other than 0 no
// longer always gives null: 1 and every selector but 0 and 2 still do.
extern "C" FTPCLIENT_EXPORT IFtpClient* CreateFtpClientInstance(int selector) {
    try {
        switch (selector) {
        case 0: return new (std::nothrow) CFtpClientObject();
        case 2: return static_cast<IFtpClient2*>(new (std::nothrow) CFtpClientObject2());
        default: return nullptr;
        }
    } catch (...) {
        // Nothing may reach the host as an exception.
        return nullptr;
    }
}
