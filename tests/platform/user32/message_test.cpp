// Messages between threads: sends that wait for the window thread, sends
// handled behind a message box, posting order, priorities, and sends that meet
// a window being destroyed or a thread that has ended. Every wait is bounded.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "tests/platform/user32/fixture.h"

namespace user32test {
namespace {

using namespace std::chrono_literals;

constexpr UINT kWork = WM_APP + 1;

class MessageTest : public User32Test {
protected:
    void SetUp() override {
        User32Test::SetUp();
        handler = [this](HWND hwnd, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
            if (message == kWork) {
                ++handled;
                SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, static_cast<LONG_PTR>(wParam * 2));
                return TRUE;
            }
            return message == WM_INITDIALOG;
        };
        dlg = CreateMainDialog();
        ASSERT_NE(dlg, nullptr);
    }

    template <class T>
    static bool Ready(std::future<T>& f) {
        return f.wait_for(0s) == std::future_status::ready;
    }

    HWND dlg = nullptr;
    int handled = 0;  // window thread only
};

TEST_F(MessageTest, SendFromWorkerWaitsForTheWindowThreadAndReturnsItsResult) {
    std::atomic<bool> started{false};
    auto result = std::async(std::launch::async, [&] {
        started = true;
        return SendMessageW(dlg, kWork, 21, 0);
    });
    while (!started)
        std::this_thread::yield();
    // Nobody pumps yet: the send cannot have completed.
    EXPECT_EQ(result.wait_for(30ms), std::future_status::timeout);
    EXPECT_EQ(handled, 0);
    ASSERT_TRUE(headless::RunUntil([&] { return Ready(result); }, 3000));
    EXPECT_EQ(result.get(), 42);
    auto seen = Seen(kWork);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].thread, GetCurrentThreadId());
}

TEST_F(MessageTest, SendOnTheWindowThreadCallsTheProcedureDirectly) {
    EXPECT_EQ(SendMessageW(dlg, kWork, 5, 0), 10);
    EXPECT_EQ(handled, 1);
}

TEST_F(MessageTest, SendAndPostAndTimerAreHandledWhileAMessageBoxIsOpen) {
    std::future<LRESULT> sent;
    std::future<void> posted;
    SetTimer(dlg, 9, 10, nullptr);
    headless::SetMessageBoxResponder([&](HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) {
        EXPECT_EQ(owner, dlg);
        EXPECT_EQ(text, L"STOP?");
        EXPECT_EQ(caption, L"vantrel");
        EXPECT_EQ(type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
        sent = std::async(std::launch::async, [&] { return SendMessageW(dlg, kWork, 4, 0); });
        posted = std::async(std::launch::async, [&] { PostMessageW(dlg, WM_APP + 2, 0, 0); });
        // The box's modal loop: keep the window thread's messages flowing.
        bool all = headless::RunUntil(
            [&] { return Ready(sent) && !Seen(WM_APP + 2).empty() && !Seen(WM_TIMER).empty(); }, 3000);
        return all ? IDYES : IDNO;
    });
    EXPECT_EQ(MessageBoxW(dlg, L"STOP?", L"vantrel", MB_YESNO | MB_ICONQUESTION), IDYES);
    ASSERT_TRUE(sent.valid());
    EXPECT_EQ(sent.get(), 8);
    KillTimer(dlg, 9);
}

TEST_F(MessageTest, MessageBoxWithoutResponderGivesTheHarmlessAnswer) {
    EXPECT_EQ(MessageBoxW(dlg, L"Quit?", L"vantrel", MB_YESNO | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(MessageBoxW(dlg, L"Open Obj failed!", L"vantrel", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"?", nullptr, MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(MessageBoxW(nullptr, L"?", nullptr, 0x0F), 0);  // no such button set
}

TEST_F(MessageTest, PostedMessagesArriveInOrderFromAnotherThread) {
    auto poster = std::async(std::launch::async, [&] {
        for (WPARAM i = 0; i < 200; ++i)
            PostMessageW(dlg, WM_APP + 3, i, 0);
    });
    ASSERT_EQ(poster.wait_for(3s), std::future_status::ready);
    headless::PumpMessages();
    auto seen = Seen(WM_APP + 3);
    ASSERT_EQ(seen.size(), 200u);
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i].wParam, i);
}

TEST_F(MessageTest, SentMessagesGoBeforePostedOnes) {
    PostMessageW(dlg, WM_APP + 4, 0, 0);
    auto sent = std::async(std::launch::async, [&] { return SendMessageW(dlg, kWork, 1, 0); });
    // PM_NOREMOVE handles incoming sends but leaves the posted message queued.
    MSG m{};
    auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!Ready(sent) && std::chrono::steady_clock::now() < deadline)
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(Ready(sent));
    EXPECT_EQ(handled, 1);
    EXPECT_TRUE(Seen(WM_APP + 4).empty());
    EXPECT_EQ(m.message, static_cast<UINT>(WM_APP + 4));
    headless::PumpMessages();
    EXPECT_EQ(Seen(WM_APP + 4).size(), 1u);
}

TEST_F(MessageTest, PendingSendReturnsZeroWhenTheWindowIsDestroyed) {
    std::atomic<bool> sending{false};
    auto sent = std::async(std::launch::async, [&] {
        sending = true;
        return SendMessageW(dlg, kWork, 3, 0);
    });
    while (!sending)
        std::this_thread::yield();
    std::this_thread::sleep_for(5ms);  // most likely queued by now; either way it must end
    DestroyWindow(dlg);
    ASSERT_EQ(sent.wait_for(3s), std::future_status::ready) << "the sender was left waiting";
    EXPECT_EQ(sent.get(), 0);
    EXPECT_EQ(handled, 0);
}

TEST_F(MessageTest, WorkerSendingInALoopWhileTheDialogIsDestroyedNeitherHangsNorCrashes) {
    std::atomic<int> answered{0};
    auto worker = std::async(std::launch::async, [&] {
        for (int i = 0; i < 100000; ++i) {
            if (SendMessageW(dlg, kWork, 1, 0) == 0)
                return;  // gone
            ++answered;
        }
    });
    ASSERT_TRUE(headless::RunUntil([&] { return answered >= 20; }, 3000));
    DestroyWindow(dlg);
    ASSERT_EQ(worker.wait_for(3s), std::future_status::ready);
    EXPECT_FALSE(IsWindow(dlg));
}

TEST_F(MessageTest, WindowsOfAnEndedThreadAreGoneAndSendsToThemReturnAtOnce) {
    HWND orphan = nullptr;
    HWND orphanControl = nullptr;
    std::thread owner([&] {
        orphan = CreateMainDialog();
        orphanControl = GetDlgItem(orphan, IDC_PORT);
    });
    owner.join();
    ASSERT_NE(orphan, nullptr);
    EXPECT_FALSE(IsWindow(orphan));
    EXPECT_FALSE(IsWindow(orphanControl));
    auto sent = std::async(std::launch::async, [&] { return SendMessageW(orphan, kWork, 1, 0); });
    ASSERT_EQ(sent.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(sent.get(), 0);
    EXPECT_FALSE(PostMessageW(orphan, kWork, 0, 0));
}

TEST_F(MessageTest, OnlyTheOwnerThreadMayDestroyAWindow) {
    auto other = std::async(std::launch::async, [&] {
        BOOL ok = DestroyWindow(dlg);
        return std::make_pair(ok, GetLastError());
    });
    auto [ok, error] = other.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(IsWindow(dlg));
}

TEST_F(MessageTest, TwoThreadsSendingToEachOtherDoNotDeadlock) {
    // The worker owns a window and sends to ours while we send to its.
    std::promise<HWND> workerWindow;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        TemplateImage image = MakeDialog(L"Worker", WS_POPUP, {});
        HWND mine = CreateDialogIndirectParamW(
            nullptr, image.Get(), nullptr,
            [](HWND hwnd, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
                if (message == kWork) {
                    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, static_cast<LONG_PTR>(wParam + 1));
                    return TRUE;
                }
                return message == WM_INITDIALOG;
            },
            0);
        workerWindow.set_value(mine);
        SendMessageW(dlg, kWork, 1, 0);  // blocks until our thread handles it
        while (!done) {
            MSG m;
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&m);
            std::this_thread::yield();
        }
        DestroyWindow(mine);
    });
    HWND theirs = workerWindow.get_future().get();
    // We send to the worker while it is (or soon is) blocked sending to us;
    // a deadlock here is caught by the test's time limit.
    LRESULT r = SendMessageW(theirs, kWork, 41, 0);
    ASSERT_TRUE(headless::RunUntil([&] { return handled == 1; }, 3000));
    done = true;
    worker.join();
    EXPECT_EQ(r, 42);
    EXPECT_EQ(handled, 1);
}

TEST_F(MessageTest, TextAndStateSetFromAWorkerAreAppliedOnTheWindowThread) {
    HWND status = GetDlgItem(dlg, IDC_CONNECT_STATUS);
    DWORD me = GetCurrentThreadId();
    std::atomic<bool> observedOnWindowThread{false};
    headless::SetWindowObserver([&](HWND h, UINT what) {
        if (h == status && what == WM_SETTEXT && GetCurrentThreadId() == me)
            observedOnWindowThread = true;
    });
    auto worker = std::async(std::launch::async, [&] {
        SetWindowTextW(status, L"ttyACM0 connected");
        EnableWindow(GetDlgItem(dlg, IDC_BTN_QUIT), FALSE);
    });
    ASSERT_TRUE(headless::RunUntil([&] { return Ready(worker); }, 3000));
    wchar_t text[64] = {};
    GetWindowTextW(status, text, 64);
    EXPECT_EQ(std::wstring(text), L"ttyACM0 connected");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dlg, IDC_BTN_QUIT)));
    EXPECT_TRUE(observedOnWindowThread);
}

TEST_F(MessageTest, GetMessageReturnsFalseForQuitAfterPostedMessages) {
    PostMessageW(dlg, WM_APP + 5, 0, 0);
    PostQuitMessage(9);
    MSG m{};
    EXPECT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_APP + 5));
    EXPECT_FALSE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(m.wParam, 9u);
}

TEST_F(MessageTest, PeekFiltersByWindowAndRange) {
    HWND port = GetDlgItem(dlg, IDC_PORT);
    PostMessageW(dlg, WM_APP + 6, 0, 0);
    PostMessageW(port, WM_APP + 7, 0, 0);
    MSG m{};
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_APP + 8, WM_APP + 9, PM_REMOVE));
    ASSERT_TRUE(PeekMessageW(&m, port, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_APP + 7));
    // A window filter takes the window's children too.
    PostMessageW(port, WM_APP + 7, 0, 0);
    ASSERT_TRUE(PeekMessageW(&m, dlg, WM_APP + 7, WM_APP + 7, PM_REMOVE));
    EXPECT_EQ(m.hwnd, port);
}

}  // namespace
}  // namespace user32test
