// The operator's commands around the two questions, and the timer's ticks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <new>
#include <string>

#include "common/messages.h"
#include "common/state.h"
#include "engine/outcome.h"
#include "platform/posix/user32/headless/harness.h"
#include "tests/engine/dialog_fixture.h"

namespace {

// The heap, exhausted on demand: while set, any single allocation of this
// many bytes or more fails as an exhausted heap would. Replacing the global
// allocation functions is the one way to reach the loader's allocation
// failure without starving the whole process.
std::atomic<size_t> g_failAllocationsFrom{0};

void* Allocate(size_t size) {
    const size_t limit = g_failAllocationsFrom.load();
    if (limit != 0 && size >= limit)
        throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

class CommandsTest : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        headless::SetMessageBoxResponder(
            [this](HWND, const std::wstring& text, const std::wstring& caption, UINT type) {
                questions_.push_back(text);
                captions_.push_back(caption);
                types_.push_back(type);
                if (answers_.empty())
                    return IDNO;
                const int a = answers_.front();
                answers_.pop_front();
                return a;
            });
    }

    // The handlers run whenever they are invoked, also with the buttons
    // disabled during a run, so the commands are sent as the button would.
    void PressLoader() { SendMessageW(dlg_->GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDC_BTN_LOADER, BN_CLICKED), 0); }
    void PressQuit() { SendMessageW(dlg_->GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDC_BTN_QUIT, BN_CLICKED), 0); }

    std::deque<int> answers_;
    std::vector<std::wstring> questions_, captions_;
    std::vector<UINT> types_;
};

TEST_F(CommandsTest, StartWithoutAScriptSaysOpenObjFailedAndStaysIdle) {
    PressLoader();
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"Open Obj failed!");
    EXPECT_FALSE(State().g_Upgrading);
    EXPECT_TRUE(Enabled(IDC_BTN_LOADER));
    EXPECT_TRUE(Enabled(IDC_BTN_QUIT));
    EXPECT_TRUE(questions_.empty());
}

// The loader's allocation fails: the framework reports the exhausted heap,
// the run never starts, and the outcome names the script as not loaded
// (vantrel-cli says no-script), not as a run still going or interrupted.
TEST_F(CommandsTest, ExhaustedHeapWhileLoadingIsANoScriptOutcome) {
    constexpr size_t kScriptBytes = 64u << 20;
    // Sparse: the length is all the loader sees before it allocates.
    WriteScript({});
    std::filesystem::resize_file(dir_ / "upgrader.asc", kScriptBytes);
    g_failAllocationsFrom = kScriptBytes;
    PressLoader();
    g_failAllocationsFrom = 0;
    EXPECT_EQ(LastRunOutcome(), RunOutcome::NoScript) << RunOutcomeName(LastRunOutcome());
    ASSERT_EQ(questions_.size(), 1u) << "the framework reports the exception in a box";
    EXPECT_FALSE(State().g_Upgrading);
    EXPECT_TRUE(Enabled(IDC_BTN_LOADER));
    EXPECT_EQ(State().script.buffer, nullptr);
}

TEST_F(CommandsTest, QuitAnsweredNoBeforeAnyRunArmsAZeroPeriodThatTheIdleEngineIgnores) {
    PressQuit();
    ASSERT_EQ(questions_, std::vector<std::wstring>{L"Quit?"});
    EXPECT_EQ(types_[0], static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
    EXPECT_EQ(State().g_TimerSeconds, 0);
    EXPECT_EQ(State().upg_event, 0);
    ClearTrace();
    Advance(10);  // a period of 0 runs at the shortest interval
    Advance(10);
    EXPECT_EQ(CountTraced("OnTimer\r\n"), 2);
    EXPECT_EQ(CountTraced("upgrade_timer_process: upg_event = 0\r\n"), 2);
    EXPECT_FALSE(State().g_Upgrading);
    KillTimer(dlg_->GetSafeHwnd(), UPGRADE_TIMER_ID);
}

TEST_F(CommandsTest, QuitAnsweredYesUninitialisesAndEndsTheDialog) {
    answers_ = {IDYES};
    PressQuit();
    Pump();
    EXPECT_TRUE(Traced("AppUninit\r\n"));
    EXPECT_EQ(State().g_ListenState.load(), LISTEN_STOP);
    EXPECT_FALSE(IsWindowVisible(dlg_->GetSafeHwnd()));
}

TEST_F(CommandsTest, StopAnsweredNoRestartsTheWaitFromTheAnswer) {
    WriteScript(ScriptBuilder().Wait().Bytes());
    PressLoader();
    ASSERT_TRUE(State().g_Upgrading);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"waiting ...!");
    Advance(5000);
    PressLoader();  // "STOP?" answered No after 5 of the 15 seconds
    ASSERT_EQ(questions_, std::vector<std::wstring>{L"STOP?"});
    EXPECT_EQ(State().g_TimerSeconds, 15);
    EXPECT_EQ(State().upg_event, UPG_EVENT_WAIT_TIMEOUT);
    Advance(14990);
    EXPECT_TRUE(State().g_Upgrading) << "the wait counts again from the answer";
    Advance(20);
    EXPECT_FALSE(State().g_Upgrading);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::WaitTimeout);
    EXPECT_EQ(CountTraced("upgrade_timer_process: upg_event = 5\r\n"), 1);
}

TEST_F(CommandsTest, StopAnsweredYesEndsTheRunSilently) {
    WriteScript(ScriptBuilder().Delay(30).Wait().Bytes());
    PressLoader();
    ASSERT_TRUE(State().g_Upgrading);
    EXPECT_FALSE(Enabled(IDC_BTN_LOADER));
    answers_ = {IDYES};
    PressLoader();
    EXPECT_FALSE(State().g_Upgrading);
    EXPECT_TRUE(Enabled(IDC_BTN_LOADER));
    EXPECT_TRUE(Enabled(IDC_BTN_QUIT));
    EXPECT_EQ(Text(IDC_BTN_LOADER), L"loader");
    EXPECT_EQ(questions_.size(), 1u);  // no message follows
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"ready loader!");
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Stopped);
    Advance(31000);
    EXPECT_FALSE(State().g_Upgrading);
}

TEST_F(CommandsTest, QuitAnsweredNoDuringARunLetsItGoOn) {
    WriteScript(ScriptBuilder().Delay(2).Delay(0).Bytes());
    PressLoader();
    Advance(1000);
    PressQuit();  // No: the 2-second delay counts again from here
    EXPECT_EQ(State().g_TimerSeconds, 2);
    Advance(1999);
    EXPECT_EQ(State().script.remaining, 5);  // the second delay is still to come
    Advance(1);
    EXPECT_EQ(State().script.remaining, 0);
    Advance(10);  // the zero delay ticks at the shortest interval
    EXPECT_FALSE(State().g_Upgrading);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"loader Success!");
}

TEST_F(CommandsTest, ATickOfAnotherTimerTracesOnlyOnTimer) {
    SetTimer(dlg_->GetSafeHwnd(), 77, 100, nullptr);
    ClearTrace();
    Advance(100);
    KillTimer(dlg_->GetSafeHwnd(), 77);
    EXPECT_EQ(Trace(), std::vector<std::string>{"OnTimer\r\n"});
}

TEST_F(CommandsTest, TheQuestionsAreCaptionedWithTheApplicationName) {
    PressQuit();
    ASSERT_EQ(captions_.size(), 1u);
    EXPECT_FALSE(captions_[0].empty());
    KillTimer(dlg_->GetSafeHwnd(), UPGRADE_TIMER_ID);
}

}  // namespace
