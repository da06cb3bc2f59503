// The command-line runner's host on POSIX: the headless window back end and
// the trace sink of the POSIX platform.
#include <cstdio>

#include "cli/host.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/headless.h"
#include "platform/posix/trace_sink.h"

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

bool RunFor(const std::function<bool()>& done, DWORD ms) { return headless::RunUntil(done, ms); }

std::string PortErrorCause(DWORD error) { return platform::ErrorCause(error); }

std::string Utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        const uint32_t c = static_cast<uint32_t>(wc);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace cli
