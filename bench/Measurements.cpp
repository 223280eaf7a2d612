#include "Measurements.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <time.h>
#endif

#include "BenchHost.h"
#include "BufferCount.h"
#include "tools/common/ProcessCounts.h"
#include "FilePattern.h"
#include "PlaybackTrace.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
const uint32_t kReadLength = 65536;
const double kMiB = 1048576.0;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double WallClockSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The stream worker's own 1 ms pause: plat::Sleep is Sleep on Windows and
// std::this_thread::sleep_for on Linux.
void SleepOneMs() {
#ifdef _WIN32
    ::Sleep(1);
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
#endif
}

// One read through the public call, checked against the file's pattern.
bool ReadChecked(BenchHost& host, const Target& target, std::vector<uint8_t>& buffer,
                 uint32_t position, uint32_t length) {
    unsigned int got = 0;
    int ok = host.Client()->ReadStream(target.remoteFile, buffer.data(), position, length, &got);
    uint32_t expected = std::min(length, target.fileSize - position);
    if (ok != 1 || got != expected || !MatchesPattern(buffer.data(), position, got)) {
        fprintf(stderr, "read at %u (%u bytes): result %d, %u bytes%s\n", position, length, ok,
                got, ok == 1 && got == expected ? ", wrong bytes" : "");
        return false;
    }
    return true;
}

#ifndef _WIN32
double CpuSeconds() {
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
           (double)usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}
#endif

}  // namespace

bool MeasureSleepPass() {
    std::vector<double> samples;
    for (int i = 0; i < 500; ++i) {
        Clock::time_point start = Clock::now();
        SleepOneMs();
        samples.push_back(SecondsSince(start) * 1e6);
    }
    printf("sleep1_us %.1f\n", Median(samples));
    return true;
}

bool MeasureMemcpy() {
    std::vector<uint8_t> from(kReadLength, 1), to(kReadLength);
    std::vector<double> samples;
    for (int i = 0; i < 2000; ++i) {
        from[i % kReadLength] = (uint8_t)i;
        Clock::time_point start = Clock::now();
        memcpy(to.data(), from.data(), kReadLength);
        samples.push_back(SecondsSince(start) * 1e6);
        if (to[i % kReadLength] != (uint8_t)i) return false;
    }
    printf("memcpy64k_us %.2f\n", Median(samples));
    return true;
}

bool MeasureStream(const Target& target) {
    BenchHost host(target.port);
    if (!host.Ready()) return false;
    std::vector<uint8_t> buffer(kReadLength);
#ifndef _WIN32
    long baseline = processcounts::MemoryKiB("VmRSS");
    long buffersBefore = StreamBufferAllocations();
#endif
    Clock::time_point start = Clock::now();
    for (uint32_t position = 0; position < target.fileSize; position += kReadLength) {
        if (!ReadChecked(host, target, buffer, position, kReadLength)) return false;
        if ((position / kReadLength) % 64 == 0) host.Drain();
    }
    double seconds = SecondsSince(start);
    printf("stream_mibs %.2f\n", target.fileSize / kMiB / seconds);
#ifndef _WIN32
    printf("rss_before_kib %ld\nhwm_kib %ld\n", baseline, processcounts::MemoryKiB("VmHWM"));
    printf("stream_buffers %ld\n", StreamBufferAllocations() - buffersBefore);
#endif
    return true;
}

// Reads that find their bytes queued: each follows a pause long enough for
// the worker to have refilled the queue, and only the call itself is timed.
bool MeasureDirectReads(const Target& target) {
    BenchHost host(target.port);
    if (!host.Ready()) return false;
    std::vector<uint8_t> buffer(kReadLength);
    if (!ReadChecked(host, target, buffer, 0, kReadLength)) return false;
    std::vector<double> samples;
    uint32_t reads = std::min<uint32_t>(300, target.fileSize / kReadLength - 1);
    for (uint32_t i = 1; i <= reads; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(i == 1 ? 300 : 8));
        host.Drain();
        Clock::time_point start = Clock::now();
        unsigned int got = 0;
        int ok = host.Client()->ReadStream(target.remoteFile, buffer.data(), i * kReadLength,
                                           kReadLength, &got);
        samples.push_back(SecondsSince(start) * 1e6);
        if (ok != 1 || got != kReadLength || host.Client()->GetSeekFlag() != 0 ||
            !MatchesPattern(buffer.data(), i * kReadLength, got)) {
            fprintf(stderr, "direct read %u failed\n", i);
            return false;
        }
    }
    std::sort(samples.begin(), samples.end());
    printf("direct64k_us %.1f\ndirect64k_p25_us %.1f\ndirect64k_p75_us %.1f\n",
           samples[samples.size() / 2], samples[samples.size() / 4],
           samples[samples.size() * 3 / 4]);
    return true;
}

bool MeasureTrace(const Target& target, uint32_t seed, int reads) {
    BenchHost host(target.port);
    if (!host.Ready()) return false;
    std::vector<uint8_t> buffer(kReadLength);
    std::vector<TraceRead> trace = MakePlaybackTrace(target.fileSize, seed, reads);
    int seeks = 0;
    Clock::time_point start = Clock::now();
    for (const TraceRead& read : trace) {
        if (!ReadChecked(host, target, buffer, read.position, read.length)) return false;
        seeks += host.Client()->GetSeekFlag();
        host.Drain();
    }
    printf("trace_s %.3f\ntrace_seeks %d\n", SecondsSince(start), seeks);
    return true;
}

bool PrintTrace(uint32_t fileSize, uint32_t seed, int reads) {
    for (const TraceRead& read : MakePlaybackTrace(fileSize, seed, reads)) {
        printf("%u %u\n", read.position, read.position + read.length - 1);
    }
    return true;
}

// Wall-clock times, to be set against the server log's timestamps.
bool MeasureStartup(const Target& target) {
    BenchHost host(target.port);
    if (!host.Ready()) return false;
    std::vector<uint8_t> buffer(kReadLength);
    uint32_t position = target.fileSize / 2;
    double called = WallClockSeconds();
    Clock::time_point start = Clock::now();
    if (!ReadChecked(host, target, buffer, position, kReadLength)) return false;
    printf("startup_call_epoch %.6f\nstartup_total_s %.6f\n", called, SecondsSince(start));
    return true;
}

// The seek lands three quarters into the file, far past anything the
// stream has queued or the server has sent ahead, so the transfer restarts.
bool MeasureOpenAndSeek(const Target& target) {
    const uint32_t readsBeforeSeek = 8;
    uint32_t farPosition = target.fileSize / 4 * 3 / kReadLength * kReadLength;
    if (farPosition < 4 * readsBeforeSeek * kReadLength) {
        fprintf(stderr, "the file is too short for a far seek\n");
        return false;
    }
    BenchHost host(target.port);
    if (!host.Ready()) return false;
    std::vector<uint8_t> buffer(kReadLength);
    Clock::time_point start = Clock::now();
    if (!ReadChecked(host, target, buffer, 0, kReadLength)) return false;
    double openSeconds = SecondsSince(start);
    for (uint32_t i = 1; i < readsBeforeSeek; ++i) {
        if (!ReadChecked(host, target, buffer, i * kReadLength, kReadLength)) return false;
    }
    host.Drain();
    start = Clock::now();
    if (!ReadChecked(host, target, buffer, farPosition, kReadLength)) return false;
    double seekSeconds = SecondsSince(start);
    printf("open_ms %.1f\nseek_ms %.1f\n", openSeconds * 1000, seekSeconds * 1000);
    return true;
}

bool MeasureReceive(const Target& target, double rateMbps, const char* localPath) {
    BenchHost host(target.port);
    if (!host.Ready()) return false;
    host.Client()->SetTransferRate(rateMbps);
    Clock::time_point start = Clock::now();
    if (host.Client()->ReceiveFile(target.remoteFile, localPath) != 1 ||
        !host.WaitForCompletion(120000)) {
        fprintf(stderr, "download failed, error %d\n", host.LastError());
        return false;
    }
    printf("receive_s %.4f\nreceive_mbps %.4f\n", SecondsSince(start),
           target.fileSize * 8.0 / kMiB / SecondsSince(start));
    return true;
}

bool MeasureSend(unsigned short port, const char* localPath, const char* remoteName,
                 double rateMbps) {
    BenchHost host(port);
    if (!host.Ready()) return false;
    FILE* file = fopen(localPath, "rb");
    if (file == nullptr) return false;
    fseek(file, 0, SEEK_END);
    double bytes = (double)ftell(file);
    fclose(file);
    host.Client()->SetTransferRate(rateMbps);
    Clock::time_point start = Clock::now();
    if (host.Client()->SendFile(localPath, remoteName) != 1 || !host.WaitForCompletion(120000)) {
        fprintf(stderr, "upload failed, error %d\n", host.LastError());
        return false;
    }
    printf("send_s %.4f\nsend_mbps %.4f\n", SecondsSince(start),
           bytes * 8.0 / kMiB / SecondsSince(start));
    return true;
}

// A size query leaves the session logged in and idle; then nothing runs
// on the host's side but this thread's sleep.
bool MeasureIdle(const Target& target, int seconds) {
#ifdef _WIN32
    (void)target;
    (void)seconds;
    return false;
#else
    BenchHost host(target.port);
    if (!host.Ready()) return false;
    if (host.Client()->GetRemoteFileSize(target.remoteFile) != (int)target.fileSize) {
        fprintf(stderr, "size query failed\n");
        return false;
    }
    host.Drain();
    double cpuBefore = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    printf("idle_cpu_s %.4f\n", CpuSeconds() - cpuBefore);
    return true;
#endif
}

}  // namespace bench
