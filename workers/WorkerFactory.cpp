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

template <class Worker>
bool Start(std::atomic<Worker*>& pointer, CFtpClientThread* session) {
    Worker* worker = new (std::nothrow) Worker(session);
    if (worker == nullptr) return false;
    pointer = worker;
    if (worker->CreateThread()) return true;
    pointer = nullptr;
    delete worker;
    return false;
}

}  // namespace

bool StartWorkerFor(CFtpClientThread* session, int operation) {
    switch (operation) {
    case kOperationUpload: return Start(session->m_pStorThread, session);
    case kOperationDelete: return Start(session->m_pDeleThread, session);
    case kOperationSize: return Start(session->m_pSizeThread, session);
    // At most one stream worker: a running one serves the stream's reads.
    case kOperationStream:
        return session->m_pStreamThread.load() != nullptr || Start(session->m_pStreamThread, session);
    case kOperationDownload: return Start(session->m_pReceThread, session);
    case kOperationList: return Start(session->m_pListThread, session);
    case kOperationDirectory: return Start(session->m_pDirThread, session);
    default: return false;
    }
}
