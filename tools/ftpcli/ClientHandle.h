// The tool's one client object: created through the library's factory as
// version 2 of the interface (IFtpClient2), configured from the options,
// released when the handle goes out of scope, whichever way the command
// ends.
#pragma once

#include <string>

#include "IFtpClient.h"
#include "Options.h"

class ClientHandle {
public:
    ClientHandle();
    ~ClientHandle();
    ClientHandle(const ClientHandle&) = delete;
    ClientHandle& operator=(const ClientHandle&) = delete;

    // Null when the factory gave no object (a library older than 1.1 gives
    // none for version 2).
    IFtpClient2* get() const { return m_pClient; }
    IFtpClient2* operator->() const { return m_pClient; }

    // Hands the window and the options to the client; the setters of
    // options the user did not give are not called. False when the library
    // refused a call, which *refused then names.
    bool Configure(const Options& options, HWND window, std::string* refused);

private:
    IFtpClient2* m_pClient;
};
