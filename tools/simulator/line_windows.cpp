// The Windows side of line.h: there are no ptys, so the terminal plays on a
// serial port the user names, one end of a null-modem cable or of a virtual
// port pair; the host opens the other end. The port cannot vanish under the
// host from here, so the faults that unplug it and --link are refused
// (Abilities()).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>
#include <utility>

#include "tools/simulator/line.h"
#include "tools/system.h"
#include "tools/simulator/terminal.h"
#include "tools/text/utf8.h"

namespace tools::sim {

namespace {

std::runtime_error PortError(const std::string& what, const std::string& port) {
    return std::runtime_error(what + " " + port + ": " + tools::LastErrorText());
}

// How long one look at the port sleeps when nothing came: short, since a
// reply's timing is what the host is tested on.
constexpr DWORD kLookMs = 1;

}  // namespace

struct Line::State {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string name;
    bool watch_dsr = false;

    ~State() {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }

    // DSR; *known is false when the port reports no modem lines.
    bool Dsr(bool* known) const {
        DWORD status = 0;
        *known = GetCommModemStatus(handle, &status) != 0;
        return (status & MS_DSR_ON) != 0;
    }

    DWORD Waiting() const {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(handle, &errors, &stat))
            return 0;
        return stat.cbInQue;
    }
};

LineAbilities Abilities() { return {false, true, false}; }

Line Line::Open(const LineSettings& settings) {
    if (settings.port.empty()) {
        throw std::runtime_error("Windows has no pseudo terminals: name the port to play on with --port COMn");
    }
    Line line;
    line.state_ = std::make_unique<State>();
    State& s = *line.state_;
    s.name = settings.port;
    // The device namespace reaches COM10 and up, and names that are no DOS
    // device; it is harmless for COM1 to COM9.
    const std::string path = settings.port.rfind("\\\\.\\", 0) == 0 ? settings.port : "\\\\.\\" + settings.port;
    s.handle = CreateFileW(text::Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (s.handle == INVALID_HANDLE_VALUE)
        throw PortError("opening", settings.port);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(s.handle, &dcb))
        throw PortError("reading the line settings of", settings.port);
    dcb.BaudRate = settings.baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    // No flow control: the host sets none either. DTR up tells a host that
    // watches its DSR that the terminal is there.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(s.handle, &dcb))
        throw PortError("setting the line of", settings.port);
    // Reads return at once with what is there; a write that the line cannot
    // take within a moment returns short, and the caller waits and retries.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 50};
    if (!SetCommTimeouts(s.handle, &timeouts))
        throw PortError("setting the timeouts of", settings.port);

    bool known = false;
    s.Dsr(&known);
    s.watch_dsr = known && !settings.ignore_dsr;
    return line;
}

Line::Line() = default;
Line::Line(Line&& other) noexcept = default;
Line& Line::operator=(Line&& other) noexcept = default;
Line::~Line() = default;

bool Line::is_open() const { return state_ && state_->handle != INVALID_HANDLE_VALUE; }

const std::string& Line::name() const {
    static const std::string none;
    return state_ ? state_->name : none;
}

std::string Line::noun() const { return state_ ? state_->name : std::string("the port"); }

std::string Line::note() const {
    if (!state_ || state_->watch_dsr)
        return {};
    return state_->name +
           ": the host's open and close are not seen (no DSR); it is taken to be there throughout, "
           "so give --wait-reply-ms room for its start";
}

bool Line::SeesHost() const { return is_open() && state_->watch_dsr; }

bool Line::HostHasOpened() const {
    if (!is_open())
        return false;
    if (!state_->watch_dsr)
        return true;
    bool known = false;
    return state_->Dsr(&known) || state_->Waiting() > 0;
}

Received Line::Receive(std::uint8_t* buf, std::size_t room, int timeout_ms) {
    if (!is_open())
        throw std::runtime_error("reading: the port is closed");
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(room, 1u << 16));
        if (!ReadFile(state_->handle, buf, want, &got, nullptr))
            throw PortError("reading", state_->name);
        if (got > 0)
            return {got, false};
        if (state_->watch_dsr) {
            bool known = false;
            if (!state_->Dsr(&known) && known)
                return {0, true};
        }
        if (std::chrono::steady_clock::now() >= until)
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(kLookMs));
    }
}

std::ptrdiff_t Line::Send(const std::uint8_t* bytes, std::size_t size, std::string& error) {
    if (!is_open()) {
        error = "the port is closed";
        return -1;
    }
    DWORD wrote = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 16));
    if (!WriteFile(state_->handle, bytes, want, &wrote, nullptr)) {
        // A write timeout is the line being full, not a failure.
        if (GetLastError() == ERROR_TIMEOUT || GetLastError() == WAIT_TIMEOUT)
            return wrote;
        error = tools::LastErrorText();
        return -1;
    }
    return wrote;
}

void Line::WaitWritable(int timeout_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp(timeout_ms, 0, 5)));
}

void Line::Close() {
    if (!state_ || state_->handle == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(std::exchange(state_->handle, INVALID_HANDLE_VALUE));
}

Symlink::Symlink(std::string path, const std::string& target) {
    throw std::runtime_error("a link " + path + " -> " + target + " needs a pty; Windows has none");
}

Symlink::Symlink(Symlink&& other) noexcept : path_(std::exchange(other.path_, {})), target_(std::move(other.target_)) {}

Symlink& Symlink::operator=(Symlink&& other) noexcept {
    path_ = std::exchange(other.path_, {});
    target_ = std::move(other.target_);
    return *this;
}

Symlink::~Symlink() = default;

void Symlink::Remove() { path_.clear(); }

namespace {

void OnSignal(int) { RequestStop(); }

}  // namespace

void CatchStopSignals() {
    // The C runtime runs these on a thread of its own for Ctrl+C and Ctrl+Break;
    // RequestStop only sets an atomic flag.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGBREAK, OnSignal);
}

}  // namespace tools::sim
