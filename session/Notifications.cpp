#include "session/Notifications.h"

void FtpPostMessage(plat::HWND window, unsigned message, IFtpClient* client,
                    plat::LPARAM lParam) {
    if (window == 0) return;
    plat::PostMessageA(window, message, (plat::WPARAM)client, lParam);
}

void PostBufferingNotice(plat::HWND window, int percent) {
    plat::PostMessageA(window, WM_FTP_BUFFERING, (plat::WPARAM)percent, 0);
}
