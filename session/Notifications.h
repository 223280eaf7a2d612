// Everything the library tells the host asynchronously is a posted window
// message; this is the one place that posts them.
#pragma once

#include "IFtpClient.h"
#include "platform/Platform.h"

// Posts message to window with the client's address as wParam; nothing when
// the window is 0. The result of the post is not checked.
void FtpPostMessage(plat::HWND window, unsigned message, IFtpClient* client,
                    plat::LPARAM lParam);

// WM_FTP_BUFFERING goes out even to a null window: Windows then queues it on
// the posting thread itself, and hosts may rely on that.
void PostBufferingNotice(plat::HWND window, int percent);
