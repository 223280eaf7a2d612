#include "ProcessProbe.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

namespace {

long StatusField(const char* name) {
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long value = -1;
    size_t nameLength = strlen(name);
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, name, nameLength) == 0 && line[nameLength] == ':') {
            value = atol(line + nameLength + 1);
            break;
        }
    }
    fclose(status);
    return value;
}

void RaiseTo(std::atomic<int>& peak, int value) {
    int seen = peak.load();
    while (value > seen && !peak.compare_exchange_weak(seen, value)) {
    }
}

}  // namespace

// Not counting ".", ".." and the descriptor the listing itself uses.
int ProcessProbe::OpenDescriptors() {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(folder)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(folder);
    return count - 1;
}

int ProcessProbe::Threads() {
    return (int)StatusField("Threads");
}

long ProcessProbe::ResidentKiB() {
    return StatusField("VmRSS");
}

void ProcessProbe::Start() {
    m_Sampler = std::thread([this] {
        while (!m_Stop.load()) {
            Sample();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

void ProcessProbe::Stop() {
    m_Stop = true;
    if (m_Sampler.joinable()) m_Sampler.join();
    Sample();
}

void ProcessProbe::Sample() {
    RaiseTo(m_PeakDescriptors, OpenDescriptors());
    RaiseTo(m_PeakThreads, Threads());
}
