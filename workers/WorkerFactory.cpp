#include "workers/WorkerFactory.h"

#include <new>

#include "session/CFtpClientThread.h"
#include "workers/CDeleThread.h"
#include "workers/CDirThread.h"
#include "workers/CListThread.h"
#include "workers/CReceThread.h"
#include "workers/CSizeThread.h"
#include "workers/CStreamThread.h"
#include "workers/CStorThread.h"

namespace {

CWorkerThread* NewWorker(CFtpClientThread* session, int operation) {
    switch (operation) {
    case kOperationUpload: return new (std::nothrow) CStorThread(session);
    case kOperationDelete: return new (std::nothrow) CDeleThread(session);
    case kOperationStream: return new (std::nothrow) CStreamThread(session);
    case kOperationSize: return new (std::nothrow) CSizeThread(session);
    case kOperationDownload: return new (std::nothrow) CReceThread(session);
    case kOperationList: return new (std::nothrow) CListThread(session);
    case kOperationDirectory: return new (std::nothrow) CDirThread(session);
    default: return nullptr;
    }
}

}  // namespace

// At most one stream worker: a running one serves the stream's reads.
bool StartWorkerFor(CFtpClientThread* session, int operation) {
    if (operation == kOperationStream && session->StreamWorker() != nullptr) return true;
    CWorkerThread* worker = NewWorker(session, operation);
    if (worker == nullptr) return false;
    session->m_pWorker = worker;
    if (worker->CreateThread()) return true;
    session->m_pWorker = nullptr;
    delete worker;
    return false;
}
