// The command-line runner's host on POSIX: the headless window back end,
// the trace sink of the POSIX platform, the terminal stdout may be, and the
// open check of a port's device node.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "cli/host.h"
#include "platform/posix/kernel32/error.h"
#include "platform/posix/user32/headless/harness.h"
#include "platform/posix/kernel32/trace_sink.h"
#include "tools/text/utf8.h"

namespace cli {

void WatchControls(std::function<void(HWND, UINT)> observer) { headless::SetWindowObserver(std::move(observer)); }

void AnswerMessageBoxes(std::function<int(const std::wstring&, UINT)> answer) {
    headless::SetMessageBoxResponder([answer = std::move(answer)](HWND, const std::wstring& text, const std::wstring&,
                                                                  UINT type) { return answer(text, type); });
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

std::string Utf8(const std::wstring& text) { return text::WideToUtf8(text); }

std::wstring Wide(const char* utf8) { return text::Utf8ToWide(utf8 ? utf8 : ""); }

void CatchStopSignals(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

int TerminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

OpenCheck CheckPortOpens(const std::wstring& port) {
    const std::string name = Utf8(port);
    const std::string path = name.find('/') != std::string::npos ? name : "/dev/" + name;
    // O_NONBLOCK: a port without carrier would otherwise hold the open.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return {true, ""};
    }
    const int error = errno;
    switch (error) {
        case EACCES:
        case EPERM:
            return {false,
                    "permission denied: add the user to the group dialout (sudo usermod -aG dialout $USER, then "
                    "log in again) or install the udev rules 70-vantrel-terminals.rules (the vantrel package "
                    "installs them; from the sources: packaging/linux/)"};
        case ENOENT:
            return {false,
                    "no device node " + path + ": the port is listed by the kernel but udev made no node for it"};
        case EBUSY:
            return {false, "in use: another program holds it in exclusive mode"};
        case ENXIO:
        case ENODEV:
        case EIO:
            return {false, std::string(std::strerror(error)) + ": the device went away or has no driver bound"};
        default:
            return {false, std::strerror(error)};
    }
}

}  // namespace cli
