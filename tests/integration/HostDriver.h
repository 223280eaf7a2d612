// A host running one request against a server the test scripts, the way a
// media host would: through the client object's operations and a message
// window. It reports the call's result in words and every notice posted,
// moves the platform clock on while it waits (the 80 s and 120 s limits are
// never slept through), and is bounded in time itself.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/TestHost.h"
#include "tests/integration/TransferTestSupport.h"

namespace hostdriver {

// The request a test makes; every one works on /f.bin (or the folder /d).
enum class Job { Size, Delete, MakeDir, RemoveDir, List, Download, Upload, Stream };

const char* JobName(Job job);

// The remote file f.bin, and the listing the server sends for "LIST *".
extern const std::string kContent;
extern const char kListing[];

// Scripts and hosts both move the clock; one offset keeps it from going back.
void MoveClockBy(int64_t milliseconds);

// Puts the clock back where it was when the test ends.
struct ClockOffsetGuard {
    ~ClockOffsetGuard();
};

// What the host saw: the call's result in words, and the notices.
//   Size: the size; Delete, MakeDir, RemoveDir: the result; List: the text
//   ("(null)" for a refusal); Upload: the call's result; Download: the call's
//   result and "file" with the local file's bytes; Stream: the result of a
//   read of the whole file (or its rest, StartStreamAt) and its bytes. Bytes are "all bytes right", "no
//   bytes", or "N bytes right" (the file's first N) or "N bytes wrong".
// lastError: GetLastErrorCode on the calling thread right after the call.
struct Outcome {
    std::string result;
    std::vector<intptr_t> errors;
    size_t completes = 0;
    int lastError = -1;
};

class HostRun {
public:
    // clockStepMs: when not 0, the clock moves on by that much after every
    // 250 ms spent waiting for the request to end.
    HostRun(uint16_t port, int clockStepMs);
    ~HostRun();
    HostRun(const HostRun&) = delete;
    HostRun& operator=(const HostRun&) = delete;

    // Makes the request and waits (at most 30 s) for its end: the call's
    // return, and for the two transfers the end of their operation. A call
    // that has not returned by then is left running, with its client object
    // (never released: the call is still inside it), so the test fails
    // instead of hanging.
    Outcome Run(Job job);

    // The clock stays until released is set (by a script that moves it
    // itself); a request that ends before then is noted.
    void HoldClockUntil(const std::atomic<bool>* released) { m_pClockReleased = released; }
    bool EndedWhileClockHeld() const { return m_bEndedWhileHeld; }

    // A stream read starts at position and asks for the rest of the file
    // (0 unless told); its bytes are compared with the file from there.
    void StartStreamAt(unsigned position) { m_StreamStart = position; }

    // The local file a download writes and an upload reads.
    std::string LocalFile() const { return m_Folder.File("f.bin"); }

private:
    bool ClockHeld() const;
    // Drives the clock while condition is false; false when it never held.
    bool Drive(const std::function<bool()>& condition);
    std::future<std::string> Start(Job job);
    // The synchronous requests run on a thread of the host's own.
    std::future<std::string> OnCallThread(std::function<std::string()> call);
    void AbandonCall();

    const int m_ClockStepMs;
    unsigned m_StreamStart = 0;
    std::atomic<int> m_nLastError{-1};
    const std::atomic<bool>* m_pClockReleased = nullptr;
    bool m_bEndedWhileHeld = false;
    transfertest::TempFolder m_Folder;
    testhost::MessageWindow m_Window;
    testhost::Client m_Client;
    std::thread m_CallThread;
};

// Threads and open descriptors (handles on Windows) of this process; -1
// where the system gives no count.
struct ProcessResources {
    int threads = -1;
    int descriptors = -1;
};

ProcessResources CountProcessResources();
// Whether the system counts this process's descriptors (Wine gives no
// handle count).
bool DescriptorsCountable();

// Waits (at most timeoutMs) until neither count is above baseline's
// (descriptors only where counted).
bool ResourcesBackTo(const ProcessResources& baseline, int timeoutMs, ProcessResources* now);

}  // namespace hostdriver
