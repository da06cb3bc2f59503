// Playing an upgrade script from the terminal's side; see terminal.h.
#include "tools/simulator/terminal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "tools/simulator/reply_plan.h"

namespace tools::sim {

namespace {

using std::chrono::milliseconds;
using Clock = Timeline::Clock;

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// How often waits look at the stop flag and at the port's open state.
constexpr milliseconds kPollSlice{20};

std::string Hex(std::span<const std::uint8_t> bytes, std::size_t max = 24) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        out += b;
    }
    if (bytes.size() > max)
        out += " ...";
    return out;
}

int SliceMs(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
    return static_cast<int>(std::clamp(left, milliseconds(0), kPollSlice).count());
}

void Nap(Clock::time_point until) {
    const int ms = SliceMs(until);
    if (ms > 0)
        std::this_thread::sleep_for(milliseconds(std::min(ms, 5)));
}

}  // namespace

void RequestStop() { g_stop.store(true); }

Terminal::Terminal(std::span<const std::uint8_t> data, Options options, std::ostream& out)
    : data_(data), options_(std::move(options)), out_(out) {}

void Terminal::Say(const std::string& line, bool always) {
    if (!options_.quiet || always)
        out_ << "sim: " << line << std::endl;
}

std::string Terminal::Where(const Record& r) const {
    return "record " + std::to_string(r.index) + " (" + CommandLabel(r.command) + " at offset " +
           std::to_string(r.offset) + ")";
}

void Terminal::Plug(const std::string& link_path) {
    line_ = Line::Open(options_.line);
    host_open_ = false;
    if (!link_path.empty()) {
        if (link_path == options_.link_path) {
            // Drop the old link first: the new pty may reuse the old slave's
            // name, and the old link's cleanup would then remove the new one.
            link_ = Symlink();
            link_ = Symlink(link_path, line_.name());
        } else {
            replug_link_.emplace(link_path, line_.name());
        }
    }
    // The host learns the port from this line, so it goes out at once, and
    // only once the link (if any) is in place.
    out_ << "port: " << line_.name() << std::endl;
    if (!link_path.empty())
        Say("link " + link_path + " -> " + line_.name());
    if (const std::string note = line_.note(); !note.empty())
        Say(note, true);
}

void Terminal::ReportUnexpected(const Record* r, std::span<const std::uint8_t> bytes) {
    Say(std::to_string(bytes.size()) + " unexpected byte(s) from the host " +
            (r ? "during " + Where(*r) : std::string("after the last record")) + ": " + Hex(bytes),
        true);
}

unsigned Terminal::DelayOf(const Record& r) {
    if (auto s = DelaySeconds(r))
        return *s;
    // The upgrader takes the delay from the two bytes after the record head
    // whatever the length says; follow it so the timeline stays right.
    unsigned s = 0;
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t at = r.offset + kRecordHeadSize + i;
        s = s * 256u + (at < data_.size() ? data_[at] : 0u);
    }
    Say(Where(r) + ": delay payload is " + std::to_string(r.payload.size()) + " byte(s); the upgrader reads " +
            std::to_string(s) + " s from the bytes after it",
        true);
    return s;
}

Terminal::Wait Terminal::Idle(const Record* r, Clock::time_point until, bool need_open) {
    std::uint8_t buf[4096];
    for (;;) {
        if (g_stop.load())
            return Wait::Interrupted;
        if (Clock::now() >= until)
            return Wait::Done;
        const Received got = line_.Receive(buf, sizeof buf, SliceMs(until));
        if (got.bytes > 0) {
            ReportUnexpected(r, {buf, got.bytes});
            continue;
        }
        if (got.hangup) {
            if (host_open_) {
                host_open_ = false;
                if (need_open)
                    return Wait::HostClosed;
                Say("host closed the port");
            }
            Nap(until);  // a hung-up master polls ready at once
        } else if (!host_open_) {
            host_open_ = true;
            Say("host opened the port");
        }
    }
}

Terminal::Wait Terminal::WaitHostOpen() {
    const auto until = Clock::now() + std::chrono::seconds(options_.idle_timeout_s);
    while (Clock::now() < until) {
        if (g_stop.load())
            return Wait::Interrupted;
        if (line_.HostHasOpened()) {
            // Seen twice a moment apart: a loaded machine can show the master a
            // passing state while the pair settles, and an unplug acted on a
            // false open would take the port away before the host ever opens it.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (line_.HostHasOpened()) {
                host_open_ = true;
                return Wait::Done;
            }
        }
        Nap(until);
    }
    return Wait::TimedOut;
}

Terminal::Wait Terminal::WaitHostClose(const Record* r) {
    if (!line_.SeesHost()) {
        // Nothing would ever show the close: the upgrader is taken to have
        // closed when the script says so, and to open again at its next open.
        host_open_ = false;
        return Wait::Done;
    }
    const auto until = Clock::now() + std::chrono::seconds(options_.idle_timeout_s);
    std::uint8_t buf[4096];
    while (Clock::now() < until) {
        if (g_stop.load())
            return Wait::Interrupted;
        // Bytes the host wrote before closing stay readable after the close.
        const Received got = line_.Receive(buf, sizeof buf, SliceMs(until));
        if (got.bytes > 0) {
            ReportUnexpected(r, {buf, got.bytes});
            continue;
        }
        if (got.hangup) {
            host_open_ = false;
            return Wait::Done;
        }
    }
    return Wait::TimedOut;
}

Terminal::Wait Terminal::ReadPayload(const Record& r, std::vector<std::uint8_t>& got) {
    const std::size_t want = r.payload.size();
    auto until = Clock::now() + std::chrono::seconds(options_.idle_timeout_s);
    got.clear();
    while (got.size() < want) {
        if (g_stop.load())
            return Wait::Interrupted;
        if (Clock::now() >= until)
            return Wait::TimedOut;
        std::uint8_t buf[4096];
        const std::size_t room = std::min(sizeof buf, want - got.size());
        const Received in = line_.Receive(buf, room, SliceMs(until));
        if (in.bytes > 0) {
            if (got.empty() && !options_.timing_path.empty()) {
                timing_.PayloadFirstByte(r.index, r.command, TimingLog::NowNs());
            }
            got.insert(got.end(), buf, buf + in.bytes);
            until = Clock::now() + std::chrono::seconds(options_.idle_timeout_s);
            continue;
        }
        if (in.hangup) {
            host_open_ = false;
            return Wait::HostClosed;
        }
    }
    return Wait::Done;
}

bool Terminal::WriteAll(std::span<const std::uint8_t> bytes) {
    const auto until = Clock::now() + std::chrono::seconds(5);
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::string error;
        const std::ptrdiff_t n = line_.Send(bytes.data() + done, bytes.size() - done, error);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0) {
            Say("writing to " + line_.noun() + ": " + error, true);
            return false;
        }
        if (Clock::now() >= until) {
            Say("writing to " + line_.noun() + ": the host has not read for 5 s", true);
            return false;
        }
        line_.WaitWritable(SliceMs(until));
    }
    return true;
}

Terminal::Wait Terminal::SendReply(const Record& r) {
    const ReplyPlan plan = PlanReply(r.command, FaultsFor(options_.faults, r.index));
    summary_.faults += plan.faults_applied;
    const milliseconds timeout = r.command == CMD_WAIT ? kWaitTimeout : kReplyTimeout;
    if (!plan.send) {
        Say(Where(r) + ": no reply (fault)");
        timeline_.ReplyRefused(Clock::now(), timeout);
        return Wait::Done;
    }
    if (plan.delay_ms > 0) {
        const Wait w = Idle(&r, Clock::now() + milliseconds(plan.delay_ms), true);
        if (w != Wait::Done)
            return w;
    }
    if (!host_open_) {
        // A real line drops what is sent while nobody listens; a pty would keep
        // it for the next open and spoil the next reply.
        Say(Where(r) + ": the port is closed; reply not sent", true);
        timeline_.ReplyRefused(Clock::now(), timeout);
        return Wait::Done;
    }
    const std::size_t piece = plan.piece ? plan.piece : std::max<std::size_t>(plan.bytes.size(), 1);
    for (std::size_t at = 0; at < plan.bytes.size(); at += piece) {
        if (at > 0 && plan.gap_ms > 0) {
            const Wait w = Idle(&r, Clock::now() + milliseconds(plan.gap_ms), true);
            if (w != Wait::Done)
                return w;
        }
        const std::size_t n = std::min(piece, plan.bytes.size() - at);
        if (!WriteAll(std::span(plan.bytes).subspan(at, n)))
            return Wait::HostClosed;
    }
    if (!options_.timing_path.empty() && !plan.bytes.empty()) {
        timing_.ReplyLastByte(r.index, r.command, TimingLog::NowNs());
    }
    if (plan.accepted) {
        timeline_.ReplyAccepted(Clock::now());
    } else {
        timeline_.ReplyRefused(Clock::now(), timeout);
    }
    Say(Where(r) + ": replied " + std::to_string(plan.bytes.size()) + " byte(s): " + Hex(plan.bytes));
    return Wait::Done;
}

bool Terminal::Failed(Wait w, const Record* r, const char* doing) {
    const std::string where = r ? " during " + Where(*r) : std::string(" after the last record");
    switch (w) {
        case Wait::Done:
            return false;
        case Wait::HostClosed:
            Say("host closed the port" + where + " while " + doing, true);
            break;
        case Wait::TimedOut:
            Say("nothing happened for " + std::to_string(options_.idle_timeout_s) + " s" + where + " while " + doing,
                true);
            break;
        case Wait::Interrupted:
            Say(std::string("interrupted") + where, true);
            break;
    }
    return true;
}

Summary Terminal::Run() {
    summary_ = Summary{};
    timing_ = TimingLog{};
    Plug(options_.link_path);
    timeline_ = Timeline(Clock::now());

    auto finish = [&]() {
        char line[160];
        std::snprintf(line, sizeof line, "records=%zu payload_bytes=%llu mismatches=%llu faults=%u", summary_.records,
                      static_cast<unsigned long long>(summary_.payload_bytes),
                      static_cast<unsigned long long>(summary_.mismatches), summary_.faults);
        Say(line, true);
        if (!options_.timing_path.empty())
            timing_.WriteFile(options_.timing_path);
        return summary_;
    };

    ScriptReader reader(data_);
    bool stopped_by_script = false;
    while (auto rec = reader.Next()) {
        const Record& r = *rec;
        const auto faults = FaultsFor(options_.faults, r.index);
        for (const Fault& f : faults) {
            if (f.kind == FaultKind::Unplug) {
                ++summary_.faults;
                Say(Where(r) + ": unplugged (fault " + f.text + ")", true);
                line_.Close();
                summary_.unplugged = true;
                return finish();
            }
            if (f.kind == FaultKind::Stall) {
                ++summary_.faults;
                Say(Where(r) + ": reads nothing for " + std::to_string(f.value) + " ms (fault " + f.text + ")", true);
                // A stalled terminal's input fills up and the host's writes block:
                // nothing is read here, not even to see a close.
                const auto until = Clock::now() + milliseconds(f.value);
                while (Clock::now() < until && !g_stop.load())
                    std::this_thread::sleep_for(milliseconds(10));
            }
            if (f.kind == FaultKind::Replug) {
                ++summary_.faults;
                Say(Where(r) + ": unplugged and plugged in again (fault " + f.text + ")", true);
                line_.Close();
                Plug(f.path);
            }
        }

        const auto take = timeline_.NextTake();
        const auto margin = milliseconds(options_.wait_reply_ms);
        switch (r.command) {
            case CMD_OPEN_PORT: {
                if (Failed(WaitHostOpen(), &r, "waiting for the host to open the port"))
                    return finish();
                timeline_.PortOpened(Clock::now());
                Say(Where(r) + ": host opened the port");
                break;
            }
            case CMD_CLOSE_PORT: {
                if (Failed(WaitHostClose(&r), &r, "waiting for the host to close the port")) {
                    return finish();
                }
                timeline_.PortClosed(Clock::now());
                Say(Where(r) + ": host closed the port");
                break;
            }
            case CMD_DELAY: {
                const unsigned seconds = DelayOf(r);
                for (const Fault& f : faults) {
                    if (f.kind != FaultKind::NoiseDuringDelay)
                        continue;
                    ++summary_.faults;
                    // Halfway through the pause: the upgrader has surely taken the
                    // record and not yet the next one.
                    const auto at = take + milliseconds(seconds * 500u);
                    if (Failed(Idle(&r, at, host_open_), &r, "pausing"))
                        return finish();
                    if (!host_open_) {
                        Say(Where(r) + ": the port is closed; noise not sent", true);
                        continue;
                    }
                    const std::vector<std::uint8_t> noise(f.value, kNoiseByte);
                    if (!WriteAll(noise))
                        return finish();
                    Say(Where(r) + ": sent " + std::to_string(f.value) + " noise byte(s) (fault)");
                }
                for (const Fault& f : faults) {
                    if (f.kind != FaultKind::UnplugDuringDelay)
                        continue;
                    ++summary_.faults;
                    // Halfway through the pause, as for the noise: the upgrader waits
                    // with nothing to send and nothing to read.
                    if (Failed(Idle(&r, take + milliseconds(seconds * 500u), host_open_), &r, "pausing"))
                        return finish();
                    Say(Where(r) + ": unplugged halfway through the pause (fault " + f.text + ")", true);
                    line_.Close();
                    summary_.unplugged = true;
                    return finish();
                }
                timeline_.Delay(seconds);
                Say(Where(r) + ": the upgrader pauses " + std::to_string(seconds) + " s");
                break;
            }
            case CMD_WAIT: {
                if (Failed(Idle(&r, take + margin, host_open_), &r, "waiting to answer"))
                    return finish();
                if (Failed(SendReply(r), &r, "answering"))
                    return finish();
                break;
            }
            case CMD_SEND_F1:
            case CMD_SEND_F2: {
                if (!host_open_ && Failed(WaitHostOpen(), &r, "waiting for the host to open the port")) {
                    return finish();
                }
                if (r.payload.empty()) {
                    // Nothing to read proves the upgrader has taken the record, so
                    // answer only after its take, as for CMD_WAIT.
                    if (Failed(Idle(&r, take + margin, true), &r, "waiting to answer"))
                        return finish();
                } else {
                    std::vector<std::uint8_t> got;
                    if (Failed(ReadPayload(r, got), &r, "reading the payload"))
                        return finish();
                    summary_.payload_bytes += got.size();
                    std::size_t differ = 0, first = 0;
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        if (got[i] != r.payload[i] && differ++ == 0)
                            first = i;
                    }
                    if (differ > 0) {
                        summary_.mismatches += differ;
                        char detail[96];
                        std::snprintf(detail, sizeof detail, ", first at payload offset %zu (got %02X, want %02X)",
                                      first, got[first], r.payload[first]);
                        Say(Where(r) + ": payload mismatch: " + std::to_string(differ) + " of " +
                                std::to_string(got.size()) + " byte(s) differ" + detail,
                            true);
                    } else {
                        Say(Where(r) + ": payload of " + std::to_string(got.size()) + " byte(s) matches");
                    }
                }
                if (Failed(SendReply(r), &r, "answering"))
                    return finish();
                break;
            }
            default:
                Say(Where(r) + ": unknown command; the upgrader ends its run here", true);
                stopped_by_script = true;
                break;
        }
        if (stopped_by_script)
            break;
        ++summary_.records;
    }
    if (!stopped_by_script && reader.problem()) {
        Say("script damage: " + reader.problem()->message + "; the upgrader stops here", true);
    }

    // The upgrader closes the port after its last record.
    if (Failed(WaitHostClose(nullptr), nullptr, "waiting for the host to close the port")) {
        return finish();
    }
    summary_.complete = true;
    return finish();
}

int Terminal::ExitStatus(const Summary& s) const {
    if (s.unplugged) {
        if (!options_.expect_unplug)
            return kExitUnplugged;
        return s.mismatches ? kExitMismatch : kExitOk;
    }
    if (!s.complete)
        return kExitIncomplete;
    return s.mismatches ? kExitMismatch : kExitOk;
}

}  // namespace tools::sim
