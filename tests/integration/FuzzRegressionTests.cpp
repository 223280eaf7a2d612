// Inputs on which a fuzz target once found a fault, kept in
// tests/fuzz-regressions/<target>/ and replayed through the same target
// bodies the fuzzers run, so a fault that comes back fails on every build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/targets/FuzzTargets.h"

namespace {

namespace fs = std::filesystem;

typedef void (*FuzzTargetBody)(const uint8_t* data, size_t size);

// The target bodies report broken invariants through a plain function;
// they run on the test's own thread.
std::vector<std::string> g_Failures;

void RecordFailure(const char* what) {
    g_Failures.push_back(what);
}

fs::path SavedInputFolder(const char* target) {
    return fs::path(__FILE__).parent_path().parent_path() / "fuzz-regressions" / target;
}

std::vector<fs::path> SavedInputs(const char* target) {
    std::vector<fs::path> inputs;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(SavedInputFolder(target), error)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class FuzzRegression : public ::testing::Test {
protected:
    void SetUp() override { SetFuzzFailureHandler(RecordFailure); }
    void TearDown() override { SetFuzzFailureHandler(nullptr); }

    void Replay(const char* target, FuzzTargetBody body) {
        std::vector<fs::path> inputs = SavedInputs(target);
        ASSERT_FALSE(inputs.empty()) << "no saved inputs in " << SavedInputFolder(target);
        for (const fs::path& input : inputs) {
            g_Failures.clear();
            std::string bytes = ReadBytes(input);
            body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            for (const std::string& failure : g_Failures) {
                ADD_FAILURE() << input.filename() << ": " << failure;
            }
        }
    }
};

}  // namespace

// A reconnect's socket holds back small sends: a command and its CR LF sent
// separately arrived apart, the line end 40 ms (200 ms on Windows) later.
TEST_F(FuzzRegression, LoginCommandsLeaveWhole) {
    Replay("login_replies", FuzzLoginReplies);
}

// A field with room only for its NUL: a full field's byte shift was sized
// from its capacity minus one, which is no size at all there.
TEST_F(FuzzRegression, ReplyTextInTheSmallestField) {
    Replay("reply_text", FuzzReplyText);
}

// A stream ending on a buffer boundary left an empty tail that outlived the
// last byte read, so the end of data did not end the stream worker.
TEST_F(FuzzRegression, BufferQueueMatchesItsModel) {
    Replay("buffer_queue", FuzzBufferQueue);
}
