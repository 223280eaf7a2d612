#include "SoakStats.h"

#include <stdio.h>

const char* SoakOpName(SoakOp op) {
    static const char* const names[] = {
        "size",          "list",           "delete",
        "mkdir/rmdir",   "upload",         "download",
        "stream read",   "stop (idle)",    "release (idle)",
        "release (upload started)", "release (download started)", "release (stream running)",
        "release (connecting)"};
    return names[(int)op];
}

void SoakStats::Count(SoakOp op, bool failed) {
    ++m_Done[(int)op];
    if (failed) ++m_Failed[(int)op];
}

void SoakStats::Violation(const std::string& what) {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_Violations.size() < 50) m_Violations.push_back(what);
    fprintf(stderr, "VIOLATION: %s\n", what.c_str());
}

std::vector<std::string> SoakStats::Violations() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_Violations;
}

void SoakStats::PrintOperations() const {
    printf("| operation | count | failed |\n|---|---:|---:|\n");
    for (int i = 0; i < (int)SoakOp::Count; ++i) {
        printf("| %s | %llu | %llu |\n", SoakOpName((SoakOp)i),
               (unsigned long long)m_Done[i].load(), (unsigned long long)m_Failed[i].load());
    }
}

void SoakStats::PrintFaults() const {
    printf("| stops injected during calls | %llu |\n", (unsigned long long)m_StopsInjected.load());
    printf("| client objects released | %llu |\n", (unsigned long long)m_Releases.load());
    printf("| stream and transfer bytes verified | %llu |\n",
           (unsigned long long)m_BytesVerified.load());
}
