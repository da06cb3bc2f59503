// Statistics, process CPU time and the machine's description; see measure.h.
#include "bench/measure.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vantrel::bench {

std::int64_t Percentile(std::vector<std::int64_t> values, double p) {
    if (values.empty())
        throw std::invalid_argument("percentile of no values");
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(std::clamp(p, 0.0, 100.0) / 100.0 * static_cast<double>(values.size()));
    const std::size_t at = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
    return values[std::min(at, values.size() - 1)];
}

std::optional<std::uint64_t> CpuTicksFromStat(const std::string& stat_line) {
    const auto close = stat_line.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat_line.substr(close + 1));
    // After the name: state (3), ppid (4) ... utime is field 14, stime 15.
    std::string field;
    std::uint64_t utime = 0, stime = 0;
    for (int n = 3; n <= 13; ++n) {
        if (!(fields >> field))
            return std::nullopt;
    }
    if (!(fields >> utime >> stime))
        return std::nullopt;
    return utime + stime;
}

std::optional<std::uint64_t> CpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return std::nullopt;
    return CpuTicksFromStat(line);
}

std::vector<std::pair<pid_t, std::uint64_t>> ThreadCpuNs(pid_t pid) {
    std::error_code ec;
    std::vector<std::pair<pid_t, std::uint64_t>> out;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(task.path() / "schedstat");
        std::uint64_t ns = 0;
        if (in >> ns)
            out.emplace_back(static_cast<pid_t>(std::stol(task.path().filename().string())), ns);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<std::uint64_t> CpuNs(pid_t pid) {
    const auto threads = ThreadCpuNs(pid);
    if (threads.empty())
        return std::nullopt;
    std::uint64_t total = 0;
    for (const auto& [tid, ns] : threads)
        total += ns;
    return total;
}

Machine DescribeMachine() {
    Machine m;
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    m.cpus = n > 0 ? static_cast<unsigned>(n) : 0;
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos)
                m.cpu_model = line.substr(line.find_first_not_of(" \t", colon + 1));
            break;
        }
    }
    if (m.cpu_model.empty())
        m.cpu_model = "unknown";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", &local);
    m.date = date;
    utsname u{};
    if (::uname(&u) == 0)
        m.kernel = std::string(u.sysname) + " " + u.release;
    std::ifstream loadavg("/proc/loadavg");
    std::string a, b, c;
    if (loadavg >> a >> b >> c)
        m.load = a + " " + b + " " + c;
    return m;
}

}  // namespace vantrel::bench
