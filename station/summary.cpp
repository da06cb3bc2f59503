// Session totals.
#include "station/summary.h"

#include <cstdio>

#include "station/host.h"

namespace station {

void Summary::Add(const RunRecord& r, bool retrying) {
    ++runs_;
    if (!r.success && retrying)
        ++retried_;
    if (r.success)
        ++successes_;
    bytes_ += r.payloadBytes;
    ++byResult_[r.result];
}

double Summary::TerminalsPerHour(std::chrono::steady_clock::time_point now) const {
    const double hours = std::chrono::duration<double>(now - since_).count() / 3600.0;
    return hours > 0 ? successes_ / hours : 0.0;
}

std::string Summary::Text(std::chrono::steady_clock::time_point now) const {
    std::string text = "runs=" + std::to_string(runs_);
    if (byResult_.count("success") == 0)
        text += " success=0";
    for (const auto& [word, n] : byResult_)
        text += " " + word + "=" + std::to_string(n);
    char rate[64];
    std::snprintf(rate, sizeof(rate), " terminals/h=%.1f", TerminalsPerHour(now));
    char cpu[64];
    std::snprintf(cpu, sizeof(cpu), " station_cpu_s=%.3f", ProcessCpuSeconds());
    return text + rate + " bytes=" + std::to_string(bytes_) + cpu;
}

int Summary::ExitCode(bool interrupted) const {
    if (interrupted)
        return 130;
    return failures() == retried_ ? 0 : 1;
}

}  // namespace station
