// One measurement per call; each prints "name value" lines on stdout for
// run-bench.sh to collect. A false return means the run failed (and says why
// on stderr).
#pragma once

#include <stdint.h>

namespace bench {

struct Target {
    unsigned short port;
    const char* remoteFile;
    uint32_t fileSize;
};

bool MeasureSleepPass();
bool MeasureMemcpy();
bool MeasureStream(const Target& target);
bool MeasureDirectReads(const Target& target);
bool MeasureTrace(const Target& target, uint32_t seed, int reads);
bool PrintTrace(uint32_t fileSize, uint32_t seed, int reads);
bool MeasureStartup(const Target& target);
// A new client object's first 64 KiB at 0 (the open: connect, login, the
// transfer's start), a few reads on, then one read far ahead (the seek).
bool MeasureOpenAndSeek(const Target& target);
bool MeasureReceive(const Target& target, double rateMbps, const char* localPath);
bool MeasureSend(unsigned short port, const char* localPath, const char* remoteName,
                 double rateMbps);
bool MeasureIdle(const Target& target, int seconds);

}  // namespace bench
