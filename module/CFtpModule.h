// The library's application object: it brings the socket layer up when the
// library is loaded and takes it down when the library is unloaded, so no
// client object or worker has to initialise anything itself.
#pragma once

class CFtpModule {
public:
    CFtpModule();
    ~CFtpModule();
    CFtpModule(const CFtpModule&) = delete;
    CFtpModule& operator=(const CFtpModule&) = delete;

    // How many times the socket layer was started and stopped (tests).
    static int StartCount();
    static int StopCount();
};
