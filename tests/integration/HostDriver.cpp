#include "tests/integration/HostDriver.h"

#include <chrono>
#include <thread>

#include "platform/Platform.h"
#include "tools/common/ProcessCounts.h"

namespace hostdriver {

const std::string kContent = transfertest::NonRepeatingBytes(100000, 7);
const char kListing[] = "-rw-r--r-- 1 ftp ftp 100000 Jan 01 00:00 f.bin\r\n";

namespace {

const int kRequestLimitMs = 30000;
const int kRoundMs = 50;
const int kRoundsPerClockStep = 5;

std::atomic<int64_t> g_ClockOffset{0};


// "all bytes right", "no bytes", or how many bytes came and whether they
// are the file's first bytes (from start on).
std::string DescribeBytes(const std::string& bytes, size_t start = 0) {
    if (bytes.empty()) return "no bytes";
    if (bytes.size() == kContent.size() - start && kContent.compare(start, bytes.size(), bytes) == 0) {
        return "all bytes right";
    }
    bool right = kContent.compare(start, bytes.size(), bytes) == 0;
    return std::to_string(bytes.size()) + (right ? " bytes right" : " bytes wrong");
}

}  // namespace

const char* JobName(Job job) {
    static const char* const names[] = {"Size", "Delete",   "MakeDir", "RemoveDir",
                                        "List", "Download", "Upload",  "Stream"};
    return names[(int)job];
}

void MoveClockBy(int64_t milliseconds) {
    plat::SetClockOffsetForTesting(g_ClockOffset += milliseconds);
}

ClockOffsetGuard::~ClockOffsetGuard() {
    g_ClockOffset = 0;
    plat::SetClockOffsetForTesting(0);
}

HostRun::HostRun(uint16_t port, int clockStepMs) : m_ClockStepMs(clockStepMs) {
    m_Client->SetMessageWindow(m_Window.Handle());
    m_Client.ConnectTo(port);
}

Outcome HostRun::Run(Job job) {
    Outcome outcome;
    std::future<std::string> call = Start(job);
    // A transfer's call returns at once; its end is the end of its operation,
    // with or without a notice.
    bool transfer = job == Job::Download || job == Job::Upload;
    bool ended = Drive([&] {
        if (transfer) return m_Client.OperationEnded();
        return call.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
    });
    if (ended) {
        outcome.result = call.get();
        outcome.lastError = m_nLastError.load();
    } else {
        outcome.result = "(still running)";
        AbandonCall();
    }
    m_Window.Drain();
    outcome.errors = m_Window.ParametersOf(WM_FTP_ERROR);
    outcome.completes = m_Window.ParametersOf(WM_FTP_COMPLETE).size();
    return outcome;
}

bool HostRun::ClockHeld() const {
    return m_pClockReleased != nullptr && !m_pClockReleased->load();
}

bool HostRun::Drive(const std::function<bool()>& condition) {
    for (int round = 0; round < kRequestLimitMs / kRoundMs; ++round) {
        m_Window.Drain();
        bool held = ClockHeld();
        if (condition()) {
            m_bEndedWhileHeld = held;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kRoundMs));
        if (m_ClockStepMs != 0 && !held && round % kRoundsPerClockStep == kRoundsPerClockStep - 1) {
            MoveClockBy(m_ClockStepMs);
        }
    }
    return false;
}

HostRun::~HostRun() {
    if (m_CallThread.joinable()) m_CallThread.join();
}

void HostRun::AbandonCall() {
    if (!m_CallThread.joinable()) return;
    m_CallThread.detach();
    m_Client.Abandon();
}

std::future<std::string> HostRun::OnCallThread(std::function<std::string()> call) {
    CFtpClient* client = m_Client.get();
    std::packaged_task<std::string()> task([this, client, call = std::move(call)] {
        std::string result = call();
        m_nLastError = client->GetLastErrorCode();
        return result;
    });
    std::future<std::string> result = task.get_future();
    m_CallThread = std::thread(std::move(task));
    return result;
}

std::future<std::string> HostRun::Start(Job job) {
    CFtpClient* client = m_Client.get();
    auto synchronous = [this](std::function<std::string()> call) { return OnCallThread(std::move(call)); };
    switch (job) {
    case Job::Size:
        return synchronous([client] { return std::to_string(client->GetRemoteFileSize("/f.bin")); });
    case Job::Delete:
        return synchronous([client] { return std::to_string(client->DeleteRemoteFile("/f.bin")); });
    case Job::MakeDir:
        return synchronous([client] { return std::to_string(client->CreateOrRemoveDirectory("/d", 1)); });
    case Job::RemoveDir:
        return synchronous([client] { return std::to_string(client->CreateOrRemoveDirectory("/d", 0)); });
    case Job::List:
        return synchronous([client] {
            const char* listing = client->ListDirectory("/", "*");
            return std::string(listing != nullptr ? listing : "(null)");
        });
    case Job::Stream:
        return synchronous([client, start = m_StreamStart] {
            std::string buffer(kContent.size() - start, '\0');
            unsigned got = 0;
            int result = client->ReadStream("/f.bin", (unsigned char*)&buffer[0], start,
                                            (unsigned)buffer.size(), &got);
            return std::to_string(result) + " " + DescribeBytes(buffer.substr(0, got), start);
        });
    case Job::Download: {
        std::string file = LocalFile();
        int started = client->ReceiveFile("/f.bin", file.c_str());
        m_nLastError = client->GetLastErrorCode();
        return std::async(std::launch::deferred, [started, file] {
            return std::to_string(started) + " file " + DescribeBytes(transfertest::ReadWholeFile(file));
        });
    }
    case Job::Upload: {
        transfertest::WriteWholeFile(LocalFile(), kContent);
        int started = client->SendFile(LocalFile().c_str(), "f.bin");
        m_nLastError = client->GetLastErrorCode();
        return std::async(std::launch::deferred, [started] { return std::to_string(started); });
    }
    }
    return {};
}

bool DescriptorsCountable() {
    return processcounts::OpenDescriptors() > 0;
}

ProcessResources CountProcessResources() {
    return {processcounts::Threads(), processcounts::OpenDescriptors()};
}

bool ResourcesBackTo(const ProcessResources& baseline, int timeoutMs, ProcessResources* now) {
    return testhost::WaitUntil(
        [&] {
            *now = CountProcessResources();
            bool descriptorsBack = baseline.descriptors < 0 || now->descriptors <= baseline.descriptors;
            return now->threads <= baseline.threads && descriptorsBack;
        },
        timeoutMs);
}

}  // namespace hostdriver
