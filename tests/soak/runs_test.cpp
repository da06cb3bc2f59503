// 1,000 upgrade runs back to back in one process: the main dialog on the
// headless back end, the manual clock, and the scripted port answering as a
// terminal does, with one fault per run drawn from a fixed seed. Every run
// must end as its fault implies, and the process must not grow: descriptors,
// threads and resident memory after the last run are where they were after
// the first.
#include <chrono>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/state.h"
#include "engine/outcome.h"
#include "framework/afxwin.h"
#include "platform/posix/user32/headless/harness.h"
#include "tests/engine/dialog_fixture.h"
#include "tests/fakes/comm.h"
#include "tests/soak/process_resources.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr int kRuns = 1000;
constexpr unsigned kSeed = 20240607;

// The faults a terminal or its cable shows, one per run.
enum class Fault {
    None,         // every reply as expected
    NoReply,      // the last format-1 send gets no answer
    Refused,      // the first format-1 send is refused with status 05
    WrongByte3,   // the format-2 reply has 'X' where '$' belongs
    Pieces,       // every reply arrives in pieces of 1 to 4 bytes
    ExtraBytes,   // the first format-1 reply carries a 13th byte
    Unplug,       // the terminal is unplugged at the format-2 send
    F2Silent,     // the format-2 send gets no answer (optional reply)
    WaitGarbage,  // garbage before the frame the wait record expects
};
constexpr int kFaults = 9;

RunOutcome Implied(Fault fault) {
    switch (fault) {
        case Fault::None:
        case Fault::Pieces:
        case Fault::F2Silent:
            return RunOutcome::Success;
        case Fault::NoReply:
        case Fault::ExtraBytes:
            return RunOutcome::ReplyTimeout;  // the last send is never answered
        // The format-2 send goes unanswered and the run goes on; the send after
        // it cannot be written to the unplugged port.
        case Fault::Unplug:
            return RunOutcome::WriteFailed;
        case Fault::Refused:
            return RunOutcome::Format1Refused;
        case Fault::WrongByte3:
            return RunOutcome::Format2Refused;
        case Fault::WaitGarbage:
            return RunOutcome::WaitTimeout;
    }
    return RunOutcome::None;
}

const char* Name(Fault fault) {
    static const char* const names[] = {"None",       "NoReply", "Refused",  "WrongByte3", "Pieces",
                                        "ExtraBytes", "Unplug",  "F2Silent", "WaitGarbage"};
    return names[static_cast<int>(fault)];
}

// Records of the soak's script, in order.
enum Step { kOpen, kWait, kSendA, kDelay, kSendF2, kSendB, kClose };

const Bytes kPayloadA(64, 0x3C);
const Bytes kPayloadF2 = {'h', 'e', 'l', 'l', 'o', ' ', 'f', '2'};
const Bytes kPayloadB = {0x00, 0xFF, 0x10, 0x11, 0x12, 0x13, 0x02, 0x03};

struct Action {
    bool unplug = false;
    Bytes bytes;
};

bool WaitRealFor(const std::function<bool()>& done, unsigned maxMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The process's resources once every ended worker has left: a receive
// watcher counts itself out before its thread is gone, and the kernel lists
// the thread until then. A thread that never leaves is still counted after
// the bound.
ProcessResources SettledResources() {
    ProcessResources r = ReadProcessResources();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (r.threads > 1 + AfxRunningThreadCount() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        r = ReadProcessResources();
    }
    return r;
}

class RunSoakTest : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        WriteScript(ScriptBuilder()
                        .OpenPort()
                        .Wait()
                        .SendF1(kPayloadA)
                        .Delay(1)
                        .SendF2(kPayloadF2)
                        .SendF1(kPayloadB)
                        .ClosePort()
                        .Bytes());
        port_ = fakecomm::AddPort("COM5");
        headless::SetWindowObserver([this](HWND hwnd, UINT message) {
            if (hwnd == dlg_->m_Progress.GetSafeHwnd() && message == PBM_SETPOS)
                OnRecordTaken();
        });
    }
    void TearDown() override {
        headless::SetWindowObserver(nullptr);
        DialogFixture::TearDown();
        fakecomm::Reset();
    }

    // One run with the given fault; returns its outcome once the engine is
    // idle and the receive watcher has left.
    RunOutcome PlayRun(Fault fault) {
        fault_ = fault;
        taken_ = 0;
        consumed_ = 0;
        actions_.clear();
        port_->Replug();
        port_->ClearWrites();
        headless::TypeText(dlg_->m_Port.GetSafeHwnd(), L"COM5");
        headless::Click(dlg_->m_BtnLoader.GetSafeHwnd());
        for (int guard = 0; guard < 200 && (State().g_Upgrading || !actions_.empty()); ++guard) {
            if (!actions_.empty()) {
                Deliver();
                continue;
            }
            headless::RunUntil([&] { return !actions_.empty() || !State().g_Upgrading; }, 60000);
        }
        EXPECT_FALSE(State().g_Upgrading) << "run did not end, fault " << Name(fault);
        EXPECT_TRUE(PumpUntil([] { return State().g_ReadThread.load() == nullptr; }, 3000));
        EXPECT_TRUE(WaitRealFor([] { return AfxRunningThreadCount() == 0; }, 3000));
        return LastRunOutcome();
    }

    void OnRecordTaken() {
        const UpgradeScript& script = State().script;
        const auto consumed = static_cast<size_t>(script.total - script.remaining);
        if (script.buffer == nullptr || consumed <= consumed_)
            return;
        consumed_ = consumed;
        const int step = taken_++;
        actions_.clear();
        const bool pieces = fault_ == Fault::Pieces;
        switch (step) {
            case kWait:
                if (fault_ == Fault::WaitGarbage)
                    actions_.push_back({false, {0x7F, 0x7F, 0x7F}});
                Answer(Format1Reply(0), pieces);
                break;
            case kSendA:
                if (fault_ == Fault::Refused) {
                    Answer(Format1Reply(0x05), false);
                } else if (fault_ == Fault::ExtraBytes) {
                    Bytes reply = Format1Reply(0);
                    reply.push_back(0x55);
                    Answer(reply, false);
                } else {
                    Answer(Format1Reply(0), pieces);
                }
                break;
            case kSendF2:
                if (fault_ == Fault::Unplug)
                    actions_.push_back({true, {}});
                else if (fault_ == Fault::WrongByte3)
                    Answer(Format2Reply('X'), false);
                else if (fault_ != Fault::F2Silent)
                    Answer(Format2Reply('$'), pieces);
                break;
            case kSendB:
                if (fault_ != Fault::NoReply && fault_ != Fault::Unplug)
                    Answer(Format1Reply(0), pieces);
                break;
            default:
                break;
        }
    }

    void Answer(const Bytes& frame, bool pieces) {
        if (!pieces) {
            actions_.push_back({false, frame});
            return;
        }
        for (size_t at = 0; at < frame.size();) {
            const size_t n = std::min<size_t>(frame.size() - at, 1 + random_() % 4);
            actions_.push_back({false, Bytes(frame.begin() + at, frame.begin() + at + n)});
            at += n;
        }
    }

    void Deliver() {
        Action action = std::move(actions_.front());
        actions_.pop_front();
        if (action.unplug) {
            port_->Unplug();
            actions_.clear();
            return;
        }
        port_->Receive(action.bytes);
        ASSERT_TRUE(PumpUntil([&] { return port_->Pending() == 0; }, 3000)) << "reply bytes were not read";
    }

    std::optional<fakecomm::Port> port_;
    std::mt19937 random_{kSeed};
    Fault fault_ = Fault::None;
    int taken_ = 0;
    size_t consumed_ = 0;
    std::deque<Action> actions_;
};

}  // namespace

TEST_F(RunSoakTest, ThousandRunsEndAsTheirFaultsImplyAndTheProcessStaysFlat) {
    std::mt19937 faults(kSeed);
    std::optional<ProcessResources> afterFirst;
    int mismatches = 0;
    int successes = 0;
    std::vector<int> perFault(kFaults, 0);
    const auto start = std::chrono::steady_clock::now();
    for (int run = 0; run < kRuns; ++run) {
        const auto fault = static_cast<Fault>(faults() % kFaults);
        ++perFault[static_cast<int>(fault)];
        const RunOutcome outcome = PlayRun(fault);
        if (outcome != Implied(fault) && ++mismatches <= 10)
            ADD_FAILURE() << "run " << run << ", fault " << Name(fault) << ": " << RunOutcomeName(outcome)
                          << ", expected " << RunOutcomeName(Implied(fault));
        if (outcome == RunOutcome::Success) {
            ++successes;
            // A successful run wrote the three payloads, byte for byte.
            EXPECT_EQ(port_->Writes(), (std::vector<Bytes>{kPayloadA, kPayloadF2, kPayloadB})) << "run " << run;
        }
        EXPECT_TRUE(Enabled(IDC_BTN_LOADER) && Enabled(IDC_BTN_QUIT)) << "run " << run;
        // The fixture keeps every trace line; what the tool itself holds is measured.
        ClearTrace();
        if (run == 0)
            afterFirst = SettledResources();
        if (HasFatalFailure())
            return;
    }
    const ProcessResources last = SettledResources();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d runs in %.1f s, %d successful; after the first run: %s; after the last: %s\n", kRuns, seconds,
                successes, Describe(*afterFirst).c_str(), Describe(last).c_str());

    EXPECT_EQ(mismatches, 0);
    for (int f = 0; f < kFaults; ++f)
        EXPECT_GT(perFault[f], 50) << "fault " << Name(static_cast<Fault>(f)) << " rarely drawn";
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(last.fds, afterFirst->fds);
    EXPECT_EQ(last.threads, afterFirst->threads);
    EXPECT_LE(last.residentKiB, afterFirst->residentKiB + FlatMemoryBoundKiB());
}
