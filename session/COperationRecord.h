// One operation as the client hands it to the session: what to do, the
// settings it runs with, a stream read's destination, and the result that
// the worker writes and the waiting host call reads. The worker takes
// everything it needs from here and never looks at the client object.
//
// The client owns one record for its life and fills it anew for each
// operation (Begin); the session and its worker reach it through the one
// pointer the client gave the session. One operation runs at a time, so a
// record is never filled while a worker still reads it.
//
// Threads: the request part is written by the client before the hand-over,
// whose last write is the session's operation code. The result part is
// written by the worker (under the session's m_cs) before it marks the
// record answered and sets the done event. A stream read rewrites its read
// fields under m_cs while no read is pending.
#pragma once

#include <atomic>
#include <stdint.h>

#include "IFtpClient.h"
#include "platform/Platform.h"
#include "session/FieldSizes.h"

enum FtpOperation {
    kOperationNone = 0,
    kOperationUpload = 1,
    kOperationDelete = 2,
    kOperationStream = 3,
    kOperationSize = 4,
    kOperationDownload = 5,
    kOperationList = 6,
    kOperationDirectory = 7,
};

class COperationRecord {
public:
    // owner: the object named in every notice (the wParam the host gets);
    // doneEvent: the event a waiting host call waits on.
    COperationRecord(IFtpClient* owner, plat::HANDLE doneEvent);
    COperationRecord(const COperationRecord&) = delete;
    COperationRecord& operator=(const COperationRecord&) = delete;

    // A new operation: the request cleared, the result a failure until a
    // worker writes another. The listing and the directory result are the
    // list's and the directory request's own to clear: a host may still be
    // reading the text an earlier listing returned.
    void Begin(int operation, plat::HWND notifyWindow);

    IFtpClient* const m_pOwner;
    const plat::HANDLE m_hDoneEvent;

    // ---- What to do ----
    int32_t m_nOperation;
    char m_szRemotePath[kTextFieldSize];
    char m_szLocalPath[kTextFieldSize];
    uint8_t m_bOverwrite;
    uint8_t m_bAppend;
    uint8_t m_bMakeDir;
    // Where notices about this operation go (0: nowhere but the buffering
    // notice, see PostBufferingNotice).
    std::atomic<plat::HWND> m_hNotifyWnd;

    // ---- The settings it runs with ----
    uint32_t m_nBlockSize;
    int32_t m_nStreamMode;
    // The one setting a running transfer follows: the client writes a new
    // rate here too, and the file workers read it for every block.
    std::atomic<double> m_dTransferRate;

    // ---- A stream read (each read writes its own) ----
    std::atomic<uint64_t> m_nStreamStart;
    std::atomic<uint32_t> m_nReadLength;
    std::atomic<uint8_t*> m_pReadBuffer;
    std::atomic<uint32_t*> m_pReadCount;

    // ---- The result ----
    // A worker wrote this operation's result (a session that answers a
    // request itself, failing, does not set it).
    std::atomic<bool> m_bAnswered;
    std::atomic<uint8_t> m_bSucceeded;
    // A size request's answer in full; -1 for none.
    std::atomic<int64_t> m_nFileSize;
    // The FTPE_ code of the last failure (0 for none), also written by the
    // session; stream reads clear it and retry on some codes.
    std::atomic<int32_t> m_nErrorCode;
    // 1 when the directory is there (made, or there already) or was removed.
    std::atomic<int32_t> m_nDirectoryResult;
    char m_szListResult[kTextFieldSize];
};
