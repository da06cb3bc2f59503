// The terminal's end of the line, the one place the simulator meets the
// operating system: line_posix.cpp plays on a pty it makes (pty.h),
// line_windows.cpp on a serial port the user names (one end of a null-modem
// cable or of a virtual port pair, the host holding the other). The build
// picks one. Not here: what is played (terminal.h).
//
// The host's open and close: on a pty they are read on the master (pty.h);
// on a serial port they are read on DSR, which follows the host's DTR
// through the cable or pair. A port that reports no modem lines (Wine's,
// which are ptys) cannot show them: the host is then taken to be there
// throughout, as it is with --ignore-dsr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tools::sim {

// What this platform's line can do; main.cpp refuses the rest up front.
struct LineAbilities {
    bool own_pty;     // can make a port of its own (no --port)
    bool named_port;  // can play on a port the user names (--port)
    bool unplug;      // can make the port vanish (unplug, replug, --link)
};
LineAbilities Abilities();

struct LineSettings {
    std::string port;         // empty: a pty of our own
    bool ignore_dsr = false;  // take the host as present throughout
    unsigned baud = 115200;   // a named port's line speed (8N1)
};

struct Received {
    std::size_t bytes = 0;  // read into the caller's buffer
    bool hangup = false;    // nobody holds the port open (only when bytes == 0)
};

class Line {
public:
    // Throws std::runtime_error naming the step, the port and the system's reason.
    static Line Open(const LineSettings& settings);

    Line();
    Line(Line&& other) noexcept;
    Line& operator=(Line&& other) noexcept;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    ~Line();

    bool is_open() const;
    // What the host opens: /dev/pts/N, COM9.
    const std::string& name() const;
    // The line in messages: "the pty", "COM9".
    std::string noun() const;
    // Something the user should know about this line, or empty.
    std::string note() const;

    // True while the host holds the port open, or when it has written bytes
    // still waiting here.
    bool HostHasOpened() const;
    // Whether the host's open and close can be seen at all (see above).
    bool SeesHost() const;

    // Waits up to `timeout_ms` for bytes from the host and reads at most
    // `room` of them. Throws std::runtime_error when the line fails.
    Received Receive(std::uint8_t* buf, std::size_t room, int timeout_ms);

    // Writes what the line takes now: the count (0 when it is full), or -1
    // with `error` set to the reason.
    std::ptrdiff_t Send(const std::uint8_t* bytes, std::size_t size, std::string& error);

    // Waits up to `timeout_ms` for room to write.
    void WaitWritable(int timeout_ms);

    // Lets go of the port; on a pty the port vanishes (an unplug).
    void Close();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A symlink PATH -> target, replacing whatever PATH was, removed again on
// destruction if it still points where we set it. Only where the line can
// unplug (a pty's name changes on each plug); elsewhere it throws.
class Symlink {
public:
    Symlink() = default;
    // Throws std::runtime_error with the cause.
    Symlink(std::string path, const std::string& target);
    Symlink(Symlink&& other) noexcept;
    Symlink& operator=(Symlink&& other) noexcept;
    Symlink(const Symlink&) = delete;
    Symlink& operator=(const Symlink&) = delete;
    ~Symlink();

    const std::string& path() const { return path_; }

private:
    void Remove();
    std::string path_;
    std::string target_;
};

// Ends the run cleanly (links removed) on Ctrl+C and termination requests.
void CatchStopSignals();

}  // namespace tools::sim
