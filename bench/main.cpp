// ftpbench: measures the library through its public interface, as a host
// would use it. run-bench.sh runs it once per measurement and figure.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "BenchHost.h"
#include "FilePattern.h"
#include "Measurements.h"

namespace {

int Usage() {
    fprintf(stderr,
            "usage: ftpbench sleep | memcpy | makefile PATH BYTES | tracelist BYTES SEED READS\n"
            "       ftpbench [--address A] stream|direct|startup|seek|idle PORT FILE BYTES\n"
            "                [SECONDS]\n"
            "       ftpbench trace PORT FILE BYTES SEED READS\n"
            "       ftpbench receive PORT FILE BYTES RATE LOCALPATH\n"
            "       ftpbench send PORT LOCALPATH REMOTENAME RATE\n"
            "  A: the server (127.0.0.1), with a scheme for TLS: ftpes://127.0.0.1\n");
    return 2;
}

bench::Target TargetFrom(char** argv) {
    return {(unsigned short)atoi(argv[2]), argv[3], (uint32_t)strtoul(argv[4], nullptr, 10)};
}

bool Run(int argc, char** argv) {
    const char* what = argv[1];
    if (strcmp(what, "sleep") == 0) return bench::MeasureSleepPass();
    if (strcmp(what, "memcpy") == 0) return bench::MeasureMemcpy();
    if (strcmp(what, "makefile") == 0 && argc == 4)
        return bench::WritePatternFile(argv[2], strtoull(argv[3], nullptr, 10));
    if (strcmp(what, "tracelist") == 0 && argc == 5)
        return bench::PrintTrace((uint32_t)strtoul(argv[2], nullptr, 10),
                                 (uint32_t)strtoul(argv[3], nullptr, 10), atoi(argv[4]));
    if (strcmp(what, "send") == 0 && argc == 6)
        return bench::MeasureSend((unsigned short)atoi(argv[2]), argv[3], argv[4], atof(argv[5]));
    if (argc < 5) return false;
    bench::Target target = TargetFrom(argv);
    if (strcmp(what, "stream") == 0) return bench::MeasureStream(target);
    if (strcmp(what, "direct") == 0) return bench::MeasureDirectReads(target);
    if (strcmp(what, "startup") == 0) return bench::MeasureStartup(target);
    if (strcmp(what, "seek") == 0) return bench::MeasureOpenAndSeek(target);
    if (strcmp(what, "idle") == 0 && argc == 6) return bench::MeasureIdle(target, atoi(argv[5]));
    if (strcmp(what, "trace") == 0 && argc == 7)
        return bench::MeasureTrace(target, (uint32_t)strtoul(argv[5], nullptr, 10), atoi(argv[6]));
    if (strcmp(what, "receive") == 0 && argc == 7)
        return bench::MeasureReceive(target, atof(argv[5]), argv[6]);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // The option goes before the command; what follows is read as without it.
    if (argc >= 3 && strcmp(argv[1], "--address") == 0) {
        bench::BenchHost::SetServerAddress(argv[2]);
        argv += 2;
        argc -= 2;
    }
    if (argc < 2) return Usage();
    if (!Run(argc, argv)) {
        fprintf(stderr, "ftpbench %s: failed or bad arguments\n", argv[1]);
        return 1;
    }
    return 0;
}
