#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "Platform.h"

namespace {

std::string g_Captured;
void Capture(const char* text) { g_Captured += text; }

TEST(DebugOutput, HookSeesTheTextUntilRemoved) {
    g_Captured.clear();
    plat::SetDebugOutputHookForTesting(Capture);
    plat::OutputDebugStringA("first\n");
    plat::OutputDebugStringA(nullptr);
    plat::SetDebugOutputHookForTesting(nullptr);
    plat::OutputDebugStringA("second\n");
    EXPECT_EQ(g_Captured, "first\n");
}

#ifndef _WIN32
std::string StderrOfOutputWith(const char* setting) {
    if (setting) {
        setenv("FTPCLIENT_DEBUG", setting, 1);
    } else {
        unsetenv("FTPCLIENT_DEBUG");
    }
    testing::internal::CaptureStderr();
    plat::OutputDebugStringA("to stderr\n");
    const std::string written = testing::internal::GetCapturedStderr();
    unsetenv("FTPCLIENT_DEBUG");
    return written;
}

TEST(DebugOutput, StderrOnlyWhenTheVariableIsSetAndNotZero) {
    EXPECT_EQ(StderrOfOutputWith("1"), "to stderr\n");
    EXPECT_EQ(StderrOfOutputWith("yes"), "to stderr\n");
    EXPECT_EQ(StderrOfOutputWith("0"), "");
    EXPECT_EQ(StderrOfOutputWith(""), "");
    EXPECT_EQ(StderrOfOutputWith(nullptr), "");
}
#endif

}  // namespace
