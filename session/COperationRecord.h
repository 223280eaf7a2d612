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

#include <string>

#include "IFtpClient.h"
#include "platform/Platform.h"
#include "platform/Threads.h"
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
    // worker writes another, no error and no reason. The listing and the
    // directory result are the list's and the directory request's own to
    // clear: a host may still be reading the text an earlier listing
    // returned.
    void Begin(int operation, plat::HWND notifyWindow);
    // Clears what tells why an operation failed (a stream read, which does
    // not begin the record anew, clears it for each read).
    void ClearFailure();
    // The failure's reason in words, for GetLastErrorText.
    void NoteReason(const char* reason);

    // The whole listing, handed over under its own lock: the list worker
    // puts it in as it ends, the request takes it out (leaving it empty).
    void PutListing(std::string&& listing);
    std::string TakeListing();
    // The worker answered and the server did what was asked.
    bool Succeeded() const { return m_bAnswered.load() && m_bSucceeded.load() == 1; }

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
    // The server answered commands sent together out of place (or dropped
    // them) once: this object's streams send one command per reply. Kept
    // for the object's life, never cleared by Begin.
    std::atomic<uint8_t> m_bOneCommandPerReply;

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
    // The FTPE_ code the session told the host (WM_FTP_ERROR) while this
    // operation ran: a failed connect or login, a time-out, for which no
    // worker answered. 0 for none.
    std::atomic<int32_t> m_nSessionError;
    // Why the operation failed, in a short English sentence, when the code
    // alone says too little (the TLS reasons: an untrusted certificate, a
    // name or pin mismatch, a server that refused TLS); empty otherwise.
    // Written by the session or a worker before the request is answered,
    // read by the request after.
    char m_szErrorText[kErrorTextSize];
    // 1 when the directory is there (made, or there already) or was removed.
    std::atomic<int32_t> m_nDirectoryResult;
    // The listing's first 259 characters (ListDirectory's text).
    char m_szListResult[kTextFieldSize];

private:
    plat::CCriticalSection m_csListing;
    // The whole listing text of the last listing (see PutListing).
    std::string m_Listing;
};
