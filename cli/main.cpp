// vantrel-cli: one upgrade run with the tool's own dialog, engine and serial
// link, without a window. Production-line scripts rely on its output lines
// and exit codes (see README). The command line is in options.cpp, the
// outputs in progress.cpp (lines, the progress line) and json.cpp, the port
// listings in list.cpp.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/VantrelDlg.h"
#include "cli/escape.h"
#include "cli/events.h"
#include "cli/host.h"
#include "cli/list.h"
#include "cli/options.h"
#include "common/state.h"
#include "device/monitor.h"
#include "engine/outcome.h"
#include "engine/run.h"
#include "serial/port.h"

namespace {

constexpr int kExitNoOutput = 1;
constexpr int kExitInterrupted = 130;
// What fits the port path after its "\\\\.\\" prefix.
constexpr size_t kMaxPortTextChars = kDevFileNameChars - 5;

using cli::Options;

std::atomic<bool> g_interrupted{false};

extern "C" void OnSignal(int) { g_interrupted = true; }

struct ResultWord {
    const char* word;
    int exitCode;
};

ResultWord Describe(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::Success:
            return {"success", 0};
        case RunOutcome::NoScript:
            return {"no-script", 3};
        case RunOutcome::PortOpenFailed:
            return {"port-open-failed", 4};
        case RunOutcome::WaitTimeout:
            return {"wait-timeout", 5};
        case RunOutcome::ReplyTimeout:
            return {"reply-timeout", 6};
        case RunOutcome::Format1Refused:
            return {"format1-refused", 7};
        case RunOutcome::Format2Refused:
            return {"format2-refused", 8};
        case RunOutcome::BadCommand:
            return {"bad-command", 9};
        case RunOutcome::MalformedScript:
            return {"malformed-script", 9};
        case RunOutcome::WriteFailed:
            return {"write-failed", 10};
        case RunOutcome::Stopped:
            return {"interrupted", kExitInterrupted};
        case RunOutcome::None:
        case RunOutcome::Running:
            break;
    }
    return {"interrupted", kExitInterrupted};
}

// Reports the status lines as the window would show them.
class ControlWatcher {
public:
    ControlWatcher(CVantrelDlg& dlg, cli::Events& events) : dlg_(dlg), events_(events) {}

    void StartRun() {
        rangeSeen_ = false;
        lastPercent_ = -1;
        lastPos_ = -1;
    }

    void OnChange(HWND control, UINT message) {
        if (message == WM_SETTEXT && control == dlg_.m_ConnectStatus.m_hWnd) {
            CString text;
            dlg_.m_ConnectStatus.GetWindowText(text);
            events_.Text("connect", std::wstring(text));
        } else if (message == WM_SETTEXT && control == dlg_.m_ProgressStatus.m_hWnd) {
            CString text;
            dlg_.m_ProgressStatus.GetWindowText(text);
            events_.Text("status", std::wstring(text));
        } else if (control == dlg_.m_Progress.m_hWnd) {
            if (message == PBM_SETRANGE32)
                rangeSeen_ = true;
            // The position is reset before the run's range is set: wait for the range.
            if (message == PBM_SETPOS && rangeSeen_)
                Progress(false);
        }
    }

    // The final position, unless it was the last one printed.
    void Finish() {
        if (rangeSeen_)
            Progress(true);
    }

private:
    void Progress(bool final) {
        int low = 0, high = 0;
        dlg_.m_Progress.GetRange(low, high);
        const int pos = dlg_.m_Progress.GetPos();
        const int percent =
            high > low ? static_cast<int>((static_cast<long long>(pos - low) * 100) / (high - low)) : 100;
        if (final ? pos == lastPos_ : percent == lastPercent_)
            return;
        lastPercent_ = percent;
        lastPos_ = pos;
        events_.Progress(pos, high);
    }

    CVantrelDlg& dlg_;
    cli::Events& events_;
    bool rangeSeen_ = false;
    int lastPercent_ = -1;
    int lastPos_ = -1;
};

// Selects the line-speed item whose text is rate.
bool SelectBaud(CVantrelDlg& dlg, const std::wstring& rate) {
    for (int i = 0; i < dlg.m_Baud.GetCount(); ++i) {
        CString item;
        dlg.m_Baud.GetLBText(i, item);
        if (item == rate) {
            dlg.m_Baud.SetCurSel(i);
            return true;
        }
    }
    return false;
}

// Why the port failed to open, in plain words: the runner tries the same
// open once more to learn the system's reason.
void ExplainPortFailure(const Options& options) {
    if (options.portGiven && options.port.size() > kMaxPortTextChars) {
        std::fprintf(stderr, "vantrel-cli: cannot open %s: a port name has at most %d characters\n",
                     cli::Utf8(cli::Printable(options.port)).c_str(), static_cast<int>(kMaxPortTextChars));
        return;
    }
    const std::wstring path = State().g_DebugDevFileName;
    // The name may come from the device (Auto Detect) or the command line.
    const std::string shown = cli::Utf8(cli::Printable(PortShortName(path.c_str())));
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "vantrel-cli: cannot open %s: %s\n", shown.c_str(), cli::LastPortErrorCause().c_str());
    } else {
        CloseHandle(h);
        std::fprintf(
            stderr,
            "vantrel-cli: cannot open %s: it failed during the run and opens now; check the cable and the line speed\n",
            shown.c_str());
    }
}

// Why the script could not be played, naming the file.
void ExplainScriptFailure(RunOutcome outcome) {
    if (outcome == RunOutcome::NoScript) {
        std::FILE* f = std::fopen("upgrader.asc", "rb");
        if (f == nullptr) {
            std::fprintf(stderr, "vantrel-cli: cannot read upgrader.asc in the current directory: %s\n",
                         std::strerror(errno));
        } else {
            // A readable file of a script's size was refused for another
            // reason: held by another program, changed while it was read, or
            // its load raised an error (reported above).
            const bool headerFits = std::fseek(f, 0, SEEK_END) == 0 && std::ftell(f) >= kScriptHeaderBytes;
            std::fclose(f);
            if (headerFits)
                std::fprintf(stderr,
                             "vantrel-cli: upgrader.asc could not be loaded: another program held or changed it while "
                             "it was read, or the load failed\n");
            else
                std::fprintf(stderr,
                             "vantrel-cli: upgrader.asc is not an upgrade script: it is empty or shorter than a script "
                             "header\n");
        }
    } else if (outcome == RunOutcome::MalformedScript || outcome == RunOutcome::BadCommand) {
        std::fprintf(stderr,
                     "vantrel-cli: upgrader.asc is not a script the terminal can take: %s (--trace shows the record)\n",
                     outcome == RunOutcome::BadCommand ? "a record has an unknown command" : "a record is damaged");
    }
}

std::unique_ptr<cli::Events> MakeEvents(const Options& options) {
    if (options.json)
        return cli::JsonEvents(stdout, [] { return std::chrono::system_clock::now(); });
    if (cli::StdoutIsTerminal())
        return cli::TerminalEvents(
            stdout, cli::TerminalColumns(), [] { return std::chrono::steady_clock::now(); }, cli::Utf8);
    return cli::LineEvents(stdout, cli::Utf8);
}

class CliApp : public CWinApp {};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const std::optional<int> done = cli::ReadOptions(argc, argv, options))
        return *done;
    if (options.trace)
        cli::TraceToStderr();

    CliApp app;
    CVantrelDlg dlg;
    AfxSetMainWnd(&dlg);
    if (!dlg.Create(IDD_MAIN_DIALOG)) {
        std::fprintf(stderr, "vantrel-cli: the dialog could not be created\n");
        return 1;
    }

    int exitCode = 0;
    const std::unique_ptr<cli::Events> events = MakeEvents(options);
    if (options.list) {
        cli::ListPorts(dlg, *events);
        if (options.verbose)
            cli::ListPortsVerbose(stdout, options.json, cli::CheckPortOpens, cli::Utf8);
    } else if (options.baudGiven && !SelectBaud(dlg, options.baud)) {
        exitCode = usage::UsageError(cli::CliProgram(),
                                     "--baud: no line speed '" + cli::Utf8(options.baud) + "' (3686400 or 115200)");
    } else {
        ControlWatcher watcher(dlg, *events);
        cli::WatchControls([&watcher](HWND control, UINT message) { watcher.OnChange(control, message); });
        cli::AnswerMessageBoxes([&events](const std::wstring& text, UINT type) {
            events->Text("message", text);
            return (type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
        });
        cli::CatchStopSignals(OnSignal);

        if (options.portGiven)
            dlg.m_Port.SetWindowText(options.port.c_str());
        watcher.StartRun();
        cli::ClickButton(dlg.m_BtnLoader.m_hWnd);
        // A run always ends by itself (every record arms a timeout); a signal
        // stops it as a confirmed "STOP?" would: port closed, run left.
        while (State().g_Upgrading) {
            cli::RunFor([] { return !State().g_Upgrading || g_interrupted.load(); }, 200);
            events->Tick();
            if (g_interrupted && State().g_Upgrading) {
                StopUpgradeTimer();
                RunUpgradeEvent(UPG_EVENT_STOP);
            }
        }
        watcher.Finish();
        const RunOutcome outcome = g_interrupted ? RunOutcome::Stopped : LastRunOutcome();
        events->MakeWay();
        if (outcome == RunOutcome::PortOpenFailed)
            ExplainPortFailure(options);
        ExplainScriptFailure(outcome);
        const ResultWord result = Describe(outcome);
        events->Result(result.word, result.exitCode);
        exitCode = result.exitCode;
        cli::WatchControls(nullptr);
    }

    AppUninit();
    dlg.DestroyWindow();
    AfxSetMainWnd(nullptr);
    // Output that could not be written (a full disk, a closed pipe) is a
    // failure even after a successful run: whoever reads it got nothing.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "vantrel-cli: cannot write to stdout: %s\n", std::strerror(errno));
        if (exitCode == 0)
            exitCode = kExitNoOutput;
    }
    std::fflush(nullptr);
    // A worker may still be between its last pass and its end: leave without
    // running static destructors under it.
    std::_Exit(exitCode);
}
