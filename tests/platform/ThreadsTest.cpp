#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Threads.h"

namespace {

const auto kGenerousWait = std::chrono::seconds(10);

// Records what happened on its thread and deletes itself in ExitInstance,
// the way the library's workers do; the destructor reports the full story.
// The promise is the object's own, so nothing the test owns is touched once
// the story is told.
class RecordingThread : public plat::CWinThread {
public:
    enum Fault { kNoFault, kThrowInInit, kThrowNonStandardInExit };

    explicit RecordingThread(Fault fault) : m_Fault(fault) {}
    ~RecordingThread() override {
        m_Steps.push_back("destroyed");
        m_Finished.set_value(m_Steps);
    }
    std::future<std::vector<std::string>> Story() { return m_Finished.get_future(); }

    BOOL InitInstance() override {
        m_Steps.push_back(plat::AfxGetThread() == this ? "init on own thread" : "init elsewhere");
        if (m_Fault == kThrowInInit) throw std::runtime_error("init failed");
        return TRUE;
    }
    int ExitInstance() override {
        m_Steps.push_back("exit");
        const Fault fault = m_Fault;
        delete this;
        if (fault == kThrowNonStandardInExit) throw 42;
        return 0;
    }

private:
    Fault m_Fault;
    std::promise<std::vector<std::string>> m_Finished;
    std::vector<std::string> m_Steps;
};

std::mutex g_DebugMutex;
std::string g_DebugText;
void CaptureDebugText(const char* text) {
    std::lock_guard<std::mutex> lock(g_DebugMutex);
    g_DebugText += text;
}

bool DebugTextArrives(const char* wanted) {
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> lock(g_DebugMutex);
            if (g_DebugText.find(wanted) != std::string::npos) return true;
        }
        plat::Sleep(10);
    }
    return false;
}

std::vector<std::string> RunToCompletion(RecordingThread::Fault fault) {
    RecordingThread* thread = new RecordingThread(fault);
    std::future<std::vector<std::string>> steps = thread->Story();
    EXPECT_TRUE(thread->CreateThread());
    if (steps.wait_for(kGenerousWait) != std::future_status::ready) {
        ADD_FAILURE() << "thread did not finish";
        return {};
    }
    return steps.get();
}

class ThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(g_DebugMutex);
            g_DebugText.clear();
        }
        plat::SetDebugOutputHookForTesting(CaptureDebugText);
    }
    void TearDown() override { plat::SetDebugOutputHookForTesting(nullptr); }
};

TEST_F(ThreadsTest, InitInstanceThenExitInstanceThatDeletesTheObject) {
    const std::vector<std::string> expected = {"init on own thread", "exit", "destroyed"};
    EXPECT_EQ(RunToCompletion(RecordingThread::kNoFault), expected);
    EXPECT_EQ(plat::AfxGetThread(), nullptr);
}

TEST_F(ThreadsTest, ExceptionsStayOnTheirThreadAndAreReported) {
    const std::vector<std::string> expected = {"init on own thread", "exit", "destroyed"};
    EXPECT_EQ(RunToCompletion(RecordingThread::kThrowInInit), expected);
    EXPECT_EQ(RunToCompletion(RecordingThread::kThrowNonStandardInExit), expected);
    // The report follows the destructor on the thread.
    EXPECT_TRUE(DebugTextArrives("InitInstance threw: init failed"));
    EXPECT_TRUE(DebugTextArrives("ExitInstance threw"));
}

struct ProcedureRun {
    std::promise<bool> ranWithoutThreadObject;
    bool shouldThrow;
};

// The procedure owns its run, so the test may end once the promise is kept.
unsigned RecordingProcedure(void* param) {
    std::unique_ptr<ProcedureRun> run(static_cast<ProcedureRun*>(param));
    run->ranWithoutThreadObject.set_value(plat::AfxGetThread() == nullptr);
    if (run->shouldThrow) throw std::runtime_error("procedure failed");
    return 0;
}

TEST_F(ThreadsTest, BeginThreadRunsAPlainProcedureAndContainsItsExceptions) {
    for (bool shouldThrow : {false, true}) {
        ProcedureRun* run = new ProcedureRun{std::promise<bool>(), shouldThrow};
        std::future<bool> ran = run->ranWithoutThreadObject.get_future();
        ASSERT_TRUE(plat::AfxBeginThread(RecordingProcedure, run));
        ASSERT_EQ(ran.wait_for(kGenerousWait), std::future_status::ready);
        EXPECT_TRUE(ran.get());
    }
    EXPECT_TRUE(DebugTextArrives("thread procedure threw: procedure failed"));
    EXPECT_FALSE(plat::AfxBeginThread(nullptr, nullptr));
}

}  // namespace
