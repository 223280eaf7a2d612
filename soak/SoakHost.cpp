#include "SoakHost.h"

#include <stdio.h>
#include <unistd.h>

#include <thread>

#include "ContentPattern.h"

namespace {

const char kPassword[] = "secret";
const unsigned kLongestRead = 65536;
const int kTransferEndLimitMs = 110000;

struct Weighted {
    SoakOp op;
    int weight;
};

const Weighted kMix[] = {
    {SoakOp::Size, 10},         {SoakOp::List, 8},
    {SoakOp::Delete, 5},        {SoakOp::MakeRemoveDir, 5},
    {SoakOp::Upload, 5},        {SoakOp::Download, 5},
    {SoakOp::StreamRead, 45},   {SoakOp::StopWhileIdle, 3},
    {SoakOp::ReleaseIdle, 2},   {SoakOp::ReleaseAfterUpload, 2},
    {SoakOp::ReleaseAfterDownload, 2}, {SoakOp::ReleaseDuringStream, 2},
    {SoakOp::ReleaseWhileConnecting, 2},
};

}  // namespace

SoakHost::SoakHost(int index, uint64_t seed, const SoakSetup& setup, SoakStats& stats,
                   CallWatchdog& watchdog)
    : m_Index(index),
      m_Setup(setup),
      m_Stats(stats),
      m_Watchdog(watchdog),
      m_Random(seed * 1000003u + (uint64_t)index),
      m_Window("FtpSoakHostWindow", "soak host"),
      m_Buffer(kLongestRead) {
    m_UploadSource.remotePath = setup.localFolder + "/source-" + std::to_string(index) + ".bin";
    m_UploadSource.patternId = 100 + (uint32_t)index;
    m_UploadSource.size = 200000 + m_Random() % 1300000;
    if (!ContentPattern::WriteFile(m_UploadSource.remotePath, m_UploadSource.patternId,
                                   m_UploadSource.size)) {
        m_Stats.Violation("cannot write the upload source " + m_UploadSource.remotePath);
    }
    NewClient();
}

SoakHost::~SoakHost() {
    ReleaseClient();
}

void SoakHost::RunUntil(std::chrono::steady_clock::time_point end) {
    while (std::chrono::steady_clock::now() < end) Step();
}

void SoakHost::Step() {
    ++m_Step;
    int total = 0;
    for (const Weighted& w : kMix) total += w.weight;
    int pick = (int)(m_Random() % (uint64_t)total);
    SoakOp op = SoakOp::Size;
    for (const Weighted& w : kMix) {
        if (pick < w.weight) {
            op = w.op;
            break;
        }
        pick -= w.weight;
    }
    EndStreamBefore(op);
    switch (op) {
    case SoakOp::Size: DoSize(); break;
    case SoakOp::List: DoList(); break;
    case SoakOp::Delete: DoDelete(); break;
    case SoakOp::MakeRemoveDir: DoMakeRemoveDir(); break;
    case SoakOp::Upload: DoUpload(); break;
    case SoakOp::Download: DoDownload(); break;
    case SoakOp::StreamRead: DoStreamRead(); break;
    case SoakOp::StopWhileIdle:
        Guarded("StopSession", false, [&] { m_pClient->StopSession(); return 0; });
        m_Stats.Count(op, false);
        break;
    case SoakOp::ReleaseIdle:
        ReleaseClient();
        NewClient();
        m_Stats.Count(op, false);
        break;
    case SoakOp::ReleaseDuringStream:
        DoStreamRead();
        ReleaseClient();
        NewClient();
        m_Stats.Count(op, false);
        break;
    case SoakOp::ReleaseAfterUpload:
    case SoakOp::ReleaseAfterDownload: DoReleaseAfterStart(op); break;
    case SoakOp::ReleaseWhileConnecting: DoReleaseWhileConnecting(); break;
    case SoakOp::Count: break;
    }
}

// A running stream keeps the session busy: every other request is refused
// until it ends, so a host ends it first, as a player does when it closes
// a file.
void SoakHost::EndStreamBefore(SoakOp op) {
    bool streaming = op == SoakOp::StreamRead || op == SoakOp::ReleaseDuringStream;
    if (streaming || !m_StreamRunning) return;
    Guarded("StopSession", false, [&] { m_pClient->StopSession(); return 0; });
    m_StreamRunning = false;
}

void SoakHost::NewClient() {
    m_StreamRunning = false;
    m_pClient = CreateFtpClientInstance(0);
    if (m_pClient == nullptr) {
        m_Stats.Violation("CreateFtpClientInstance returned null");
        return;
    }
    m_pClient->SetConnectParameter("127.0.0.1", "ftp", kPassword, m_Setup.port, 1, 0, "", 0);
    m_pClient->SetMessageWindow(m_Window.Handle());
    m_pClient->SetTransferRate(200.0);
}

void SoakHost::ReleaseClient() {
    if (m_pClient == nullptr) return;
    Guarded("Release", false, [&] { m_pClient->Release(); return 0; });
    m_pClient = nullptr;
    m_Stats.CountRelease();
}

// A stop from a second thread lands at a random moment of the call.
template <typename Call>
auto SoakHost::Guarded(const char* name, bool injectStop, Call call) -> decltype(call()) {
    std::thread stopper;
    if (injectStop) {
        int delayMs = (int)(m_Random() % 40);
        IFtpClient* client = m_pClient;
        stopper = std::thread([client, delayMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            client->StopSession();
        });
        m_Stats.CountStopInjected();
    }
    m_Watchdog.Begin(m_Index, name, m_Step);
    auto result = call();
    m_Watchdog.End(m_Index);
    if (stopper.joinable()) {
        m_Watchdog.Begin(m_Index, "StopSession (injected)", m_Step);
        stopper.join();
        m_Watchdog.End(m_Index);
    }
    return result;
}

void SoakHost::DoSize() {
    const SoakFile& file = m_Setup.streamFiles[m_Random() % m_Setup.streamFiles.size()];
    bool stop = m_Random() % 10 == 0;
    int size = Guarded("GetRemoteFileSize", stop,
                       [&] { return m_pClient->GetRemoteFileSize(file.remotePath.c_str()); });
    if (size > 0 && (uint64_t)size != file.size) {
        m_Stats.Violation("size of " + file.remotePath + " reported as " + std::to_string(size));
    }
    m_Stats.Count(SoakOp::Size, size <= 0);
}

void SoakHost::DoList() {
    bool stop = m_Random() % 10 == 0;
    // The whole folder or one file by name (pyftpdlib refuses wildcards).
    const char* pattern = m_Random() % 2 ? "" : "stream-0.bin";
    char* listing =
        Guarded("ListDirectory", stop, [&] { return m_pClient->ListDirectory("/", pattern); });
    // A listing that failed is an empty text; the root is never empty.
    m_Stats.Count(SoakOp::List, listing == nullptr || listing[0] == '\0');
}

void SoakHost::DoDelete() {
    std::string path = "/absent-" + std::to_string(m_Index) + ".bin";
    if (!m_Uploaded.empty()) {
        size_t which = m_Random() % m_Uploaded.size();
        path = m_Uploaded[which];
        m_Uploaded.erase(m_Uploaded.begin() + (long)which);
    }
    bool stop = m_Random() % 10 == 0;
    int result = Guarded("DeleteRemoteFile", stop,
                         [&] { return m_pClient->DeleteRemoteFile(path.c_str()); });
    m_Stats.Count(SoakOp::Delete, result != 1);
}

void SoakHost::DoMakeRemoveDir() {
    std::string path = "/dir-" + std::to_string(m_Index);
    unsigned char create = (unsigned char)(m_Random() % 2);
    bool stop = m_Random() % 10 == 0;
    int result = Guarded("CreateOrRemoveDirectory", stop, [&] {
        return m_pClient->CreateOrRemoveDirectory(path.c_str(), create);
    });
    m_Stats.Count(SoakOp::MakeRemoveDir, result != 1);
}

bool SoakHost::StartUpload(std::string* remotePath) {
    DropQueuedNotices();
    *remotePath = "/up-" + std::to_string(m_Index) + "-" + std::to_string(++m_Serial) + ".bin";
    return Guarded("SendFile", false, [&] {
               return m_pClient->SendFile(m_UploadSource.remotePath.c_str(),
                                          remotePath->c_str() + 1);
           }) == 1;
}

bool SoakHost::StartDownload(const SoakFile& file, std::string* localPath) {
    DropQueuedNotices();
    *localPath = m_Setup.localFolder + "/down-" + std::to_string(m_Index) + "-" +
                 std::to_string(++m_Serial) + ".bin";
    return Guarded("ReceiveFile", false, [&] {
               return m_pClient->ReceiveFile(file.remotePath.c_str(), localPath->c_str());
           }) == 1;
}

void SoakHost::DoUpload() {
    std::string remotePath;
    int end = StartUpload(&remotePath) ? WaitForTransferEnd() : -1;
    if (end == 0) {
        m_Uploaded.push_back(remotePath);
        VerifyFile(m_Setup.serverRoot + remotePath, m_UploadSource.patternId, m_UploadSource.size,
                   "upload");
    }
    m_Stats.Count(SoakOp::Upload, end != 0);
}

void SoakHost::DoDownload() {
    const SoakFile& file = m_Setup.streamFiles[m_Random() % m_Setup.streamFiles.size()];
    std::string localPath;
    int end = StartDownload(file, &localPath) ? WaitForTransferEnd() : -1;
    if (end == 0) VerifyFile(localPath, file.patternId, file.size, "download");
    unlink(localPath.c_str());
    m_Stats.Count(SoakOp::Download, end != 0);
}

void SoakHost::DoReleaseAfterStart(SoakOp op) {
    std::string path;
    if (op == SoakOp::ReleaseAfterUpload) {
        StartUpload(&path);
    } else {
        StartDownload(m_Setup.streamFiles[0], &path);
    }
    ReleaseClient();
    NewClient();
    m_Stats.Count(op, false);
}

void SoakHost::DoReleaseWhileConnecting() {
    ReleaseClient();
    NewClient();
    DoReleaseAfterStart(m_Random() % 2 ? SoakOp::ReleaseAfterUpload : SoakOp::ReleaseAfterDownload);
    m_Stats.Count(SoakOp::ReleaseWhileConnecting, false);
}

// Mostly where the last read ended (the running stream), sometimes far
// away in the same file, sometimes the other file.
void SoakHost::ChooseStreamPosition() {
    unsigned roll = (unsigned)(m_Random() % 100);
    if (roll < 15) m_StreamFile = m_Random() % m_Setup.streamFiles.size();
    uint64_t size = m_Setup.streamFiles[m_StreamFile].size;
    if (roll < 40 || m_StreamPos >= size) {
        m_StreamPos = (m_Random() % 8 == 0) ? 0 : m_Random() % (size + 1);
    }
}

void SoakHost::DoStreamRead() {
    unsigned length = 1 + (unsigned)(m_Random() % kLongestRead);
    ChooseStreamPosition();
    const SoakFile& file = m_Setup.streamFiles[m_StreamFile];
    bool stop = m_Random() % 12 == 0;
    unsigned got = 0;
    int result = Guarded("ReadStream", stop, [&] {
        return m_pClient->ReadStream(file.remotePath.c_str(), m_Buffer.data(),
                                     (unsigned)m_StreamPos, length, &got);
    });
    uint64_t available = file.size - m_StreamPos;
    bool failed = result != 1;
    m_StreamRunning = true;
    if (result == 1) {
        uint64_t expected = std::min<uint64_t>(length, available);
        size_t bad = ContentPattern::FirstMismatch(file.patternId, m_StreamPos, m_Buffer.data(),
                                                   std::min<uint64_t>(got, expected));
        if (got > expected || bad < got) {
            m_Stats.Violation("host " + std::to_string(m_Index) + " step " +
                              std::to_string(m_Step) + ": read " + file.remotePath + " at " +
                              std::to_string(m_StreamPos) + " length " + std::to_string(length) +
                              " gave " + std::to_string(got) + " bytes, first wrong byte " +
                              std::to_string(bad));
        }
        m_Stats.CountVerified(std::min<uint64_t>(got, expected));
        failed = got < expected;
        m_StreamPos += got;
    }
    m_Stats.Count(SoakOp::StreamRead, failed);
}

// The synchronous requests post their notices too; the ones already queued
// must not be taken for the end of the next transfer.
void SoakHost::DropQueuedNotices() {
    m_Window.Drain([](const MSG&) {});
}

int SoakHost::WaitForTransferEnd() {
    m_Watchdog.Begin(m_Index, "waiting for a transfer's end notice", m_Step);
    // Only the first end notice of this client counts; what follows it is
    // dropped before the next transfer in any case.
    int outcome = -1;
    auto note = [&](const MSG& msg) {
        if (outcome >= 0 || msg.wParam != (WPARAM)m_pClient) return;
        if (msg.message == WM_FTP_COMPLETE) outcome = 0;
        if (msg.message == WM_FTP_ERROR) outcome = (int)msg.lParam;
    };
    m_Window.PumpUntil(note, [&] { return outcome >= 0; },
                       std::chrono::milliseconds(kTransferEndLimitMs),
                       std::chrono::milliseconds(5));
    m_Watchdog.End(m_Index);
    if (outcome < 0) {
        m_Stats.Violation("host " + std::to_string(m_Index) + " step " + std::to_string(m_Step) +
                          ": no end notice for a transfer");
    }
    return outcome;
}

void SoakHost::VerifyFile(const std::string& path, uint32_t patternId, uint64_t size,
                          const char* what) {
    FILE* file = fopen(path.c_str(), "rb");
    std::vector<uint8_t> block(65536);
    uint64_t offset = 0;
    bool right = file != nullptr;
    while (right) {
        size_t got = fread(block.data(), 1, block.size(), file);
        if (got == 0) break;
        right = offset + got <= size &&
                ContentPattern::FirstMismatch(patternId, offset, block.data(), got) == got;
        offset += got;
    }
    if (file != nullptr) fclose(file);
    if (!right || offset != size) {
        m_Stats.Violation(std::string(what) + " completed but " + path + " differs (" +
                          std::to_string(offset) + " of " + std::to_string(size) + " bytes)");
        return;
    }
    m_Stats.CountVerified(size);
}
