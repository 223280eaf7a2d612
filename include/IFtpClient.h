// Public interface of the FTP client library for host applications.
//
// The host loads the library, calls CreateFtpClientInstance(0) once per
// client object it wants, and from then on uses only the 17 virtual
// operations below, by their place in the virtual table. Asynchronous
// results arrive as window messages posted to the host's window.
// CreateFtpClientInstance(2) gives an object of version 2 of the interface,
// IFtpClient2: the same 17 operations and five more after them (64-bit
// positions and sizes, whole listings, the outcome of the last call).
//
// Layout rules that keep the table callable from hosts built with other
// compilers: no virtual destructor, no overloads, no struct returned by
// value, single inheritance only. Do not reorder the slots.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "WinMessages.h"  // HWND and the window calls on Linux
#endif

// Notification messages (posted, never sent).
#define WM_FTP_PROGRESS 1924   // wParam: client object, lParam: whole percent 0..100
#define WM_FTP_COMPLETE 1925   // wParam: client object, lParam: 0
#define WM_FTP_ERROR 1926      // wParam: client object, lParam: FTPE_ code 1..7
#define WM_FTP_BUFFERING 1225  // wParam: fill percent 0..100, lParam: 0

// Error codes carried by WM_FTP_ERROR (8 is stored, never posted).
#define FTPE_FILEERROR 1      // a local file cannot be opened, read or written
#define FTPE_NOTCONNECT 2     // no connection to the server
#define FTPE_LOGINFAIL 3      // the server refused the login ("530 ")
#define FTPE_TIMEOUT 4        // no reply or socket activity within the limit
#define FTPE_SOCKETERROR 5    // waiting on the sockets failed
#define FTPE_BADREPLY 6       // the server answered with an unexpected reply
#define FTPE_TRANSFERFAIL 7   // a send or receive failed mid-transfer
#define FTPE_NOMEMORY 8       // a stream buffer could not be allocated

struct IFtpClient {
    virtual void Release() = 0;                                           // slot 0
    virtual int GetSeekFlag() = 0;                                        // slot 1
    virtual void StopSession() = 0;                                       // slot 2
    virtual int SetMessageWindow(HWND hWnd) = 0;                          // slot 3
    virtual int SetConnectParameter(const char* serverAddress, const char* userName,
                                    const char* password, unsigned short port,
                                    unsigned char overwrite, unsigned char append,
                                    const char* localAddress,
                                    unsigned char extraFlag) = 0;         // slot 4
    virtual int SendFile(const char* localPath, const char* remoteName) = 0;  // slot 5
    virtual int DeleteRemoteFile(const char* remotePath) = 0;             // slot 6
    virtual int ReceiveFile(const char* remotePath, const char* localPath) = 0;  // slot 7
    virtual int ReadStream(const char* remotePath, unsigned char* buffer,
                           unsigned int position, unsigned int length,
                           unsigned int* bytesRead) = 0;                  // slot 8
    virtual int ReadStreamOnce(const char* remotePath, unsigned char* buffer,
                               unsigned int position, unsigned int length,
                               unsigned int* bytesRead, int attempt) = 0;  // slot 9
    virtual int GetRemoteFileSize(const char* remotePath) = 0;            // slot 10
    virtual int SetBlockSize(unsigned int bytes) = 0;                     // slot 11
    virtual char* ListDirectory(const char* directory, const char* pattern) = 0;  // slot 12
    virtual int CreateOrRemoveDirectory(const char* path, unsigned char create) = 0;  // slot 13
    virtual int SetStreamMode(int mode) = 0;                              // slot 14
    virtual int SetBufferingMode(int mode) = 0;                           // slot 15
    virtual int SetTransferRate(double megabitsPerSecond) = 0;            // slot 16
};

// What GetLastErrorCode gives besides 0 (success) and the FTPE_ codes 1..8:
// the library refused the call before anything reached the server (the
// object was busy with another operation, or an argument was refused).
#define FTPE_REFUSED 9

// Version 2 of the interface, from CreateFtpClientInstance(2): the 17
// operations unchanged, then these five, under the same layout rules. An
// older library gives null for selector 2.
struct IFtpClient2 : IFtpClient {
    // ReadStream at any position below 2^63: the same results, seek flag,
    // retries and head buffer. A position from 2^63 on is refused (0).
    virtual int ReadStream64(const char* remotePath, unsigned char* buffer,
                             unsigned long long position, unsigned int length,
                             unsigned int* bytesRead) = 0;                // slot 17
    // 1 with the full size in *size; 0 when there is none (a missing file,
    // a refusal, a failure: GetLastErrorCode tells them apart).
    virtual int GetRemoteFileSize64(const char* remotePath, long long* size) = 0;  // slot 18
    // The whole listing text, NUL-terminated, in buffer: 1 when it fit, with
    // *needed its length and the NUL. 0 with *needed set (the NUL counted)
    // when bufferSize is too small: the listing is kept for the next call
    // on this object from the same thread with the same directory and
    // pattern, which takes it without asking the server again. 0 with
    // *needed 0 when there is no listing (refused, failed). needed may be
    // null.
    virtual int ListDirectoryAll(const char* directory, const char* pattern, char* buffer,
                                 unsigned int bufferSize, unsigned int* needed) = 0;  // slot 19
    // The outcome of the last call on this object from this thread, any
    // slot: 0 success, an FTPE_ code 1..8, or FTPE_REFUSED. A size of a
    // missing file is 0 (the server answered, with no size). For SendFile
    // and ReceiveFile it covers their start; their outcome comes as a
    // message.
    virtual int GetLastErrorCode() = 0;                                   // slot 20
    // The same outcome as a short English sentence; valid until the next
    // call on this object from this thread.
    virtual const char* GetLastErrorText() = 0;                           // slot 21
};

#if defined(_WIN32) && defined(FTPCLIENT_BUILDING)
#define FTPCLIENT_EXPORT __declspec(dllexport)
#elif defined(_WIN32)
#define FTPCLIENT_EXPORT __declspec(dllimport)
#else
#define FTPCLIENT_EXPORT __attribute__((visibility("default")))
#endif

// selector 0: a new client object (IFtpClient); selector 2 is version 2 of
// the interface: a new client object that is an IFtpClient2 (cast the
// pointer); any other selector: null.
extern "C" FTPCLIENT_EXPORT IFtpClient* CreateFtpClientInstance(int selector);
