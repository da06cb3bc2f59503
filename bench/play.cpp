// Runs of a host against the simulator; see play.h.
#include "bench/play.h"

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <thread>

#include "bench/measure.h"
#include "tools/process/child.h"
#include "tools/script/description.h"
#include "tools/script_format.h"

namespace vantrel::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using tools::process::Child;
using tools::process::ExitStatus;

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteScript(const fs::path& dir, const std::string& description) {
    fs::create_directories(dir);
    tools::WriteFileBytes((dir / "upgrader.asc").string(), tools::BuildScript(description));
}

// A child started in `cwd` (empty: ours) with its stderr in a file.
tools::process::Options ErrorsTo(const std::string& cwd, const fs::path& file) {
    tools::process::Options o;
    o.cwd = cwd;
    o.error_output = tools::process::Options::ErrorOutput::File;
    o.error_path = file.string();
    return o;
}

// An end as one number: the exit code, 128 + a signal, or -1 when it had to
// be killed at the limit.
int Status(const ExitStatus& end) { return end.timed_out ? -1 : end.shell_code(); }

std::unique_ptr<Child> StartSimulator(const std::string& sim_path, const fs::path& dir, std::string& port) {
    auto sim = std::make_unique<Child>(
        std::vector<std::string>{sim_path, "--script", (dir / "upgrader.asc").string(), "--timing",
                                 (dir / "timing.txt").string(), "--quiet", "--idle-timeout-s", "60"},
        ErrorsTo("", dir / "sim.err"));
    const auto line = sim->ReadLineStartingWith("port: ", 5s);
    if (!line)
        throw std::runtime_error("vantrel-sim gave no port: " + ReadAll(dir / "sim.err"));
    port = line->text.substr(6);
    return sim;
}

// Checks the simulator's summary: every byte arrived and matched.
std::uint64_t CheckSummary(const Child& sim, int status, const fs::path& dir) {
    static const std::regex kLine(R"(records=(\d+) payload_bytes=(\d+) mismatches=(\d+))");
    std::smatch m;
    const std::string& out = sim.text(tools::process::Stream::Out);
    if (!std::regex_search(out, m, kLine))
        throw std::runtime_error("vantrel-sim printed no summary: " + out);
    if (status != 0 || m[3] != "0") {
        throw std::runtime_error("vantrel-sim: exit " + std::to_string(status) + ": " + out + ReadAll(dir / "sim.err"));
    }
    return std::stoull(m[2]);
}

double ChildrenCpuSeconds() {
    rusage u{};
    if (::getrusage(RUSAGE_CHILDREN, &u) != 0)
        throw std::runtime_error(std::string("getrusage: ") + std::strerror(errno));
    auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return s(u.ru_utime) + s(u.ru_stime);
}

std::unique_ptr<Child> StartHost(const Host& host, const fs::path& dir, const std::string& port) {
    tools::process::Options o = ErrorsTo(dir.string(), dir / (host.name + ".err"));
    std::vector<std::string> argv{host.program, "--port", port};
    const std::string stages = (dir / "stages.txt").string();
    if (host.stages == Host::Stages::Environment)
        o.env.emplace_back("VANTREL_STAGE_TRACE", stages);
    if (host.stages == Host::Stages::Argument)
        argv.insert(argv.end(), {"--stages", stages});
    return std::make_unique<Child>(argv, o);
}

}  // namespace

WorkDir::WorkDir(bool keep) : keep_(keep) {
    std::string pattern = (fs::temp_directory_path() / "vantrel-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = pattern;
}

WorkDir::~WorkDir() {
    std::error_code ec;
    if (!keep_)
        fs::remove_all(path_, ec);
}

Played Play(const std::string& sim_path, const Host& host, const fs::path& dir, const std::string& description,
            std::chrono::seconds limit) {
    WriteScript(dir, description);
    std::string port;
    auto sim = StartSimulator(sim_path, dir, port);
    const auto start = Clock::now();
    auto child = StartHost(host, dir, port);
    // Only this child is reaped between the two readings (the simulator is
    // reaped after), so their difference is its CPU time.
    const double cpu_before = ChildrenCpuSeconds();
    const ExitStatus end = child->Wait(limit);
    const double cpu_after = ChildrenCpuSeconds();
    Played p;
    p.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
    p.cpu_s = cpu_after - cpu_before;
    if (end.timed_out || end.shell_code() != 0) {
        throw std::runtime_error(
            host.name + " " + (end.timed_out ? std::string("hung") : "exit " + std::to_string(end.shell_code())) +
            ":\n" + child->text(tools::process::Stream::Out) + ReadAll(dir / (host.name + ".err")));
    }
    p.payload_bytes = CheckSummary(*sim, Status(sim->Wait(10s)), dir);
    p.timing = tools::sim::ReadTimingFile((dir / "timing.txt").string());
    if (host.stages != Host::Stages::None)
        p.stages = ReadStageTrace((dir / "stages.txt").string());
    return p;
}

namespace {

// Reads a running child's CPU over `seconds`, starting half a second from now.
IdleCpu ReadIdle(pid_t pid, unsigned seconds) {
    std::this_thread::sleep_for(500ms);
    const long hz = ::sysconf(_SC_CLK_TCK);
    const auto t0 = Clock::now();
    const auto ticks0 = CpuTicks(pid);
    const auto ns0 = CpuNs(pid);
    const auto threads0 = ThreadCpuNs(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto ticks1 = CpuTicks(pid);
    const auto ns1 = CpuNs(pid);
    const auto threads1 = ThreadCpuNs(pid);
    const auto t1 = Clock::now();
    if (!ticks0 || !ticks1)
        throw std::runtime_error("cannot read /proc/" + std::to_string(pid) + "/stat");
    IdleCpu r;
    r.seconds = std::chrono::duration<double>(t1 - t0).count();
    r.tick_ms = static_cast<double>(*ticks1 - *ticks0) * 1000.0 / static_cast<double>(hz);
    if (ns0 && ns1)
        r.sched_ms = static_cast<double>(*ns1 - *ns0) / 1e6;
    for (const auto& [tid, ns] : threads1) {
        for (const auto& [tid0, ns_before] : threads0) {
            if (tid0 == tid)
                r.thread_ms.push_back(static_cast<double>(ns - ns_before) / 1e6);
        }
    }
    return r;
}

}  // namespace

IdleCpu MeasureWakeFloor(const std::string& reference, unsigned every_ms, unsigned seconds) {
    Child floor({reference, "--wake-every", std::to_string(every_ms), "--for", std::to_string(seconds + 2)});
    const IdleCpu r = ReadIdle(floor.pid(), seconds);
    if (Status(floor.Wait(std::chrono::seconds(10))) != 0) {
        throw std::runtime_error("the reference host's --wake-every failed: " +
                                 floor.text(tools::process::Stream::Err));
    }
    return r;
}

IdleCpu MeasureIdle(const std::string& sim_path, const Host& host, const fs::path& dir, unsigned seconds) {
    WriteScript(dir, "open\ndelay " + std::to_string(seconds + 2) + "\nclose\n");
    std::string port;
    auto sim = StartSimulator(sim_path, dir, port);
    auto child = StartHost(host, dir, port);
    if (!child->ReadLineStartingWith("status: ready loader!", 5s)) {
        throw std::runtime_error(host.name + " did not reach the pause: " + child->text(tools::process::Stream::Out) +
                                 ReadAll(dir / (host.name + ".err")));
    }
    // Past the record's own work, well inside the pause.
    const IdleCpu r = ReadIdle(child->pid(), seconds);
    if (Status(child->Wait(std::chrono::seconds(seconds + 10))) != 0) {
        throw std::runtime_error(host.name + " failed the pause run: " + child->text(tools::process::Stream::Out) +
                                 ReadAll(dir / (host.name + ".err")));
    }
    sim->Wait(10s);
    return r;
}

}  // namespace vantrel::bench
