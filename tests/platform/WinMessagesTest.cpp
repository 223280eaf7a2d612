// The window calls themselves (libwinmsg on Linux, user32 on Windows): the
// same expectations hold for both.
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform.h"

namespace {

const char kClassName[] = "PlatformTestWindow";
const UINT kFirst = WM_USER + 1;

std::mutex g_DispatchedMutex;
std::vector<UINT> g_Dispatched;

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_USER) {
        std::lock_guard<std::mutex> lock(g_DispatchedMutex);
        g_Dispatched.push_back(message);
        return static_cast<LRESULT>(wParam + 1);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}


class WinMessagesTest : public ::testing::Test {
protected:
    // Classes cannot be unregistered here: register once per process.
    static void SetUpTestSuite() {
        static const ATOM registered = [] {
            WNDCLASSA windowClass = {};
            windowClass.lpfnWndProc = WindowProcedure;
            windowClass.lpszClassName = kClassName;
            return RegisterClassA(&windowClass);
        }();
        ASSERT_NE(registered, 0);
    }
    void TearDown() override {
        for (HWND window : m_Windows) DestroyWindow(window);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    HWND Create(const char* title, HWND parent = nullptr, DWORD style = 0) {
        HWND window = CreateWindowExA(0, kClassName, title, style, 0, 0, 10, 10, parent, nullptr,
                                      nullptr, nullptr);
        EXPECT_NE(window, nullptr) << title;
        if (!parent) m_Windows.push_back(window);
        return window;
    }
    HWND Child(const char* title, HWND parent) { return Create(title, parent, WS_CHILD); }

    // Every window FindWindowExA lists under parent, following the chain.
    static std::vector<HWND> Chain(HWND parent, const char* className, const char* title) {
        std::vector<HWND> found;
        for (HWND window = FindWindowExA(parent, nullptr, className, title);
             window && found.size() < 16; window = FindWindowExA(parent, window, className, title)) {
            found.push_back(window);
        }
        return found;
    }

    std::vector<HWND> m_Windows;
};

TEST_F(WinMessagesTest, TopLevelWindowsListNewestFirst) {
    HWND a = Create("Alpha");
    HWND b = Create("Beta");
    HWND c = Create("Gamma");
    EXPECT_EQ(Chain(nullptr, kClassName, nullptr), (std::vector<HWND>{c, b, a}));
    EXPECT_EQ(Chain(nullptr, nullptr, "beta"), (std::vector<HWND>{b}));
    EXPECT_EQ(Chain(nullptr, "platformtestwindow", "ALPHA"), (std::vector<HWND>{a}));
    EXPECT_EQ(FindWindowExA(nullptr, nullptr, "NoSuchClass", nullptr), nullptr);
}

TEST_F(WinMessagesTest, ChildWindowsListInCreationOrderAndOnlyDirectly) {
    HWND parent = Create("Parent");
    HWND first = Child("First", parent);
    HWND second = Child("Second", parent);
    HWND grandchild = Child("Grandchild", first);
    EXPECT_EQ(Chain(parent, nullptr, nullptr), (std::vector<HWND>{first, second}));
    EXPECT_EQ(Chain(first, kClassName, nullptr), (std::vector<HWND>{grandchild}));
    EXPECT_EQ(FindWindowExA(nullptr, nullptr, nullptr, "Grandchild"), nullptr);
    EXPECT_EQ(FindWindowExA(parent, grandchild, nullptr, nullptr), nullptr);
}

TEST_F(WinMessagesTest, ChildNeedsAParent) {
    EXPECT_EQ(CreateWindowExA(0, kClassName, "Orphan", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr,
                              nullptr, nullptr),
              nullptr);
    EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "x", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                              nullptr),
              nullptr);
}

TEST_F(WinMessagesTest, DestroyingAWindowDestroysItsChildrenAndOwnedWindows) {
    HWND parent = Create("Parent");
    HWND child = Child("Child", parent);
    HWND grandchild = Child("Grandchild", child);
    HWND owned = Create("Owned", parent);
    EXPECT_EQ(FindWindowExA(parent, nullptr, nullptr, "Owned"), nullptr);
    EXPECT_EQ(FindWindowExA(nullptr, nullptr, nullptr, "Owned"), owned);
    ASSERT_TRUE(DestroyWindow(parent));
    EXPECT_FALSE(IsWindow(parent));
    EXPECT_FALSE(IsWindow(child));
    EXPECT_FALSE(IsWindow(grandchild));
    EXPECT_FALSE(IsWindow(owned));
    EXPECT_FALSE(PostMessageA(parent, kFirst, 0, 0));
}

TEST_F(WinMessagesTest, NullWindowPostsToTheCallingThreadOnly) {
    ASSERT_TRUE(PostMessageA(nullptr, kFirst, 7, 8));
    BOOL seenElsewhere = TRUE;
    std::thread([&] {
        MSG message;
        seenElsewhere = PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE);
    }).join();
    EXPECT_FALSE(seenElsewhere);
    MSG message = {};
    ASSERT_TRUE(PeekMessageA(&message, nullptr, kFirst, kFirst, PM_REMOVE));
    EXPECT_EQ(message.hwnd, nullptr);
    EXPECT_EQ(message.wParam, 7u);
    EXPECT_EQ(message.lParam, 8);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, kFirst, kFirst, PM_REMOVE));
}

TEST_F(WinMessagesTest, PeekFiltersByWindowAndRange) {
    HWND a = Create("A");
    HWND childOfA = Child("ChildOfA", a);
    HWND b = Create("B");
    PostMessageA(nullptr, kFirst, 0, 0);
    PostMessageA(a, kFirst + 1, 0, 0);
    PostMessageA(childOfA, kFirst + 2, 0, 0);
    PostMessageA(b, kFirst + 3, 0, 0);
    MSG message = {};
    ASSERT_TRUE(PeekMessageA(&message, a, kFirst, kFirst + 3, PM_NOREMOVE));
    EXPECT_EQ(message.message, kFirst + 1);
    ASSERT_TRUE(PeekMessageA(&message, a, kFirst + 2, kFirst + 3, PM_NOREMOVE));
    EXPECT_EQ(message.message, kFirst + 2);
    EXPECT_EQ(message.hwnd, childOfA);
    ASSERT_TRUE(PeekMessageA(&message, b, kFirst, kFirst + 3, PM_REMOVE));
    EXPECT_EQ(message.message, kFirst + 3);
    EXPECT_FALSE(PeekMessageA(&message, b, kFirst, kFirst + 3, PM_REMOVE));

    std::vector<UINT> order;
    while (order.size() < 8 && PeekMessageA(&message, nullptr, kFirst, kFirst + 3, PM_REMOVE)) {
        order.push_back(message.message);
    }
    EXPECT_EQ(order, (std::vector<UINT>{kFirst, kFirst + 1, kFirst + 2}));
}

TEST_F(WinMessagesTest, DestroyedWindowLosesItsQueuedMessages) {
    HWND a = Create("A");
    PostMessageA(a, kFirst, 0, 0);
    PostMessageA(nullptr, kFirst + 1, 0, 0);
    DestroyWindow(a);
    MSG message = {};
    ASSERT_TRUE(PeekMessageA(&message, nullptr, kFirst, kFirst + 1, PM_REMOVE));
    EXPECT_EQ(message.message, kFirst + 1);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, kFirst, kFirst + 1, PM_REMOVE));
}

TEST_F(WinMessagesTest, PostToAWindowOfAnotherThreadIsDispatchedThere) {
    std::promise<HWND> created;
    std::promise<void> posted;
    std::vector<UINT> received;
    LRESULT dispatchResult = 0;
    std::thread owner([&] {
        HWND window = CreateWindowExA(0, kClassName, "Remote", 0, 0, 0, 1, 1, nullptr, nullptr,
                                      nullptr, nullptr);
        created.set_value(window);
        posted.get_future().wait();
        MSG message;
        while (received.size() < 8 && GetMessageA(&message, nullptr, kFirst, kFirst + 5) > 0) {
            received.push_back(message.message);
            if (message.hwnd == window) dispatchResult = DispatchMessageA(&message);
            PostQuitMessage(0);
        }
        received.push_back(message.message);
        DestroyWindow(window);
    });
    HWND window = created.get_future().get();
    ASSERT_NE(window, nullptr);
    {
        std::lock_guard<std::mutex> lock(g_DispatchedMutex);
        g_Dispatched.clear();
    }
    EXPECT_TRUE(plat::PostMessageA(window, kFirst + 2, 41, 0));
    EXPECT_EQ(plat::FindWindowExA(nullptr, nullptr, kClassName, "Remote"), window);
    posted.set_value();
    owner.join();
    EXPECT_EQ(received, (std::vector<UINT>{kFirst + 2, static_cast<UINT>(WM_QUIT)}));
    EXPECT_EQ(dispatchResult, 42);
    std::lock_guard<std::mutex> lock(g_DispatchedMutex);
    EXPECT_EQ(g_Dispatched, (std::vector<UINT>{kFirst + 2}));
}

TEST_F(WinMessagesTest, QuitComesAfterPostedMessagesAndCarriesTheExitCode) {
    PostMessageA(nullptr, kFirst, 0, 0);
    PostQuitMessage(5);
    MSG message = {};
    EXPECT_TRUE(GetMessageA(&message, nullptr, 0, 0));
    EXPECT_EQ(message.message, kFirst);
    EXPECT_FALSE(GetMessageA(&message, nullptr, 0, 0));
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 5u);
}

}  // namespace
