// The factory, a fresh client object, the host-window search, the setters'
// rules and the notification posting.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/integration/TestHost.h"
#include "module/CFtpModule.h"
#include "session/Notifications.h"

using testhost::Client;
using testhost::MessageWindow;

// Selector 2 is version 2 of the interface; every other selector but 0
// still gives null.
TEST(Factory, SelectorsZeroAndTwoMakeObjectsAndEachCallANewOne) {
    for (int selector : {1, -1, 3, 0x10002}) EXPECT_EQ(nullptr, CreateFtpClientInstance(selector));
    IFtpClient* first = CreateFtpClientInstance(0);
    IFtpClient* second = CreateFtpClientInstance(0);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    EXPECT_EQ(nullptr, dynamic_cast<IFtpClient2*>(first));
    IFtpClient* extended = CreateFtpClientInstance(2);
    ASSERT_NE(nullptr, extended);
    IFtpClient2* v2 = dynamic_cast<IFtpClient2*>(extended);
    ASSERT_EQ(static_cast<IFtpClient2*>(extended), v2);
    // Through the table: a refusal, then slots 20 and 21 about it.
    EXPECT_EQ(0, v2->SetTransferRate(0.0));
    EXPECT_EQ(FTPE_REFUSED, v2->GetLastErrorCode());
    EXPECT_NE(nullptr, strstr(v2->GetLastErrorText(), "refused"));
    EXPECT_EQ(0, v2->GetSeekFlag());
    EXPECT_EQ(0, v2->GetLastErrorCode());
    first->Release();
    second->Release();
    extended->Release();
}

TEST(Factory, SocketLayerStartedOnceAtLoad) {
    EXPECT_EQ(1, CFtpModule::StartCount());
    EXPECT_EQ(0, CFtpModule::StopCount());
}

TEST(ClientObject, FreshObjectState) {
    Client client;
    EXPECT_EQ(1, client->m_nStreamMode.load());
    EXPECT_EQ(262144u, client->m_nBlockSize.load());
    EXPECT_EQ(0, client->m_nBufferingMode.load());
    EXPECT_EQ(0.0, client->m_dTransferRate.load());
    EXPECT_EQ(0, client->GetSeekFlag());
    EXPECT_EQ(0, client->m_nPort);
    EXPECT_EQ(1, client->m_bExtraFlag);
    EXPECT_STREQ("", client->m_szServerAddress);
    EXPECT_STREQ("", client->m_szUserName);
    EXPECT_STREQ("", client->m_Operation.m_szListResult);
    EXPECT_FALSE(client.HasSession());
    EXPECT_EQ(WAIT_TIMEOUT, plat::WaitForSingleObject(client->m_hDoneEvent, 0));
}

TEST(ClientObject, ReleaseWithoutSessionReturnsAtOnce) {
    IFtpClient* client = CreateFtpClientInstance(0);
    ASSERT_NE(nullptr, client);
    client->Release();  // leak and use-after-free checks run under the sanitizers
}

// ---- Host window search ---------------------------------------------------

namespace {

const char kWindowChainClass[][32] = {"Shell DocObject View", "Internet Explorer_Server",
                                      "AfxOleControl42", "AfxWnd42"};

#ifdef _WIN32
LRESULT CALLBACK ChainProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    return DefWindowProcA(h, m, w, l);
}
#else
LRESULT ChainProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    return DefWindowProcA(h, m, w, l);
}
#endif

plat::HWND MakeWindow(const char* className, plat::HWND parent) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ChainProc;
    wc.lpszClassName = className;
    RegisterClassA(&wc);
    const unsigned long kChild = 0x40000000L;  // WS_CHILD
    return CreateWindowExA(0, className, "", parent ? kChild : 0, 0, 0, 10, 10, parent, nullptr,
                           nullptr, nullptr);
}

}  // namespace

// Each host thread reads the outcome of its own last call. The object
// remembers the threads that called most recently: one that has not called
// for longer reads 0, never another thread's outcome.
TEST(ClientObject, LastErrorIsEachThreadsOwn) {
    Client client;
    EXPECT_EQ(0, client->GetLastErrorCode());
    EXPECT_STREQ("No error.", client->GetLastErrorText());
    EXPECT_EQ(0, client->SetTransferRate(0.0));
    EXPECT_EQ(FTPE_REFUSED, client->GetLastErrorCode());
    std::thread other([&] {
        EXPECT_EQ(0, client->GetLastErrorCode());
        EXPECT_EQ(1, client->SetTransferRate(5.0));
        EXPECT_EQ(0, client->GetLastErrorCode());
    });
    other.join();
    EXPECT_EQ(FTPE_REFUSED, client->GetLastErrorCode());
    std::atomic<size_t> called{0};
    std::vector<std::thread> callers;
    for (size_t i = 0; i < CCallOutcomes::kThreads; ++i) {
        callers.emplace_back([&] {
            client->GetSeekFlag();
            EXPECT_EQ(0, client->GetLastErrorCode());
            ++called;
            // Alive until every caller has called: no two share a thread id.
            testhost::WaitUntil([&] { return called.load() == CCallOutcomes::kThreads; }, 10000);
        });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(0, client->GetLastErrorCode());
}

// Arguments the new slots refuse before anything reaches the server.
TEST(ClientObject, ExtendedSlotsRefuseArguments) {
    Client client;
    unsigned char buffer[16];
    unsigned got = 77;
    EXPECT_EQ(0, client->ReadStream64("/f.bin", buffer, 1ull << 63, sizeof buffer, &got));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(FTPE_REFUSED, client->GetLastErrorCode());
    EXPECT_EQ(0, client->GetRemoteFileSize64("/f.bin", nullptr));
    EXPECT_EQ(FTPE_REFUSED, client->GetLastErrorCode());
    unsigned needed = 77;
    EXPECT_EQ(0, client->ListDirectoryAll("/", "", nullptr, 10, &needed));
    EXPECT_EQ(0u, needed);
    EXPECT_EQ(FTPE_REFUSED, client->GetLastErrorCode());
    needed = 77;
    EXPECT_EQ(0, client->ListDirectoryAll("relative", "", nullptr, 0, &needed));
    EXPECT_EQ(0u, needed);
    EXPECT_FALSE(client.HasSession());
}

TEST(HostWindowSearch, NoBrowserWindowLeavesZero) {
    Client client;
    EXPECT_EQ((plat::HWND)0, client->m_hMessageHwnd.load());
}

TEST(HostWindowSearch, PartialChainLeavesZero) {
    plat::HWND view = MakeWindow(kWindowChainClass[0], nullptr);
    plat::HWND server = MakeWindow(kWindowChainClass[1], view);
    plat::HWND control = MakeWindow(kWindowChainClass[2], server);
    {
        Client client;
        EXPECT_EQ((plat::HWND)0, client->m_hMessageHwnd.load());
    }
    DestroyWindow(control);
    DestroyWindow(server);
    DestroyWindow(view);
}

TEST(HostWindowSearch, FullChainFindsTheControlWindow) {
    plat::HWND view = MakeWindow(kWindowChainClass[0], nullptr);
    plat::HWND server = MakeWindow(kWindowChainClass[1], view);
    plat::HWND control = MakeWindow(kWindowChainClass[2], server);
    plat::HWND target = MakeWindow(kWindowChainClass[3], control);
    ASSERT_NE((plat::HWND)0, target);
    {
        Client client;
        EXPECT_EQ(target, client->m_hMessageHwnd.load());
    }
    DestroyWindow(view);
}

// ---- Setters ---------------------------------------------------------------

TEST(Setters, TransferRateBounds) {
    Client client;
    EXPECT_EQ(0, client->SetTransferRate(0.0));
    EXPECT_EQ(0, client->SetTransferRate(-1.0));
    EXPECT_EQ(0, client->SetTransferRate(100.5));
    EXPECT_EQ(0, client->SetTransferRate(NAN));
    EXPECT_EQ(0.0, client->m_dTransferRate.load());
    EXPECT_EQ(1, client->SetTransferRate(100.0));
    EXPECT_EQ(1, client->SetTransferRate(0.001));
    EXPECT_EQ(0.001, client->m_dTransferRate.load());
}

TEST(Setters, AcceptedWithoutSession) {
    Client client;
    plat::HWND window = (plat::HWND)(uintptr_t)0x1234;
    EXPECT_EQ(1, client->SetMessageWindow(window));
    EXPECT_EQ(window, client->m_hMessageHwnd.load());
    EXPECT_EQ(1, client->SetBlockSize(4096));
    EXPECT_EQ(4096u, client->m_nBlockSize.load());
    EXPECT_EQ(1, client->SetStreamMode(4));
    EXPECT_EQ(1, client->SetBufferingMode(1));
    EXPECT_EQ(1, client->SetConnectParameter("127.0.0.1|127.0.0.2", "u", "p", 21, 1, 0, "", 7));
    EXPECT_STREQ("127.0.0.1|127.0.0.2", client->m_szServerAddress);
    EXPECT_EQ(21, client->m_nPort);
    EXPECT_EQ(1, client->m_bOverwrite);
    EXPECT_EQ(0, client->m_bAppend);
    EXPECT_EQ(7, client->m_bExtraFlag);
}

TEST(Setters, ConnectParameterRefusesUnsafeTexts) {
    Client client;
    std::string tooLong(260, 'a');
    EXPECT_EQ(0, client->SetConnectParameter(nullptr, "u", "p", 21, 0, 0, "", 1));
    EXPECT_EQ(0, client->SetConnectParameter("127.0.0.1", tooLong.c_str(), "p", 21, 0, 0, "", 1));
    EXPECT_EQ(0, client->SetConnectParameter("127.0.0.1", "u", "p\r\nDELE x", 21, 0, 0, "", 1));
    EXPECT_EQ(0, client->SetConnectParameter("127.0.0.1", "u\n", "p", 21, 0, 0, "", 1));
    EXPECT_EQ(0, client->SetConnectParameter("127.0.0.1", "u", "p", 21, 0, 0, nullptr, 1));
    EXPECT_STREQ("", client->m_szServerAddress);
    std::string longest(259, 'b');
    EXPECT_EQ(1, client->SetConnectParameter("127.0.0.1", longest.c_str(), "p", 21, 0, 0, "", 1));
    EXPECT_EQ(longest, client->m_szUserName);
}

TEST(Setters, StopSessionWithoutSessionChangesNoEvent) {
    Client client;
    client->StopSession();
    EXPECT_EQ(WAIT_TIMEOUT, plat::WaitForSingleObject(client->m_hStopEvent, 0));
    EXPECT_EQ(WAIT_TIMEOUT, plat::WaitForSingleObject(client->m_hStoppedEvent, 0));
}

// ---- Notifications ---------------------------------------------------------

TEST(Notifications, PostedWithWindowAndDroppedWithout) {
    MessageWindow window;
    Client client;
    FtpPostMessage(window.Handle(), WM_FTP_ERROR, client->HostObject(), FTPE_BADREPLY);
    FtpPostMessage(0, WM_FTP_ERROR, client->HostObject(), FTPE_TIMEOUT);
    std::vector<testhost::Notice> notices = window.Drain();
    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ((unsigned)WM_FTP_ERROR, notices[0].message);
    EXPECT_EQ((uintptr_t)client->HostObject(), notices[0].wParam);
    EXPECT_EQ(FTPE_BADREPLY, notices[0].lParam);
}

TEST(Notifications, BufferingNoticeToNullWindowReachesOwnQueue) {
    MessageWindow window;
    window.Drain();
    PostBufferingNotice(0, 40);
    std::vector<testhost::Notice> notices = window.Drain();
    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ((unsigned)WM_FTP_BUFFERING, notices[0].message);
    EXPECT_EQ(40u, notices[0].wParam);
}
