// ftpsoak --port P --server-root DIR --local-folder DIR [--seconds N] [--seed S] [--hosts N]
//
// Several host threads, each with its own client object, run random
// operations against one real server for N seconds, with stops and releases
// injected. The run has two phases: a warm-up, after which every client is
// released and the process settles and is measured, and the main phase,
// after which the same is done again. Descriptors, threads and memory must
// not grow between the two quiet points, every byte read must be right,
// every call must return, and nothing may leak. Exit status 0 only then.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CallWatchdog.h"
#include "ContentPattern.h"
#include "ProcessProbe.h"
#include "SoakHost.h"
#include "SoakStats.h"
#include "tools/common/ProcessCounts.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define SOAK_HAS_LEAK_CHECK 1
#endif

namespace {

const int kCallLimitSeconds = 120;
const long kMemoryToleranceKiB = 48 * 1024;

struct Options {
    uint16_t port = 0;
    std::string serverRoot;
    std::string localFolder;
    int seconds = 600;
    uint64_t seed = 0;
    int hosts = 4;
};

bool ParseOptions(int argc, char** argv, Options* o) {
    o->seed = (uint64_t)time(nullptr);
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--port") o->port = (uint16_t)atoi(value);
        else if (name == "--server-root") o->serverRoot = value;
        else if (name == "--local-folder") o->localFolder = value;
        else if (name == "--seconds") o->seconds = atoi(value);
        else if (name == "--seed") o->seed = strtoull(value, nullptr, 10);
        else if (name == "--hosts") o->hosts = atoi(value);
        else return false;
    }
    return o->port != 0 && !o->serverRoot.empty() && !o->localFolder.empty() && o->seconds > 0 &&
           o->hosts > 0;
}

struct QuietPoint {
    int descriptors;
    int threads;
    long residentKiB;
};

// Released clients end their sessions on their own threads: wait until the
// counts have stopped changing for a while (bounded).
QuietPoint Settle() {
    QuietPoint last = {-1, -1, 0};
    int unchangedRounds = 0;
    for (int round = 0; round < 300 && unchangedRounds < 20; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        QuietPoint now = {processcounts::OpenDescriptors(), processcounts::Threads(), 0};
        unchangedRounds = (now.descriptors == last.descriptors && now.threads == last.threads)
                              ? unchangedRounds + 1 : 0;
        last = now;
    }
    last.residentKiB = processcounts::MemoryKiB("VmRSS");
    return last;
}

void RunPhase(const Options& o, const SoakSetup& setup, SoakStats& stats, CallWatchdog& watchdog,
              int phase, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> hosts;
    for (int i = 0; i < o.hosts; ++i) {
        hosts.emplace_back([&, i] {
            SoakHost host(i, o.seed + (uint64_t)phase * 7919u, setup, stats, watchdog);
            host.RunUntil(end);
        });
    }
    for (std::thread& t : hosts) t.join();
}

bool MakeStreamFiles(const Options& o, SoakSetup* setup) {
    const uint64_t sizes[] = {6 * 1048576 + 123, 3 * 1048576 + 4567};
    for (uint32_t i = 0; i < 2; ++i) {
        SoakFile file = {"/stream-" + std::to_string(i) + ".bin", i + 1, sizes[i]};
        if (!ContentPattern::WriteFile(o.serverRoot + file.remotePath, file.patternId, file.size)) {
            return false;
        }
        setup->streamFiles.push_back(file);
    }
    return true;
}

void Check(bool passed, const char* what, std::vector<std::string>* failures) {
    printf("| %s | %s |\n", what, passed ? "pass" : "FAIL");
    if (!passed) failures->push_back(what);
}

int LeaksFound() {
#ifdef SOAK_HAS_LEAK_CHECK
    return __lsan_do_recoverable_leak_check();
#else
    return -1;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        fprintf(stderr,
                "usage: ftpsoak --port P --server-root DIR --local-folder DIR [--seconds N] "
                "[--seed S] [--hosts N]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("ftpsoak: seed %llu, %d hosts, %d s, server port %u\n", (unsigned long long)o.seed,
           o.hosts, o.seconds, o.port);
    SoakSetup setup;
    setup.port = o.port;
    setup.serverRoot = o.serverRoot;
    setup.localFolder = o.localFolder;
    if (!MakeStreamFiles(o, &setup)) {
        fprintf(stderr, "ftpsoak: cannot write the stream files under %s\n", o.serverRoot.c_str());
        return 2;
    }

    SoakStats stats;
    ProcessProbe probe;
    probe.Start();
    QuietPoint warm;
    QuietPoint end;
    {
        CallWatchdog watchdog(o.hosts, kCallLimitSeconds, o.seed);
        int warmUpSeconds = std::max(5, o.seconds / 5);
        RunPhase(o, setup, stats, watchdog, 0, warmUpSeconds);
        warm = Settle();
        RunPhase(o, setup, stats, watchdog, 1, o.seconds - warmUpSeconds);
        // Measured with the same helper threads alive as after the warm-up.
        end = Settle();
    }
    probe.Stop();
    int leaks = LeaksFound();

    printf("\n");
    stats.PrintOperations();
    printf("\n| measure | value |\n|---|---:|\n");
    stats.PrintFaults();
    printf("| peak open descriptors | %d |\n", probe.PeakDescriptors());
    printf("| peak threads | %d |\n", probe.PeakThreads());
    printf("| descriptors / threads after warm-up (quiet) | %d / %d |\n", warm.descriptors,
           warm.threads);
    printf("| descriptors / threads at the end (quiet) | %d / %d |\n", end.descriptors, end.threads);
    printf("| resident memory after warm-up / at the end | %ld KiB / %ld KiB |\n", warm.residentKiB,
           end.residentKiB);

    std::vector<std::string> failures;
    printf("\n| check | result |\n|---|---|\n");
    Check(leaks == 0, "no leaks (LeakSanitizer)", &failures);
    Check(end.descriptors <= warm.descriptors, "no growth in open descriptors", &failures);
    Check(end.threads <= warm.threads, "no growth in threads", &failures);
    Check(end.residentKiB <= warm.residentKiB + kMemoryToleranceKiB,
          "resident memory flat (within 48 MiB)", &failures);
    Check(stats.Violations().empty(), "every verified byte right, every transfer ended",
          &failures);
    if (!failures.empty()) {
        printf("ftpsoak: FAILED (%zu checks); seed %llu\n", failures.size(),
               (unsigned long long)o.seed);
        return 1;
    }
    printf("ftpsoak: passed; seed %llu\n", (unsigned long long)o.seed);
    return 0;
}
