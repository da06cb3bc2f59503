// vantrel-bench-reference: the smallest host that plays an upgrade script,
// the yardstick vantrel-bench measures vantrel-cli against in the same run.
//
//   vantrel-bench-reference --port PATH [--script FILE] [--stages FILE]
//   vantrel-bench-reference --wake-every MS --for SECONDS
//
// It reads the script (default upgrader.asc in the current directory) with
// the tools' own reader and plays it over the port the way a minimal C
// program would: raw termios, blocking writes, and for each reply one
// blocking poll followed by the read, on one thread. Open and close records
// open and close the port, a delay sleeps, a wait or a send waits for its
// reply (12 bytes for format 1, 5 for format 2) and checks its status byte.
// No trace, no progress, no timers beyond the reply timeout and the
// upgrader's second after a close. With --stages
// it keeps the same time stamps as vantrel-cli's stage trace (poll returned
// with the reply: "seen"; read; write) in memory and writes them at the end,
// so that the bench can set the two hosts' stages side by side.
//
// The second form is the floor of an idle wait: it only wakes every MS
// milliseconds for SECONDS, so that the bench can set the CPU that such
// wake-ups cost on this machine, now, beside vantrel-cli's idle figure.
//
// Exit status: 0 the script was played, 1 a reply was missing or refused,
// or the port failed (the reason on stderr), 2 usage or an unreadable script.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/script_format.h"
#include "tools/usage/program.h"

namespace {

struct Stamp {
    const char* name;
    std::int64_t ns;
    std::size_t count;
};
std::vector<Stamp>* g_stamps = nullptr;  // null: not asked for

void Mark(const char* name, std::size_t count) {
    if (g_stamps == nullptr)
        return;
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    g_stamps->push_back(Stamp{name, ns, count});
}

constexpr int kReplyTimeoutMs = 5000;  // the upgrader's reply timeout
constexpr std::size_t kFormat1Reply = 12;
constexpr std::size_t kFormat2Reply = 5;

std::runtime_error Failure(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

class Port {
public:
    explicit Port(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (fd_ < 0)
            throw Failure("opening " + path);
        termios t{};
        if (::tcgetattr(fd_, &t) != 0)
            throw Failure("reading the line settings of " + path);
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(fd_, TCSANOW, &t) != 0)
            throw Failure("setting " + path + " raw");
    }
    ~Port() { ::close(fd_); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    void Write(std::span<const std::uint8_t> bytes) {
        Mark("write", bytes.size());
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw Failure("writing the payload");
            done += static_cast<std::size_t>(n);
        }
        Mark("write_done", done);
    }

    // One blocking poll for the reply, then the read; more only when the
    // reply comes in pieces.
    std::vector<std::uint8_t> Reply(std::size_t size) {
        std::vector<std::uint8_t> got(size);
        std::size_t have = 0;
        while (have < size) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, kReplyTimeoutMs);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                throw Failure("waiting for the reply");
            if (ready == 0)
                throw std::runtime_error("no reply within 5 s");
            Mark("seen", 1);
            Mark("read", size - have);
            const ssize_t n = ::read(fd_, got.data() + have, size - have);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw Failure("reading the reply");
            have += static_cast<std::size_t>(n);
            Mark("read_done", static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    int fd_;
};

void Play(const std::vector<std::uint8_t>& data, const std::string& path) {
    const tools::Script script = tools::ParseScript(data);
    if (!script.sound())
        throw std::invalid_argument(script.problems.front().message);
    std::unique_ptr<Port> port;
    auto open_port = [&]() -> Port& {
        if (!port)
            throw std::runtime_error("a record needs the port, which is not open");
        return *port;
    };
    for (const tools::Record& r : script.records) {
        switch (r.command) {
            case tools::CMD_OPEN_PORT:
                port.reset();
                port = std::make_unique<Port>(path);
                break;
            case tools::CMD_CLOSE_PORT:
                port.reset();
                // The upgrader takes the next record a second after a close; the
                // terminal counts on that pause to see the port closed before it
                // is opened again.
                std::this_thread::sleep_for(std::chrono::seconds(1));
                break;
            case tools::CMD_DELAY:
                std::this_thread::sleep_for(std::chrono::seconds(tools::DelaySeconds(r).value_or(0)));
                break;
            case tools::CMD_WAIT:
            case tools::CMD_SEND_F1: {
                Port& p = open_port();
                if (r.command == tools::CMD_SEND_F1)
                    p.Write(r.payload);
                if (p.Reply(kFormat1Reply)[6] != 0)
                    throw std::runtime_error("record " + std::to_string(r.index) + " refused");
                break;
            }
            case tools::CMD_SEND_F2: {
                Port& p = open_port();
                p.Write(r.payload);
                if (p.Reply(kFormat2Reply)[3] != '$')
                    throw std::runtime_error("record " + std::to_string(r.index) + " refused");
                break;
            }
            default:
                throw std::runtime_error("record " + std::to_string(r.index) + ": unknown command");
        }
    }
}

const usage::Program& ReferenceProgram() {
    static const usage::Program program{
        "vantrel-bench-reference",
        "the minimal host vantrel-bench measures vantrel-cli against",
        {"--port PATH [--script FILE] [--stages FILE]", "--wake-every MS --for SECONDS"},
        "Plays an upgrade script over a serial port with raw termios, blocking writes and one blocking poll "
        "per reply, on one thread. With --wake-every it only wakes every MS milliseconds for SECONDS: the "
        "floor of an idle bounded wait.",
        {
            {"--port", "PATH", "The port to open for the script's open records."},
            {"--script", "FILE", "The script to play (default upgrader.asc in the current directory)."},
            {"--stages", "FILE", "Write the time stamps of every poll, read and write to FILE at the end."},
            {"--wake-every", "MS", "Only wake every MS milliseconds; with --for."},
            {"--for", "SECONDS", "How long --wake-every runs."},
        },
        {
            {"0", "the script was played (or the wake-ups ran their time)"},
            {"1", "a reply was missing or refused, or the port failed (the cause is on stderr)"},
            {"2", "usage, or an unreadable or damaged script"},
        },
        {},
    };
    return program;
}

int Usage(const std::string& why) { return usage::UsageError(ReferenceProgram(), why); }

bool WriteStamps(const std::string& path) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr)
        return false;
    for (const Stamp& s : *g_stamps)
        std::fprintf(out, "%s %lld %zu\n", s.name, static_cast<long long>(s.ns), s.count);
    return std::fclose(out) == 0;
}

}  // namespace

int WakeEvery(const std::string& every, const std::string& seconds) {
    const int ms = std::atoi(every.c_str());
    const int total = std::atoi(seconds.c_str());
    if (ms < 1 || total < 1)
        return Usage("--wake-every and --for need positive numbers");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(total);
    while (std::chrono::steady_clock::now() < end)
        ::poll(nullptr, 0, ms);
    return 0;
}

int main(int argc, char** argv) {
    const usage::Scan scan = usage::ScanArguments(ReferenceProgram(), argc, argv);
    if (scan.action != usage::Action::kRun)
        return usage::Finish(ReferenceProgram(), scan);
    std::string port, stages, every, seconds;
    std::string script = "upgrader.asc";
    for (const usage::Arg& a : scan.args) {
        if (a.name == "--port")
            port = a.value;
        if (a.name == "--script")
            script = a.value;
        if (a.name == "--stages")
            stages = a.value;
        if (a.name == "--wake-every")
            every = a.value;
        if (a.name == "--for")
            seconds = a.value;
    }
    if (!every.empty() || !seconds.empty()) {
        if (!port.empty())
            return Usage("--wake-every plays no script: no --port with it");
        return WakeEvery(every, seconds);
    }
    if (port.empty())
        return Usage("--port is required");
    std::vector<std::uint8_t> data;
    try {
        data = tools::ReadFileBytes(script);
    } catch (const std::exception& e) {
        return Usage(e.what());
    }
    std::vector<Stamp> stamps;
    if (!stages.empty()) {
        stamps.reserve(1u << 16);
        g_stamps = &stamps;
    }
    try {
        Play(data, port);
    } catch (const std::invalid_argument& e) {
        return Usage(std::string("the script is damaged: ") + e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantrel-bench-reference: %s\n", e.what());
        return 1;
    }
    if (!stages.empty() && !WriteStamps(stages)) {
        std::fprintf(stderr, "vantrel-bench-reference: writing %s: %s\n", stages.c_str(), std::strerror(errno));
        return 1;
    }
    return 0;
}
