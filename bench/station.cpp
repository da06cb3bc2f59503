// vantrel-station-bench: how the station scales with terminals at once.
// 1, 2, 4 and 8 simulated terminals (vantrel-sim on ptys, served with
// --ports) each play the same 2 MiB script under one vantrel-station with
// as many jobs; the reference is one vantrel-cli run alone on one terminal,
// measured in the same invocation on the same machine. Printed: the
// station's wall time, its ratio to the reference, and the station's own
// CPU (from its summary line; its children are not counted).
//
// With --http-clients N, a second table: the largest count's runs with the
// web server on and N clients reading the event stream, against the same
// runs without the server, alternated --repeat times. There the station
// starts first and the terminals appear once the clients are connected;
// the wall time is from their appearance to the station's end, in both.
//
//   vantrel-station-bench [--counts 1,2,4,8] [--http-clients N [--repeat K]] [--station PATH] [--cli PATH] [--sim PATH]
//
// Each run includes the script's fixed waits (a second after opening and
// one after closing the port), as the reference does.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/measure.h"
#include "tools/process/child.h"
#include "tools/script/description.h"
#include "tools/script_format.h"
#include "tools/usage/program.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using tools::process::Child;

struct Settings {
    std::vector<unsigned> counts = {1, 2, 4, 8};
    std::string station = VANTREL_STATION_EXE;
    std::string cli = VANTREL_CLI_EXE;
    std::string sim = VANTREL_SIM_EXE;
    unsigned httpClients = 0;  // 0: no web table
    unsigned repeat = 3;
};

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "vantrel-station-bench.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::unique_ptr<Child> StartSim(const Settings& s, const fs::path& script, const fs::path& link) {
    tools::process::Options o;
    o.error_output = tools::process::Options::ErrorOutput::Merge;
    auto sim = std::make_unique<Child>(std::vector<std::string>{s.sim, "--script", script.string(), "--link",
                                                                link.string(), "--idle-timeout-s", "120", "--quiet"},
                                       o);
    if (!sim->ReadLineStartingWith("port: ", 5000ms))
        throw std::runtime_error("vantrel-sim gave no port line");
    return sim;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One vantrel-cli run alone on one terminal: the reference.
double CliAlone(const Settings& s, const fs::path& work, const fs::path& script) {
    auto sim = StartSim(s, script, work / "alone");
    const auto start = Clock::now();
    tools::process::Options o;
    o.cwd = work.string();
    Child cli({s.cli, "--port", (work / "alone").string()}, o);
    const auto end = cli.Wait(120000ms);
    const double wall = Seconds(end.at - start);
    if (end.timed_out || end.shell_code() != 0)
        throw std::runtime_error("the reference run failed");
    sim->Wait(5000ms);
    return wall;
}

struct StationRun {
    double wall_s = 0;
    double cpu_s = -1;
    bool all_succeeded = false;
};

// A finished station run: its wall time from start, whether every run
// succeeded, and the CPU the station reports in its summary line.
StationRun Measured(Child& station, const tools::process::ExitStatus& end, Clock::time_point start) {
    StationRun r;
    r.wall_s = Seconds(end.at - start);
    r.all_succeeded = !end.timed_out && end.shell_code() == 0;
    static const std::regex kCpu(R"(station_cpu_s=([0-9.]+))");
    std::smatch m;
    const std::string& out = station.text(tools::process::Stream::Out);
    if (std::regex_search(out, m, kCpu))
        r.cpu_s = std::stod(m[1]);
    if (!r.all_succeeded)
        std::fprintf(stderr, "vantrel-station (exit %d):\n%s", end.shell_code(), out.c_str());
    return r;
}

StationRun Station(const Settings& s, const fs::path& work, const fs::path& script, unsigned n) {
    std::vector<std::unique_ptr<Child>> sims;
    std::string ports;
    for (unsigned i = 0; i < n; ++i) {
        const fs::path link = work / ("line" + std::to_string(n) + "-" + std::to_string(i));
        sims.push_back(StartSim(s, script, link));
        ports += (i ? "," : "") + link.string();
    }
    const auto start = Clock::now();
    Child station({s.station, "--ports", ports, "--jobs", std::to_string(n), "--count", std::to_string(n), "--script",
                   script.string(), "--cli", s.cli});
    const auto end = station.Wait(300000ms);
    const StationRun r = Measured(station, end, start);
    for (auto& sim : sims)
        sim->Wait(5000ms);
    return r;
}

// A port nobody listens on now (bound and let go; the station binds it next).
unsigned FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    unsigned port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

int Connect(unsigned port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Clients on /api/v1/events, each on a thread of its own, reading until
// the station closes the stream; they count the events they were sent.
class EventClients {
public:
    EventClients(unsigned port, unsigned n) {
        for (unsigned k = 0; k < n; ++k) {
            const int fd = Connect(port);
            if (fd < 0)
                throw std::runtime_error("an event-stream client could not connect");
            const std::string head = "GET /api/v1/events HTTP/1.1\r\nHost: bench\r\n\r\n";
            if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size()))
                throw std::runtime_error("an event-stream client could not send its request");
            threads_.emplace_back([this, fd] { Read(fd); });
        }
    }
    ~EventClients() { Join(); }
    // Waits (bounded) for every client's first event: then all are served.
    bool AllStarted(std::chrono::milliseconds limit) const {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            if (started_.load() == threads_.size())
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    void Join() {
        for (auto& t : threads_)
            t.join();
        threads_.clear();
    }
    std::uint64_t events() const { return events_.load(); }

private:
    void Read(int fd) {
        std::string seen;
        bool first = true;
        // Bounded: the station closes the stream when it ends; 5 minutes at most.
        const auto end = Clock::now() + 300s;
        while (Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0)
                continue;
            char buf[16384];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            seen.append(buf, static_cast<std::size_t>(n));
            for (std::size_t at = seen.find("event: "); at != std::string::npos; at = seen.find("event: ", at + 1)) {
                ++events_;
                if (first) {
                    first = false;
                    ++started_;
                }
            }
            // Keep only a tail that may hold the start of a split "event: ".
            seen.erase(0, seen.size() > 8 ? seen.size() - 8 : 0);
            if (seen.find("event: ") != std::string::npos)
                seen.clear();
        }
        ::close(fd);
    }

    std::vector<std::thread> threads_;
    std::atomic<std::size_t> started_{0};
    std::atomic<std::uint64_t> events_{0};
};

// n runs under one station that is already up when the terminals appear:
// without the server (clients < 0), or serving with that many clients on
// the event stream.
StationRun StationWithClients(const Settings& s, const fs::path& work, const fs::path& script, unsigned n, int clients,
                              std::uint64_t* events) {
    static int round = 0;
    ++round;
    std::vector<fs::path> links;
    std::string ports;
    for (unsigned i = 0; i < n; ++i) {
        links.push_back(work / ("web" + std::to_string(round) + "-" + std::to_string(i)));
        ports += (i ? "," : "") + links.back().string();
    }
    std::vector<std::string> argv = {s.station, "--ports",         ports,      "--jobs",        std::to_string(n),
                                     "--count", std::to_string(n), "--script", script.string(), "--cli",
                                     s.cli};
    const unsigned port = clients >= 0 ? FreePort() : 0;
    if (clients >= 0) {
        argv.push_back("--http");
        argv.push_back("127.0.0.1:" + std::to_string(port));
    }
    Child station(argv);
    std::unique_ptr<EventClients> readers;
    if (clients >= 0) {
        // The server is up once a connection is taken.
        const auto end = Clock::now() + 10s;
        int fd = -1;
        while (fd < 0 && Clock::now() < end) {
            fd = Connect(port);
            if (fd < 0)
                std::this_thread::sleep_for(20ms);
        }
        if (fd < 0)
            throw std::runtime_error("vantrel-station --http does not listen");
        ::close(fd);
        readers = std::make_unique<EventClients>(port, static_cast<unsigned>(clients));
        if (!readers->AllStarted(10s))
            throw std::runtime_error("not every event-stream client was served");
    }
    std::vector<std::unique_ptr<Child>> sims;
    const auto start = Clock::now();
    for (const fs::path& link : links)
        sims.push_back(StartSim(s, script, link));
    const auto end = station.Wait(300000ms);
    const StationRun r = Measured(station, end, start);
    if (readers) {
        readers->Join();
        *events = readers->events();
    }
    for (auto& sim : sims)
        sim->Wait(5000ms);
    return r;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::vector<unsigned> ParseCounts(const std::string& text) {
    std::vector<unsigned> counts;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t comma = text.find(',', at);
        if (comma == std::string::npos)
            comma = text.size();
        counts.push_back(static_cast<unsigned>(std::stoul(text.substr(at, comma - at))));
        at = comma + 1;
    }
    return counts;
}

const usage::Program& StationBenchProgram() {
    static const usage::Program program{
        "vantrel-station-bench",
        "measure vantrel-station with several simulated terminals at once",
        {"[--counts LIST] [--http-clients N [--repeat K]] [--station PATH] [--cli PATH] [--sim PATH]"},
        "Builds a 2 MiB script, times one vantrel-cli run alone against the terminal simulator, then "
        "vantrel-station with 1, 2, 4 and 8 simulated terminals at once (--ports, as many jobs), each playing the "
        "same script, and prints each wall time beside the one alone, with the station's own CPU time.",
        {
            {"--counts", "LIST", "How many terminals at once, comma-separated (default 1,2,4,8)."},
            {"--http-clients", "N",
             "Then the largest count's runs with --http and N clients on the event stream, against the same runs "
             "without the server: wall time and the station's CPU, medians of --repeat rounds."},
            {"--repeat", "K", "Rounds of each with --http-clients, alternated (default 3)."},
            {"--station", "PATH", "The vantrel-station to measure (default: the one built with this bench)."},
            {"--cli", "PATH", "The vantrel-cli the runs use (default: the one built with this bench)."},
            {"--sim", "PATH", "The terminal simulator (default: the one built with this bench)."},
        },
        {
            {"0", "the table was printed"},
            {"1", "a program could not be run or measured"},
            {"2", "usage: an unknown option or a bad value"},
        },
        {},
    };
    return program;
}

int Run(int argc, char** argv) {
    Settings s;
    const usage::Scan scan = usage::ScanArguments(StationBenchProgram(), argc, argv);
    if (scan.action != usage::Action::kRun)
        return usage::Finish(StationBenchProgram(), scan);
    for (const usage::Arg& a : scan.args) {
        if (a.name == "--counts") {
            try {
                s.counts = ParseCounts(a.value);
            } catch (const std::exception&) {
                return usage::UsageError(StationBenchProgram(),
                                         "--counts: not a list of whole numbers '" + a.value + "'");
            }
            if (s.counts.empty())
                return usage::UsageError(StationBenchProgram(), "--counts: no count in '" + a.value + "'");
        } else if (a.name == "--http-clients" || a.name == "--repeat") {
            unsigned v = 0;
            try {
                v = static_cast<unsigned>(std::stoul(a.value));
            } catch (const std::exception&) {
                return usage::UsageError(StationBenchProgram(), a.name + ": not a whole number '" + a.value + "'");
            }
            if (v > 60 || (a.name == "--repeat" && v == 0))
                return usage::UsageError(
                    StationBenchProgram(),
                    a.name + ": from " + (a.name == "--repeat" ? "1" : "0") + " to 60, not '" + a.value + "'");
            (a.name == "--repeat" ? s.repeat : s.httpClients) = v;
        } else if (a.name == "--station") {
            s.station = a.value;
        } else if (a.name == "--cli") {
            s.cli = a.value;
        } else if (a.name == "--sim") {
            s.sim = a.value;
        }
    }
    TempFolder work;
    std::string big = "open\n";
    for (int i = 0; i < 32; ++i)
        big += "send1 65535\n";
    big += "send1 32\nclose\n";
    const fs::path script = work.path() / "upgrader.asc";
    tools::WriteFileBytes(script.string(), tools::BuildScript(big));

    const auto machine = vantrel::bench::DescribeMachine();
    std::printf("vantrel-station-bench, %s, %u cpus, %s, load %s\n", machine.date.c_str(), machine.cpus,
                machine.cpu_model.c_str(), machine.load.c_str());
    std::fprintf(stderr, "reference: vantrel-cli alone ...\n");
    const double alone = CliAlone(s, work.path(), script);
    std::printf("2 MiB script, one vantrel-cli alone: %.2f s\n\n", alone);
    std::printf(
        "| terminals at once | station wall time | / one alone | station CPU | station CPU / wall | all succeeded |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (unsigned n : s.counts) {
        std::fprintf(stderr, "%u at once ...\n", n);
        const StationRun r = Station(s, work.path(), script, n);
        std::printf("| %u | %.2f s | %.2fx | %.3f s | %.1f %% | %s |\n", n, r.wall_s, r.wall_s / alone, r.cpu_s,
                    r.cpu_s >= 0 ? 100.0 * r.cpu_s / r.wall_s : -1.0, r.all_succeeded ? "yes" : "NO");
        std::fflush(stdout);
    }
    if (s.httpClients == 0)
        return 0;

    const unsigned n = *std::max_element(s.counts.begin(), s.counts.end());
    std::vector<double> wallOff, wallOn, cpuOff, cpuOn;
    std::uint64_t events = 0, eventsSum = 0;
    bool ok = true;
    for (unsigned k = 0; k < s.repeat; ++k) {
        std::fprintf(stderr, "%u at once without the server, then with %u clients, round %u ...\n", n, s.httpClients,
                     k + 1);
        const StationRun off = StationWithClients(s, work.path(), script, n, -1, &events);
        const StationRun on = StationWithClients(s, work.path(), script, n, static_cast<int>(s.httpClients), &events);
        eventsSum += events;
        ok = ok && off.all_succeeded && on.all_succeeded;
        wallOff.push_back(off.wall_s);
        wallOn.push_back(on.wall_s);
        cpuOff.push_back(off.cpu_s);
        cpuOn.push_back(on.cpu_s);
    }
    const double wOff = Median(wallOff), wOn = Median(wallOn), cOff = Median(cpuOff), cOn = Median(cpuOn);
    std::printf(
        "\n%u terminals, the server with %u clients on the event stream against no server (median of %u; "
        "%.0f events per client per round)\n\n",
        n, s.httpClients, s.repeat, static_cast<double>(eventsSum) / s.repeat / s.httpClients);
    std::printf("| | wall time of the %u runs | station CPU | all succeeded |\n|---|---|---|---|\n", n);
    std::printf("| no server | %.2f s | %.3f s | %s |\n", wOff, cOff, ok ? "yes" : "NO");
    std::printf("| --http, %u clients | %.2f s | %.3f s | %s |\n", s.httpClients, wOn, cOn, ok ? "yes" : "NO");
    std::printf("| ratio | %.3fx | %.2fx | |\n", wOn / wOff, cOff > 0 ? cOn / cOff : 0.0);
    std::printf("each round's wall times, without / with:");
    for (unsigned k = 0; k < s.repeat; ++k)
        std::printf(" %.2f/%.2f", wallOff[k], wallOn[k]);
    std::printf("\n");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantrel-station-bench: %s\n", e.what());
        return 1;
    }
}
