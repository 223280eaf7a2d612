// Helpers shared by the platform tests.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "Platform.h"

namespace plat_test {

// A path in the temporary folder that no other test (or test run) uses.
inline std::string UniqueTempPath(const std::string& stem) {
    static std::atomic<int> counter(0);
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string name =
        "plat-" + stem + "-" + std::to_string(stamp) + "-" + std::to_string(counter++);
    return (std::filesystem::temp_directory_path() / name).string();
}

inline int64_t ElapsedMilliseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - since)
        .count();
}

}  // namespace plat_test
