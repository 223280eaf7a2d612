// A small host of the FTP client library, built against an installed copy
// (see CMakeLists.txt beside it). It asks the size of a remote file, reads a
// few bytes from its middle, then downloads it while following the
// library's window messages.
//
//   ftpclient-example SERVER PORT PASSWORD REMOTE LOCAL
//
// The same source builds on Windows, where IFtpClient.h brings <windows.h>.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "IFtpClient.h"

namespace {

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

// The window the library posts WM_FTP_* to; its messages queue on this thread.
HWND CreateMessageWindow() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.lpszClassName = "FtpClientExample";
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, windowClass.lpszClassName, "ftpclient example", 0, 0, 0, 0, 0,
                           nullptr, nullptr, nullptr, nullptr);
}

// Reads the window's messages until the download completes or fails, for at
// most two minutes.
bool AwaitDownload(HWND window) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < deadline) {
        MSG msg;
        while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE)) {
            switch (msg.message) {
            case WM_FTP_PROGRESS: printf("progress %d%%\n", (int)msg.lParam); break;
            case WM_FTP_COMPLETE: return true;
            case WM_FTP_ERROR:
                fprintf(stderr, "download failed: FTPE_ code %d\n", (int)msg.lParam);
                return false;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fprintf(stderr, "download did not complete within 2 minutes\n");
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s SERVER PORT PASSWORD REMOTE LOCAL\n", argv[0]);
        return 2;
    }
    const char* remote = argv[4];
    const char* local = argv[5];

    HWND window = CreateMessageWindow();  // made before the client, gone after it
    IFtpClient* ftp = CreateFtpClientInstance(0);
    if (window == nullptr || ftp == nullptr) return 1;
    ftp->SetConnectParameter(argv[1], "ftp", argv[3], (unsigned short)atoi(argv[2]),
                             /*overwrite*/ 1, /*append*/ 0, /*local address*/ "", 1);
    ftp->SetMessageWindow(window);

    bool ok = false;
    int size = ftp->GetRemoteFileSize(remote);  // blocks until the server answered
    if (size <= 0) fprintf(stderr, "no size for %s (%d)\n", remote, size);
    if (size > 0) {
        printf("size %d\n", size);
        unsigned char bytes[16];
        unsigned int position = (unsigned int)size / 2, got = 0;
        if (!ftp->ReadStream(remote, bytes, position, sizeof bytes, &got)) {
            fprintf(stderr, "the ranged read failed\n");
        } else {
            printf("read %u bytes at %u:", got, position);
            for (unsigned int i = 0; i < got; ++i) printf(" %02x", bytes[i]);
            printf("\n");
            // The stream goes on reading ahead for the next read and other
            // operations are refused while it runs: a player that is done stops it.
            ftp->StopSession();
            // Returns at once; the outcome arrives as a message.
            if (ftp->ReceiveFile(remote, local)) {
                ok = AwaitDownload(window);
            } else {
                fprintf(stderr, "the library refused to start the download\n");
            }
        }
    }
    if (ok) printf("downloaded %s to %s\n", remote, local);
    ftp->Release();  // the pointer is gone after this
    DestroyWindow(window);
    return ok ? 0 : 1;
}
