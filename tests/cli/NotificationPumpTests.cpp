// The message window and loop: notifications posted to the window, also
// from other threads, end the waits and reach the handlers.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "tools/common/HostMessageWindow.h"
#include "tools/ftpcli/ExitStatus.h"
#include "tools/ftpcli/NotificationPump.h"

namespace {

// Long enough never to end a wait that a notice should end.
const std::chrono::milliseconds kGenerous(20000);

class NotificationPumpTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(nullptr, m_Pump.Window()); }
    void Post(UINT message, WPARAM wParam, LPARAM lParam) {
        ASSERT_TRUE(PostMessageA(m_Pump.Window(), message, wParam, lParam));
    }
    NotificationPump m_Pump;
};

}  // namespace

TEST_F(NotificationPumpTest, ProgressThenCompletion) {
    std::vector<int> percents;
    m_Pump.OnProgress([&](int percent) { percents.push_back(percent); });
    Post(WM_FTP_PROGRESS, 0, 10);
    Post(WM_FTP_PROGRESS, 0, 90);
    Post(WM_FTP_COMPLETE, 0, 0);
    EXPECT_EQ(NotificationPump::kCompleted, m_Pump.WaitForOutcome(kGenerous));
    EXPECT_EQ((std::vector<int>{10, 90}), percents);
    EXPECT_EQ(0, m_Pump.ErrorCode());
}

TEST_F(NotificationPumpTest, ErrorFromAnotherThreadEndsTheWait) {
    std::thread poster([this] { PostMessageA(m_Pump.Window(), WM_FTP_ERROR, 0, FTPE_TIMEOUT); });
    EXPECT_EQ(NotificationPump::kFailed, m_Pump.WaitForOutcome(kGenerous));
    poster.join();
    EXPECT_EQ(FTPE_TIMEOUT, m_Pump.ErrorCode());
    m_Pump.Reset();
    EXPECT_EQ(0, m_Pump.ErrorCode());
    EXPECT_FALSE(m_Pump.Completed());
}

TEST_F(NotificationPumpTest, NoNoticeEndsAtTheLimit) {
    EXPECT_EQ(NotificationPump::kTimedOut, m_Pump.WaitForOutcome(std::chrono::milliseconds(30)));
}

// As during a stream read: the call blocks on its own thread while the
// buffering notices it causes are shown by the window's thread.
TEST_F(NotificationPumpTest, BlockingCallRunsWhileNoticesArePumped) {
    std::vector<int> fills;
    std::thread::id handlerThread;
    m_Pump.OnBuffering([&](int percent) {
        fills.push_back(percent);
        handlerThread = std::this_thread::get_id();
    });
    int result = m_Pump.RunWhilePumping([this] {
        PostMessageA(m_Pump.Window(), WM_FTP_BUFFERING, 30, 0);
        PostMessageA(m_Pump.Window(), WM_FTP_BUFFERING, 100, 0);
        return 42;
    });
    EXPECT_EQ(42, result);
    EXPECT_EQ((std::vector<int>{30, 100}), fills);
    EXPECT_EQ(std::this_thread::get_id(), handlerThread);
}

// The gateway's window on a pump thread of its own: once Settle returns, a
// slow handler has had every notice posted before it, in order.
TEST(HostMessageThread, SettleWaitsUntilEarlierNoticesAreHandled) {
    std::mutex mutex;
    std::vector<LPARAM> handled;
    std::thread::id handlerThread;
    HostMessageThread pump("FtpCliTestPumpThread", "pump test", [&](const MSG& msg) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::lock_guard<std::mutex> lock(mutex);
        handled.push_back(msg.lParam);
        handlerThread = std::this_thread::get_id();
    });
    ASSERT_NE(nullptr, pump.Handle());
    std::vector<LPARAM> posted;
    std::thread poster([&] {
        for (LPARAM code = 1; code <= 20; ++code) {
            if (PostMessageA(pump.Handle(), WM_FTP_ERROR, 0, code)) posted.push_back(code);
        }
    });
    poster.join();
    ASSERT_EQ(20u, posted.size());
    ASSERT_TRUE(pump.Settle(kGenerous));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(posted, handled);
    EXPECT_NE(std::this_thread::get_id(), handlerThread);
}

TEST(ExitStatus, FtpCodesMapToTheirOwnStatus) {
    EXPECT_EQ(11, ExitStatusForFtpError(FTPE_FILEERROR));
    EXPECT_EQ(13, ExitStatusForFtpError(FTPE_LOGINFAIL));
    EXPECT_EQ(17, ExitStatusForFtpError(FTPE_TRANSFERFAIL));
    EXPECT_EQ(kExitFailed, ExitStatusForFtpError(0));
    EXPECT_EQ(kExitFailed, ExitStatusForFtpError(246)) << "must not wrap into another status";
    EXPECT_EQ("login failed (FTPE_LOGINFAIL)", DescribeFtpError(FTPE_LOGINFAIL));
    EXPECT_EQ("unknown error code 99", DescribeFtpError(99));
}
