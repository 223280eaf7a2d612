#include "tests/integration/TransferTestSupport.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "session/CFtpClientThread.h"

namespace transfertest {

namespace {

std::atomic<int> g_nFolderCount(0);

bool HasNotice(const testhost::MessageWindow& window, unsigned message) {
    return !window.ParametersOf(message).empty();
}

}  // namespace

TempFolder::TempFolder() {
    long long stamp = (long long)std::chrono::steady_clock::now().time_since_epoch().count();
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("ftp-transfers-" + std::to_string(stamp) + "-" +
                                  std::to_string(g_nFolderCount.fetch_add(1)));
    std::filesystem::create_directories(path);
    m_Path = path.string();
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_Path, ignored);
}

std::string TempFolder::File(const std::string& name) const {
    return (std::filesystem::path(m_Path) / name).string();
}

// xorshift32: period 2^32 - 1, far beyond any test file.
std::string NonRepeatingBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed != 0 ? seed : 1;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = (char)(state >> 24);
    }
    return bytes;
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}


bool WaitForOutcome(testhost::MessageWindow& window, const testhost::Client& client, int timeoutMs) {
    bool outcome = testhost::WaitUntil(
        [&] {
            window.Drain();
            return HasNotice(window, WM_FTP_COMPLETE) || HasNotice(window, WM_FTP_ERROR);
        },
        timeoutMs);
    bool ended = testhost::WaitUntil([&] { return client.OperationEnded(); }, timeoutMs);
    window.Drain();
    return outcome && ended;
}

bool IsStrictlyIncreasing(const std::vector<intptr_t>& values) {
    for (size_t i = 1; i < values.size(); ++i) {
        if (values[i] <= values[i - 1]) return false;
    }
    return true;
}

}  // namespace transfertest
