// One host thread of the soak: its own message window and client object,
// random operations from its own seeded generator, faults injected on the
// way (stops from a second thread during a call, releases in every state,
// each followed by a new client object), every returned byte checked.
#pragma once

#include <stdint.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "CallWatchdog.h"
#include "IFtpClient.h"
#include "SoakStats.h"
#include "tools/common/HostMessageWindow.h"

struct SoakFile {
    std::string remotePath;
    uint32_t patternId;
    uint64_t size;
};

struct SoakSetup {
    uint16_t port;
    std::string serverRoot;   // the folder the server serves
    std::string localFolder;  // downloads and upload sources
    std::vector<SoakFile> streamFiles;
};

class SoakHost {
public:
    SoakHost(int index, uint64_t seed, const SoakSetup& setup, SoakStats& stats,
             CallWatchdog& watchdog);
    ~SoakHost();
    SoakHost(const SoakHost&) = delete;
    SoakHost& operator=(const SoakHost&) = delete;

    void RunUntil(std::chrono::steady_clock::time_point end);

private:
    void Step();
    void EndStreamBefore(SoakOp op);
    void NewClient();
    void ReleaseClient();
    template <typename Call>
    auto Guarded(const char* name, bool injectStop, Call call) -> decltype(call());

    void DoSize();
    void DoList();
    void DoDelete();
    void DoMakeRemoveDir();
    void DoUpload();
    void DoDownload();
    void DoStreamRead();
    void DoReleaseAfterStart(SoakOp op);
    void DoReleaseWhileConnecting();

    bool StartUpload(std::string* remotePath);
    bool StartDownload(const SoakFile& file, std::string* localPath);
    void DropQueuedNotices();
    // WM_FTP_COMPLETE (0) or the WM_FTP_ERROR code; -1 when nothing came.
    int WaitForTransferEnd();
    void VerifyFile(const std::string& path, uint32_t patternId, uint64_t size, const char* what);
    void ChooseStreamPosition();

    const int m_Index;
    const SoakSetup& m_Setup;
    SoakStats& m_Stats;
    CallWatchdog& m_Watchdog;
    std::mt19937_64 m_Random;
    uint64_t m_Step = 0;
    HostMessageWindow m_Window;
    IFtpClient* m_pClient = nullptr;

    SoakFile m_UploadSource;
    std::vector<std::string> m_Uploaded;
    unsigned m_Serial = 0;
    bool m_StreamRunning = false;
    size_t m_StreamFile = 0;
    uint64_t m_StreamPos = 0;
    std::vector<uint8_t> m_Buffer;
};
