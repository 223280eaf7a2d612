#include "ProcessCounts.h"

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#endif

namespace processcounts {

#ifdef _WIN32

int Threads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// Wine answers 0 here: no figure, rather than one that cannot change.
int OpenDescriptors() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0 ? (int)count : -1;
}

long MemoryKiB(const char*) {
    return -1;
}

#else

namespace {

// A field of /proc/self/status ("Threads", "VmRSS", ...).
long StatusField(const char* field) {
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long value = -1;
    size_t length = strlen(field);
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, field, length) == 0 && line[length] == ':') {
            value = atol(line + length + 1);
            break;
        }
    }
    fclose(status);
    return value;
}

}  // namespace

int Threads() {
    return (int)StatusField("Threads");
}

// Not counting ".", ".." and the descriptor the listing itself uses.
int OpenDescriptors() {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(folder);
    return count - 1;
}

long MemoryKiB(const char* field) {
    return StatusField(field);
}

#endif

}  // namespace processcounts
