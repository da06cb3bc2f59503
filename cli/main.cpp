// vantrel-cli: one upgrade run with the tool's own dialog, engine and serial
// link, without a window. Production-line scripts rely on its output lines
// and exit codes (see README).
//
//   vantrel-cli [--port TEXT] [--baud RATE] [--trace] [--list]
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/VantrelDlg.h"
#include "cli/host.h"
#include "common/state.h"
#include "device/monitor.h"
#include "engine/outcome.h"
#include "engine/run.h"
#include "serial/port.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;
// What fits the port path after its "\\\\.\\" prefix.
constexpr size_t kMaxPortTextChars = kDevFileNameChars - 5;

struct Options {
    bool portGiven = false;
    std::wstring port;
    bool baudGiven = false;
    std::wstring baud;
    bool trace = false;
    bool list = false;
};

std::atomic<bool> g_interrupted{false};

extern "C" void OnSignal(int) { g_interrupted = true; }

int Usage(const char* why) {
    std::fprintf(stderr, "vantrel-cli: %s\nusage: vantrel-cli [--port TEXT] [--baud RATE] [--trace] [--list]\n", why);
    return kExitUsage;
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" || a == "--baud") {
            if (i + 1 >= argc) {
                error = a + " needs a value";
                return false;
            }
            if (a == "--port") {
                o.portGiven = true;
                o.port = cli::Wide(argv[++i]);
            } else {
                o.baudGiven = true;
                o.baud = cli::Wide(argv[++i]);
            }
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "--help" || a == "-h") {
            error = "help";
            return false;
        } else {
            error = "unknown argument '" + a + "'";
            return false;
        }
    }
    return true;
}

struct ResultWord {
    const char* word;
    int exitCode;
};

ResultWord Describe(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::Success: return {"success", 0};
    case RunOutcome::NoScript: return {"no-script", 3};
    case RunOutcome::PortOpenFailed: return {"port-open-failed", 4};
    case RunOutcome::WaitTimeout: return {"wait-timeout", 5};
    case RunOutcome::ReplyTimeout: return {"reply-timeout", 6};
    case RunOutcome::Format1Refused: return {"format1-refused", 7};
    case RunOutcome::Format2Refused: return {"format2-refused", 8};
    case RunOutcome::BadCommand: return {"bad-command", 9};
    case RunOutcome::MalformedScript: return {"malformed-script", 9};
    case RunOutcome::WriteFailed: return {"write-failed", 10};
    case RunOutcome::Stopped: return {"interrupted", kExitInterrupted};
    case RunOutcome::None:
    case RunOutcome::Running: break;
    }
    return {"interrupted", kExitInterrupted};
}

void PrintLine(const char* tag, const std::wstring& text) {
    std::printf("%s: %s\n", tag, cli::Utf8(text).c_str());
    std::fflush(stdout);
}

// Prints the status lines as the window would show them.
class ControlWatcher {
public:
    explicit ControlWatcher(CVantrelDlg& dlg) : dlg_(dlg) {}

    void StartRun() {
        rangeSeen_ = false;
        lastPercent_ = -1;
        lastPos_ = -1;
    }

    void OnChange(HWND control, UINT message) {
        if (message == WM_SETTEXT && control == dlg_.m_ConnectStatus.m_hWnd) {
            CString text;
            dlg_.m_ConnectStatus.GetWindowText(text);
            PrintLine("connect", text);
        } else if (message == WM_SETTEXT && control == dlg_.m_ProgressStatus.m_hWnd) {
            CString text;
            dlg_.m_ProgressStatus.GetWindowText(text);
            PrintLine("status", text);
        } else if (control == dlg_.m_Progress.m_hWnd) {
            if (message == PBM_SETRANGE32) rangeSeen_ = true;
            // The position is reset before the run's range is set: wait for the range.
            if (message == PBM_SETPOS && rangeSeen_) Progress(false);
        }
    }

    // The final position, unless it was the last one printed.
    void Finish() {
        if (rangeSeen_) Progress(true);
    }

private:
    void Progress(bool final) {
        int low = 0, high = 0;
        dlg_.m_Progress.GetRange(low, high);
        const int pos = dlg_.m_Progress.GetPos();
        const int percent = high > low ? static_cast<int>((static_cast<long long>(pos - low) * 100) / (high - low)) : 100;
        if (final ? pos == lastPos_ : percent == lastPercent_) return;
        lastPercent_ = percent;
        lastPos_ = pos;
        std::printf("progress: %d/%d\n", pos, high);
        std::fflush(stdout);
    }

    CVantrelDlg& dlg_;
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

void ListPorts(CVantrelDlg& dlg) {
    for (int i = 0; i < dlg.m_Port.GetCount(); ++i) {
        CString item;
        dlg.m_Port.GetLBText(i, item);
        PrintLine("port", item);
    }
    const UpgradeState& s = State();
    PrintLine("terminal", s.g_DevicePresent ? PortShortName(s.g_DebugDevFileName) : L"none");
}

// Why the port failed to open, in plain words: the runner tries the same
// open once more to learn the system's reason.
void ExplainPortFailure(const Options& options) {
    if (options.portGiven && options.port.size() > kMaxPortTextChars) {
        std::fprintf(stderr, "vantrel-cli: cannot open %s: a port name has at most %d characters\n",
                     cli::Utf8(options.port).c_str(), static_cast<int>(kMaxPortTextChars));
        return;
    }
    const std::wstring path = State().g_DebugDevFileName;
    const std::string shown = cli::Utf8(PortShortName(path.c_str()));
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "vantrel-cli: cannot open %s: %s\n", shown.c_str(), cli::LastPortErrorCause().c_str());
    } else {
        CloseHandle(h);
        std::fprintf(stderr, "vantrel-cli: cannot open %s: it failed during the run and opens now; check the cable and the line speed\n",
                     shown.c_str());
    }
}

class CliApp : public CWinApp {};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        if (error == "help") {
            std::printf("usage: vantrel-cli [--port TEXT] [--baud RATE] [--trace] [--list]\n");
            return 0;
        }
        return Usage(error.c_str());
    }
    if (options.trace) cli::TraceToStderr();

    CliApp app;
    CVantrelDlg dlg;
    AfxSetMainWnd(&dlg);
    if (!dlg.Create(IDD_MAIN_DIALOG)) {
        std::fprintf(stderr, "vantrel-cli: the dialog could not be created\n");
        return 1;
    }

    int exitCode = 0;
    if (options.list) {
        ListPorts(dlg);
    } else if (options.baudGiven && !SelectBaud(dlg, options.baud)) {
        exitCode = Usage(("no line speed '" + cli::Utf8(options.baud) + "' (3686400 or 115200)").c_str());
    } else {
        ControlWatcher watcher(dlg);
        cli::WatchControls([&watcher](HWND control, UINT message) { watcher.OnChange(control, message); });
        cli::AnswerMessageBoxes([](const std::wstring& text, UINT type) {
            PrintLine("message", text);
            return (type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
        });
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);

        if (options.portGiven) dlg.m_Port.SetWindowText(options.port.c_str());
        watcher.StartRun();
        cli::ClickButton(dlg.m_BtnLoader.m_hWnd);
        // A run always ends by itself (every record arms a timeout); a signal
        // stops it as a confirmed "STOP?" would: port closed, run left.
        while (State().g_Upgrading) {
            cli::RunFor([] { return !State().g_Upgrading || g_interrupted.load(); }, 200);
            if (g_interrupted && State().g_Upgrading) {
                StopUpgradeTimer();
                RunUpgradeEvent(UPG_EVENT_STOP);
            }
        }
        watcher.Finish();
        const RunOutcome outcome = g_interrupted ? RunOutcome::Stopped : LastRunOutcome();
        if (outcome == RunOutcome::PortOpenFailed) ExplainPortFailure(options);
        const ResultWord result = Describe(outcome);
        std::printf("result: %s\n", result.word);
        std::fflush(stdout);
        exitCode = result.exitCode;
        cli::WatchControls(nullptr);
    }

    AppUninit();
    dlg.DestroyWindow();
    AfxSetMainWnd(nullptr);
    std::fflush(nullptr);
    // A worker may still be between its last pass and its end: leave without
    // running static destructors under it.
    std::_Exit(exitCode);
}
