// The soak's counters, shared by all host threads, and its summary table.
#pragma once

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

enum class SoakOp {
    Size,
    List,
    Delete,
    MakeRemoveDir,
    Upload,
    Download,
    StreamRead,
    StopWhileIdle,
    ReleaseIdle,
    ReleaseAfterUpload,
    ReleaseAfterDownload,
    ReleaseDuringStream,
    ReleaseWhileConnecting,
    Count
};

const char* SoakOpName(SoakOp op);

class SoakStats {
public:
    void Count(SoakOp op, bool failed);
    void CountStopInjected() { ++m_StopsInjected; }
    void CountRelease() { ++m_Releases; }
    void CountVerified(uint64_t bytes) { m_BytesVerified += bytes; }
    void Violation(const std::string& what);

    std::vector<std::string> Violations() const;
    uint64_t BytesVerified() const { return m_BytesVerified.load(); }
    void PrintOperations() const;
    void PrintFaults() const;

private:
    std::atomic<uint64_t> m_Done[(int)SoakOp::Count] = {};
    std::atomic<uint64_t> m_Failed[(int)SoakOp::Count] = {};
    std::atomic<uint64_t> m_StopsInjected{0};
    std::atomic<uint64_t> m_Releases{0};
    std::atomic<uint64_t> m_BytesVerified{0};
    mutable std::mutex m_Lock;
    std::vector<std::string> m_Violations;
};
