#include "fuzz/targets/FuzzTargets.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>

namespace {

void PrintAndAbort(const char* what) {
    fprintf(stderr, "fuzz invariant broken: %s\n", what);
    abort();
}

std::atomic<FuzzFailureHandler> g_Handler(PrintAndAbort);

}  // namespace

void SetFuzzFailureHandler(FuzzFailureHandler handler) {
    g_Handler.store(handler != nullptr ? handler : PrintAndAbort);
}

void FuzzCheck(bool condition, const char* what) {
    if (!condition) g_Handler.load()(what);
}
