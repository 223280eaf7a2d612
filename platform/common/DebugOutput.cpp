// Debug text and its test hook, shared by both targets.
#include <atomic>
#include <cstring>

#include "PlatformInternal.h"

namespace plat {
namespace {

std::atomic<DebugOutputHook> g_DebugOutputHook(nullptr);

}  // namespace

int lstrlenA(const char* text) {
    return text ? static_cast<int>(std::strlen(text)) : 0;
}

void OutputDebugStringA(const char* text) {
    if (!text) return;
    internal::WriteToDebugger(text);
    if (DebugOutputHook hook = g_DebugOutputHook.load()) hook(text);
}

void SetDebugOutputHookForTesting(DebugOutputHook hook) { g_DebugOutputHook.store(hook); }

}  // namespace plat
