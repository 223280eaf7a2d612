#include "session/COperationRecord.h"

#include <stdio.h>
#include <string.h>

COperationRecord::COperationRecord(IFtpClient* owner, plat::HANDLE doneEvent)
    : m_pOwner(owner),
      m_hDoneEvent(doneEvent),
      m_nOperation(kOperationNone),
      m_bOverwrite(0),
      m_bAppend(0),
      m_bMakeDir(0),
      m_hNotifyWnd(0),
      m_nBlockSize(0),
      m_nStreamMode(1),
      m_dTransferRate(0.0),
      m_bOneCommandPerReply(0),
      m_nStreamStart(0),
      m_nReadLength(0),
      m_pReadBuffer(nullptr),
      m_pReadCount(nullptr),
      m_bAnswered(false),
      m_bSucceeded(0),
      m_nFileSize(-1),
      m_nErrorCode(0),
      m_nSessionError(0),
      m_nDirectoryResult(0) {
    m_szRemotePath[0] = '\0';
    m_szLocalPath[0] = '\0';
    m_szErrorText[0] = '\0';
    m_szListResult[0] = '\0';
}

void COperationRecord::Begin(int operation, plat::HWND notifyWindow) {
    m_nOperation = operation;
    m_szRemotePath[0] = '\0';
    m_szLocalPath[0] = '\0';
    m_bOverwrite = 0;
    m_bAppend = 0;
    m_bMakeDir = 0;
    m_hNotifyWnd = notifyWindow;
    m_bAnswered = false;
    m_bSucceeded = 0;
    m_nFileSize = -1;
    m_nDirectoryResult = 0;
    // The last listing's text stays for the host until the next listing.
    if (operation == kOperationList) m_szListResult[0] = '\0';
    ClearFailure();
}

void COperationRecord::ClearFailure() {
    m_nErrorCode = 0;
    m_nSessionError = 0;
    m_szErrorText[0] = '\0';
}

void COperationRecord::NoteReason(const char* reason) {
    snprintf(m_szErrorText, sizeof m_szErrorText, "%s", reason);
}

void COperationRecord::PutListing(std::string&& listing) {
    plat::ScopedLock lock(m_csListing);
    m_Listing = std::move(listing);
}

std::string COperationRecord::TakeListing() {
    plat::ScopedLock lock(m_csListing);
    std::string listing = std::move(m_Listing);
    m_Listing.clear();
    return listing;
}
