// Fuzzer: arbitrary bytes as upgrader.asc, played by the run engine against
// the scripted port on the manual clock, with the terminal's behaviour for
// each awaited reply chosen by the input too.
//
// Input: byte 0 is a control byte (bits 0-3: how many behaviour bytes
// follow, 0 meaning "always answer correctly"; bit 4: the port box says
// "Auto Detect" instead of the typed COM5, with no terminal present; bit 5:
// the second line speed). Then the behaviour bytes, used in turn for every
// CMD_WAIT / CMD_SEND_F1 / CMD_SEND_F2 record the engine takes; the rest is
// the script file, header included.
//
// Behaviour byte: low 3 bits the kind, the upper 5 an argument.
//   0 the expected frame          4 garbage as one read, then the frame
//   1 the frame, refused          5 silence
//   2 the other format's frame    6 the frame with extra bytes in one read
//   3 the frame in pieces         7 the terminal is unplugged
//
// Checked on every input (abort on violation): the run ends, or always waits
// on an armed timer, within a bounded number of timer steps; both buttons are
// disabled while a run is active and enabled whenever the engine is idle,
// message boxes included; g_RxCount never exceeds 2047; every write equals
// the payload of the send record the engine has just taken, as found by the
// parser below, and every send taken while the port is open is written once;
// "loader Success!" only when the parser walked the whole script cleanly,
// the engine took every record, and no awaited format-1 reply was one that
// cannot be accepted.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "common/state.h"
#include "engine/outcome.h"
#include "engine/run.h"
#include "framework/afxwin.h"
#include "fuzz/harness.h"
#include "platform/posix/user32/headless/harness.h"
#include "tests/fakes/comm.h"

namespace {

using fuzzharness::Check;
using fuzzharness::Fail;
using Bytes = std::vector<BYTE>;

// The longest timer period a record can arm is 65535 s; a wait beyond it
// finds no timer at all.
constexpr DWORD kBeyondAnyTimerMs = 65536u * 1000u;
constexpr unsigned kDeliveryMs = 5000;

enum Kind { kCorrect, kRefused, kOtherFormat, kPieces, kGarbage, kSilence, kExtra, kUnplug };

struct Record {
    int command;
    size_t payloadOffset;  // in the file
    size_t length;
    size_t end;  // bytes of records consumed once this one is taken
};

struct Parsed {
    std::vector<Record> records;
    bool truncated = false;  // the last record runs past the end
    bool clean = true;       // every record well formed and of a known command
};

bool Known(int command) {
    return command == CMD_WAIT || command == CMD_DELAY || command == CMD_OPEN_PORT || command == CMD_CLOSE_PORT ||
           command == CMD_SEND_F1 || command == CMD_SEND_F2;
}

// The script format, walked independently of the engine.
Parsed Parse(const uint8_t* file, size_t size) {
    Parsed p;
    if (size < static_cast<size_t>(kScriptHeaderBytes))
        return p;
    size_t at = kScriptHeaderBytes;
    while (at < size) {
        if (size - at < 3) {
            p.truncated = true;
            break;
        }
        const size_t length = file[at + 1] * 256u + file[at + 2];
        if (size - at - 3 < length) {
            p.truncated = true;
            break;
        }
        const int command = file[at];
        p.records.push_back({command, at + 3, length, at + 3 + length - kScriptHeaderBytes});
        if (!Known(command) || (command == CMD_DELAY && length < 2))
            p.clean = false;
        at += 3 + length;
    }
    if (p.truncated)
        p.clean = false;
    return p;
}

Bytes Format1(BYTE status) { return {0x02, 0x00, 0x0C, 0x81, 0x11, 0x22, status, 0x33, 0x44, 0x55, 0x66, 0x03}; }
Bytes Format2(BYTE mark) { return {0x55, 0x66, 0x77, mark, 0x88}; }

struct Action {
    bool unplug = false;
    Bytes bytes;
};

class Run {
public:
    Run(const uint8_t* data, size_t size) {
        const uint8_t control = size > 0 ? data[0] : 0;
        size_t at = size > 0 ? 1 : 0;
        const size_t count = control & 0x0F;
        for (size_t i = 0; i < count && at < size; ++i)
            behaviours_.push_back(data[at++]);
        autoDetect_ = (control & 0x10) != 0;
        baud_ = (control & 0x20) != 0 ? 1 : 0;
        file_ = data + at;
        fileSize_ = size - at;
        parsed_ = Parse(file_, fileSize_);
    }

    void Play() {
        CVantrelDlg& dlg = fuzzharness::Dialog();
        fuzzharness::WriteScript(file_, fileSize_);
        port_ = fakecomm::AddPort("COM5");
        port_->OnWrite([this](fakecomm::Port&, const Bytes& written) { OnWrite(written); });
        progress_ = dlg.m_Progress.GetSafeHwnd();
        headless::SetWindowObserver([this](HWND hwnd, UINT message) {
            if (hwnd == progress_ && message == PBM_SETPOS)
                OnProgress();
        });
        fuzzharness::SetBoxHook([](const std::wstring&) {
            Check(!State().g_Upgrading, "a message box while a run is active");
            Check(fuzzharness::Enabled(IDC_BTN_LOADER) && fuzzharness::Enabled(IDC_BTN_QUIT),
                  "a message box with the buttons disabled");
            return IDOK;
        });
        headless::TypeText(dlg.m_Port.GetSafeHwnd(), autoDetect_ ? L"Auto Detect" : L"COM5");
        dlg.m_Baud.SetCurSel(baud_);
        dlg.m_ProgressStatus.SetWindowText(L"");

        headless::Click(dlg.m_BtnLoader.GetSafeHwnd());
        CheckSteady();
        // A run of n records needs about n timer steps; the rest is slack.
        const size_t limit = 200 + 2 * parsed_.records.size();
        size_t steps = 0;
        while (State().g_Upgrading) {
            if (!actions_.empty()) {
                Deliver();
                CheckSteady();
                continue;
            }
            if (++steps > limit)
                break;  // still progressing; long enough
            const int before = fuzzharness::UpgradeTicks();
            const bool ticked =
                headless::RunUntil([&] { return fuzzharness::UpgradeTicks() > before; }, kBeyondAnyTimerMs);
            CheckSteady();
            Check(ticked || !State().g_Upgrading, "the run is active with no armed timer (hang)");
        }
        const bool stillRunning = State().g_Upgrading;
        headless::SetWindowObserver(nullptr);
        if (!stillRunning)
            CheckEnd();
        // VANTREL_FUZZ_VERBOSE=1: one line per input, to see what a corpus exercises.
        if (std::getenv("VANTREL_FUZZ_VERBOSE") != nullptr)
            std::fprintf(stderr, "outcome %s, records %zu of %zu, writes %zu, steps %zu%s\n",
                         RunOutcomeName(LastRunOutcome()), next_, parsed_.records.size(), writes_, steps,
                         stillRunning ? " (step limit)" : "");
    }

private:
    bool PortUsable() const { return port_->IsOpen() && !unplugged_; }

    // Invariants that hold between any two window messages.
    void CheckSteady() const {
        const bool running = State().g_Upgrading;
        Check(fuzzharness::Enabled(IDC_BTN_LOADER) == !running, "start button state does not follow the run");
        Check(fuzzharness::Enabled(IDC_BTN_QUIT) == !running, "quit button state does not follow the run");
        Check(State().g_RxCount <= kRxBufferBytes - 1, "g_RxCount above 2047");
    }

    // The engine has just taken a record (it sets the progress position
    // before it executes the record).
    void OnProgress() {
        const UpgradeScript& script = State().script;
        const auto consumed = static_cast<size_t>(script.total - script.remaining);
        if (script.buffer == nullptr || consumed <= consumed_)
            return;
        consumed_ = consumed;
        Check(next_ < parsed_.records.size() && parsed_.records[next_].end == consumed,
              "the engine took a record the script does not hold at offset " + std::to_string(consumed));
        const Record& record = parsed_.records[next_++];
        // Whatever the terminal had still to say about the previous record is
        // dropped: it answers the new one.
        actions_.clear();
        if (record.command != CMD_WAIT && record.command != CMD_SEND_F1 && record.command != CMD_SEND_F2)
            return;

        const uint8_t behaviour = behaviours_.empty() ? 0 : behaviours_[replies_ % behaviours_.size()];
        ++replies_;
        const int kind = behaviour & 7;
        const int arg = behaviour >> 3;
        const bool usable = PortUsable();
        if (record.command != CMD_SEND_F2 &&
            (!usable || kind == kRefused || kind == kSilence || kind == kExtra || kind == kUnplug))
            f1Unanswerable_ = true;
        lastSendUnwritable_ = record.command != CMD_WAIT && !usable;
        if (lastSendUnwritable_)
            anySendUnwritable_ = true;
        if (record.command != CMD_WAIT && usable)
            expectedWrites_.emplace_back(file_ + record.payloadOffset, file_ + record.payloadOffset + record.length);
        if (!usable)
            return;

        const bool f1 = record.command != CMD_SEND_F2;
        const Bytes frame = f1 ? Format1(0) : Format2(0x24);
        switch (kind) {
            case kCorrect:
                actions_.push_back({false, frame});
                break;
            case kRefused:
                actions_.push_back(
                    {false, f1 ? Format1(static_cast<BYTE>(arg | 1)) : Format2(static_cast<BYTE>(0x25 + arg))});
                break;
            case kOtherFormat:
                actions_.push_back({false, f1 ? Format2(0x24) : Format1(0)});
                break;
            case kPieces: {
                const size_t piece = arg % 6 + 1;
                for (size_t i = 0; i < frame.size(); i += piece)
                    actions_.push_back(
                        {false, Bytes(frame.begin() + i, frame.begin() + std::min(frame.size(), i + piece))});
                break;
            }
            case kGarbage:
                actions_.push_back({false, Bytes(static_cast<size_t>(arg) + 1, static_cast<BYTE>(0xE0 + (arg & 7)))});
                actions_.push_back({false, frame});
                break;
            case kSilence:
                break;
            case kExtra: {
                Bytes bytes = frame;
                bytes.insert(bytes.end(), static_cast<size_t>(arg % 4) + 1, 0x7E);
                actions_.push_back({false, bytes});
                break;
            }
            case kUnplug:
                actions_.push_back({true, {}});
                break;
        }
    }

    void OnWrite(const Bytes& written) {
        Check(writes_ < expectedWrites_.size(), "a write no send record asked for");
        Check(written == expectedWrites_[writes_], "a written payload differs from the script's bytes");
        ++writes_;
    }

    void Deliver() {
        Action action = std::move(actions_.front());
        actions_.pop_front();
        if (action.unplug) {
            port_->Unplug();
            unplugged_ = true;
            actions_.clear();
            return;
        }
        if (!PortUsable())
            return;
        port_->Receive(action.bytes);
        Check(fuzzharness::PumpUntil([&] { return port_->Pending() == 0; }, kDeliveryMs),
              "queued reply bytes were never read");
    }

    void CheckEnd() const {
        const RunOutcome outcome = LastRunOutcome();
        const bool success = fuzzharness::Text(IDC_PROGRESS_STATUS) == L"loader Success!";
        Check(success == (outcome == RunOutcome::Success), "status line and outcome disagree");
        Check(outcome != RunOutcome::Running && outcome != RunOutcome::None, "an idle engine with no outcome");
        Check(fuzzharness::Text(IDC_BTN_LOADER) == L"loader", "the start button's text was not restored");
        Check(writes_ == expectedWrites_.size(), "a send taken with the port open was not written");
        if (success) {
            Check(parsed_.clean, "loader Success! on a script that does not parse cleanly");
            Check(next_ == parsed_.records.size(), "loader Success! before every record was taken");
            Check(!f1Unanswerable_, "loader Success! although a format-1 reply could not have been accepted");
        }
        if (outcome == RunOutcome::BadCommand)
            Check(next_ > 0 && !Known(parsed_.records[next_ - 1].command), "BadCommand on a known command");
        if (success)
            Check(!anySendUnwritable_, "loader Success! although a payload could not be written");
        if (outcome == RunOutcome::WriteFailed)
            Check(lastSendUnwritable_ && next_ > 0 && parsed_.records[next_ - 1].command != CMD_WAIT,
                  "WriteFailed on a send whose port took the payload");
        if (outcome == RunOutcome::MalformedScript)
            Check(!parsed_.clean, "MalformedScript on a script that parses cleanly");
        if (outcome == RunOutcome::NoScript)
            Check(fileSize_ < static_cast<size_t>(kScriptHeaderBytes), "NoScript on a readable script");
    }

    std::vector<uint8_t> behaviours_;
    bool autoDetect_ = false;
    int baud_ = 0;
    const uint8_t* file_ = nullptr;
    size_t fileSize_ = 0;
    Parsed parsed_;

    std::optional<fakecomm::Port> port_;
    HWND progress_ = nullptr;
    bool unplugged_ = false;
    bool lastSendUnwritable_ = false;  // the last record taken was a send with no usable port
    bool anySendUnwritable_ = false;
    size_t consumed_ = 0;
    size_t next_ = 0;
    size_t replies_ = 0;
    bool f1Unanswerable_ = false;
    std::deque<Action> actions_;
    std::vector<Bytes> expectedWrites_;
    size_t writes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzharness::ResetBetweenInputs();
    Run run(data, size);
    run.Play();
    // Before the run goes: the port's write hook refers to it.
    fuzzharness::ResetBetweenInputs();
    return 0;
}
