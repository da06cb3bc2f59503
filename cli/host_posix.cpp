// The command-line runner's host on POSIX: the headless window back end and
// the trace sink of the POSIX platform.
#include <cstdio>

#include "cli/host.h"
#include "platform/posix/kernel32/error.h"
#include "platform/posix/user32/headless/harness.h"
#include "platform/posix/kernel32/trace_sink.h"
#include "platform/posix/kernel32/utf8.h"

namespace cli {

void WatchControls(std::function<void(HWND, UINT)> observer) { headless::SetWindowObserver(std::move(observer)); }

void AnswerMessageBoxes(std::function<int(const std::wstring&, UINT)> answer) {
    headless::SetMessageBoxResponder(
        [answer = std::move(answer)](HWND, const std::wstring& text, const std::wstring&, UINT type) {
            return answer(text, type);
        });
}

void TraceToStderr() {
    platform::SetTraceSink([](const std::string& utf8) {
        std::fwrite(utf8.data(), 1, utf8.size(), stderr);
        std::fflush(stderr);
    });
}

void ClickButton(HWND button) { headless::Click(button); }

// Wakes only for messages, timers and the end of ms, as the Windows host's
// wait does: the runner's other condition, a signal's flag, is looked at
// when the time is up. Looking every few milliseconds would wake an idle
// runner a hundred times a second.
bool RunFor(const std::function<bool()>& done, DWORD ms) { return headless::RunUntil(done, ms, ms); }

std::string LastPortErrorCause() { return platform::LastErrorCause(); }

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

std::wstring Wide(const char* utf8) { return platform::Utf8ToWide(utf8 ? utf8 : ""); }

}  // namespace cli
