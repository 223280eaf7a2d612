// One whole request through the public client operations, against a
// FakeFtpPeer that answers the worker's commands with the input's replies.
// The session and the worker run on their own threads as in a host; the
// run ends only once the client object has been destroyed, so every thread
// of the run has let go of it and the leak checker sees a settled heap.
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "client/FtpClientObjects.h"
#include "fuzz/targets/CommandLines.h"
#include "fuzz/targets/FakeFtpPeer.h"
#include "fuzz/targets/FuzzInput.h"
#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/ScratchFiles.h"
#include "platform/Threads.h"
#include "session/CFtpClientThread.h"

namespace {

const size_t kMaxAnswers = 32;
const size_t kMaxPieces = 16;
// Bounds a broken run; a healthy one ends in tens of milliseconds, since
// the peer moves the clock past every limit the library waits for.
const int kEndLimitMs = 10000;

enum Operation {
    kSize,
    kDelete,
    kMakeDirectory,
    kRemoveDirectory,
    kList,
    kUpload,
    kDownload,
    kStream,
    kOperationCount
};

// Tells when the last reference to the client has gone.
class ObservedClient : public CFtpClientObject {
public:
    explicit ObservedClient(std::atomic<bool>* destroyed) : m_pDestroyed(destroyed) {}
    ~ObservedClient() override { m_pDestroyed->store(true); }

private:
    std::atomic<bool>* const m_pDestroyed;
};

bool WaitUntil(const std::function<bool()>& condition, int limitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        plat::Sleep(1);
    }
    return true;
}

PeerScript ReadScript(FuzzInput* input, uint8_t options) {
    PeerScript script;
    script.closeWhenDone = (options & 4) != 0;
    script.dataPlan = (DataPlan)input->TakeChoice(kDataPlanCount);
    std::vector<std::string> parts = SplitAt(input->TakeRest(), kDataStart, 2);
    for (const std::string& answer : SplitAt(parts[0], kAnswerEnd, kMaxAnswers)) {
        script.answers.push_back(SplitAt(answer, kPieceEnd, kMaxPieces));
    }
    if (parts.size() > 1) script.data = parts[1];
    return script;
}

std::string AllAnswerText(const PeerScript& script) {
    std::string text;
    for (const auto& answer : script.answers) {
        for (const std::string& piece : answer) text += piece;
    }
    return text;
}

// An asynchronous transfer has ended once its operation code is cleared
// (or the session is gone).
void WaitForTransferEnd(CFtpClient* client) {
    CFtpClientThread* session = client->AcquireSession();
    if (session == nullptr) return;
    bool ended = WaitUntil(
        [session] {
            return session->m_nOperation.load() == kOperationNone || session->HasEnded();
        },
        kEndLimitMs);
    session->ReleaseRef();
    FuzzCheck(ended, "a transfer did not end");
}

void RunSynchronous(CFtpClient* client, Operation operation, const std::string& answers) {
    bool has250 = answers.find("250 ") != std::string::npos;
    switch (operation) {
    case kSize: {
        int size = client->GetRemoteFileSize("/a/b/file.bin");
        FuzzCheck(size >= -1, "size below -1");
        FuzzCheck(size <= 0 || answers.find("213 ") != std::string::npos,
                  "a size without \"213 \"");
        break;
    }
    case kDelete: {
        int deleted = client->DeleteRemoteFile("/a/b/file.bin");
        FuzzCheck(deleted == 0 || deleted == 1, "delete result not 0/1");
        FuzzCheck(deleted == 0 || has250, "deleted without \"250 \"");
        break;
    }
    case kMakeDirectory: {
        int made = client->CreateOrRemoveDirectory("/a/b/new", 1);
        FuzzCheck(made == 0 || made == 1, "directory result not 0/1");
        FuzzCheck(made == 0 || answers.find("257 ") != std::string::npos ||
                      answers.find("550 ") != std::string::npos,
                  "directory made without \"257 \" or \"550 \"");
        break;
    }
    case kRemoveDirectory: {
        int removed = client->CreateOrRemoveDirectory("/a/b/old", 0);
        FuzzCheck(removed == 0 || removed == 1, "directory result not 0/1");
        FuzzCheck(removed == 0 || has250, "directory removed without \"250 \"");
        break;
    }
    default:
        break;
    }
}

void RunList(CFtpClient* client, const std::string& answers) {
    const char* listing = client->ListDirectory("/a/b", "*.ts");
    FuzzCheck(listing != nullptr, "no listing text");
    if (listing == nullptr) return;
    FuzzCheck(memchr(listing, '\0', kTextFieldSize) != nullptr, "listing without NUL");
    FuzzCheck(listing[0] == '\0' || answers.find("226 ") != std::string::npos ||
                  answers.find("250 ") != std::string::npos,
              "a listing without \"226 \" or \"250 \"");
}

void RunTransfer(CFtpClient* client, Operation operation, const ScratchFiles& files) {
    int started = operation == kUpload
                      ? client->SendFile(files.UploadPath().c_str(), "/a/b/up.bin")
                      : client->ReceiveFile("/a/b/down.bin", files.DownloadPath().c_str());
    FuzzCheck(started == 1, "a transfer was refused");
    if (started == 1) WaitForTransferEnd(client);
}

// One to three reads, from the options' upper bits: one after the other
// or each 10000 bytes further on, of 100 to 800 bytes.
void RunStream(CFtpClient* client, uint8_t options) {
    int reads = 1 + ((options >> 3) & 3) % 3;
    bool jumping = (options & 0x20) != 0;
    unsigned int length = 100u << ((options >> 6) & 3);
    std::vector<unsigned char> buffer(length);
    unsigned int position = 0;
    for (int i = 0; i < reads; ++i) {
        unsigned int bytesRead = 0;
        int result = client->ReadStream("/a/b/stream.bin", buffer.data(), position, length,
                                        &bytesRead);
        FuzzCheck(result == 0 || result == 1, "stream read result not 0/1");
        FuzzCheck(bytesRead <= length, "a stream read delivered more than asked for");
        position += jumping ? 10000 : bytesRead;
    }
}

void RunOperation(CFtpClient* client, Operation operation, uint8_t options,
                  const PeerScript& script, const ScratchFiles& files) {
    switch (operation) {
    case kList: RunList(client, AllAnswerText(script)); break;
    case kUpload:
    case kDownload: RunTransfer(client, operation, files); break;
    case kStream: RunStream(client, options); break;
    default: RunSynchronous(client, operation, AllAnswerText(script)); break;
    }
}

}  // namespace

void FuzzWorkerReplies(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    Operation operation = (Operation)input.TakeChoice(kOperationCount);
    uint8_t options = input.TakeByte();
    PeerScript script = ReadScript(&input, options);

    ScratchFiles files;
    FuzzCheck(files.Prepare(script.data), "no scratch files");
    FakeFtpPeer peer(script);
    bool listening = peer.Start();
    FuzzCheck(listening, "no loopback listener");
    if (!listening) return;

    std::atomic<bool> destroyed(false);
    CFtpClient* client = new ObservedClient(&destroyed);
    client->SetConnectParameter("127.0.0.1", "fuzzuser", "fuzzpass", peer.Port(), options & 1,
                                (options >> 1) & 1, "", 1);
    client->SetTransferRate(100.0);
    RunOperation(client, operation, options, script, files);
    client->Release();
    FuzzCheck(WaitUntil([&destroyed] { return destroyed.load(); }, kEndLimitMs),
              "the session did not end after Release");
    peer.Stop();
    // An empty line is the stream's keep-alive.
    CheckCommandLines(peer.Commands(),
                      {"USER ", "PASS ", "TYPE ", "CWD ", "SIZE ", "DELE ", "MKD ", "RMD ", "PASV",
                       "LIST ", "STOR ", "APPE ", "REST ", "RETR ", "ABOR", "QUIT", "NOOP"},
                      true);
    if (operation == kDownload) {
        FuzzCheck(files.DownloadedSize() <= (long long)peer.DataBytesOffered(),
                  "the download holds more bytes than were sent");
    }
}
