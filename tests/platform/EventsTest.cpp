#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform.h"

namespace {

using plat::HANDLE;

const DWORD kGenerousWait = 10000;
// Win32 defines WAIT_TIMEOUT as a long; compare as the DWORD the waits return.
const DWORD kTimedOut = WAIT_TIMEOUT;

class EventsTest : public ::testing::Test {
protected:
    HANDLE Make(BOOL manualReset, BOOL initialState = FALSE) {
        HANDLE event = plat::CreateEventA(nullptr, manualReset, initialState, nullptr);
        EXPECT_NE(event, nullptr);
        m_Events.push_back(event);
        return event;
    }
    void TearDown() override {
        for (HANDLE event : m_Events) plat::CloseHandle(event);
    }
    std::vector<HANDLE> m_Events;
};

TEST_F(EventsTest, ManualResetStaysSetUntilReset) {
    HANDLE event = Make(TRUE);
    EXPECT_EQ(plat::WaitForSingleObject(event, 0), kTimedOut);
    ASSERT_TRUE(plat::SetEvent(event));
    EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(plat::ResetEvent(event));
    EXPECT_EQ(plat::WaitForSingleObject(event, 0), kTimedOut);
}

TEST_F(EventsTest, AutoResetIsConsumedByOneWait) {
    HANDLE event = Make(FALSE, TRUE);
    EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(plat::WaitForSingleObject(event, 20), kTimedOut);
}

TEST_F(EventsTest, WaitAnyReturnsLowestSetIndex) {
    HANDLE events[3] = {Make(TRUE), Make(TRUE), Make(TRUE)};
    plat::SetEvent(events[2]);
    plat::SetEvent(events[1]);
    EXPECT_EQ(plat::WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    plat::ResetEvent(events[1]);
    EXPECT_EQ(plat::WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
}

TEST_F(EventsTest, WaitAnyConsumesOnlyTheAutoResetEventItReports) {
    HANDLE events[2] = {Make(FALSE, TRUE), Make(FALSE, TRUE)};
    EXPECT_EQ(plat::WaitForMultipleObjects(2, events, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(plat::WaitForMultipleObjects(2, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(plat::WaitForMultipleObjects(2, events, FALSE, 0), kTimedOut);
}

TEST_F(EventsTest, TimesOutWhenNothingIsSet) {
    HANDLE events[2] = {Make(TRUE), Make(FALSE)};
    EXPECT_EQ(plat::WaitForMultipleObjects(2, events, FALSE, 30), kTimedOut);
}

TEST_F(EventsTest, SetOnAnotherThreadWakesEveryWaiterOfAManualEvent) {
    HANDLE event = Make(TRUE);
    std::atomic<int> released(0);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (plat::WaitForSingleObject(event, kGenerousWait) == WAIT_OBJECT_0) ++released;
        });
    }
    plat::Sleep(20);
    plat::SetEvent(event);
    for (std::thread& waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), 3);
}

TEST_F(EventsTest, AutoResetReleasesOneWaiterPerSet) {
    HANDLE event = Make(FALSE);
    HANDLE done = Make(FALSE);
    std::atomic<int> released(0);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (plat::WaitForSingleObject(event, kGenerousWait) == WAIT_OBJECT_0) {
                ++released;
                plat::SetEvent(done);
            }
        });
    }
    plat::SetEvent(event);
    ASSERT_EQ(plat::WaitForSingleObject(done, kGenerousWait), WAIT_OBJECT_0);
    EXPECT_EQ(released.load(), 1);
    plat::SetEvent(event);
    for (std::thread& waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), 2);
}

#ifndef _WIN32
// Win32 leaves these undefined or unsupported; on Linux they are defined
// failures, never a crash.

TEST_F(EventsTest, ClosingAnEventEndsAWaitOnAnotherThread) {
    HANDLE event = plat::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE other = Make(TRUE);
    DWORD result = 0;
    std::thread waiter([&] {
        HANDLE both[2] = {other, event};
        result = plat::WaitForMultipleObjects(2, both, FALSE, INFINITE);
    });
    plat::Sleep(20);
    EXPECT_TRUE(plat::CloseHandle(event));
    waiter.join();
    EXPECT_EQ(result, WAIT_FAILED);
}

TEST_F(EventsTest, ClosedHandleFailsEveryOperation) {
    HANDLE event = plat::CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(plat::CloseHandle(event));
    EXPECT_FALSE(plat::SetEvent(event));
    EXPECT_FALSE(plat::ResetEvent(event));
    EXPECT_FALSE(plat::CloseHandle(event));
    EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(plat::WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

TEST_F(EventsTest, CloseRacingWithSetAndWaitIsSafe) {
    for (int round = 0; round < 50; ++round) {
        HANDLE event = plat::CreateEventA(nullptr, FALSE, FALSE, nullptr);
        std::thread setter([event] {
            for (int i = 0; i < 100 && plat::SetEvent(event); ++i) {
            }
        });
        std::thread waiter([event] {
            for (int i = 0; i < 100 && plat::WaitForSingleObject(event, 1) != WAIT_FAILED; ++i) {
            }
        });
        plat::CloseHandle(event);
        setter.join();
        waiter.join();
        EXPECT_FALSE(plat::SetEvent(event));
    }
}

TEST_F(EventsTest, RejectsWhatLinuxDoesNotProvide) {
    EXPECT_EQ(plat::CreateEventA(nullptr, TRUE, FALSE, "Global\\named"), nullptr);
    HANDLE events[1] = {Make(TRUE, TRUE)};
    EXPECT_EQ(plat::WaitForMultipleObjects(1, events, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(plat::WaitForMultipleObjects(0, events, FALSE, 0), WAIT_FAILED);
}
#endif

}  // namespace
