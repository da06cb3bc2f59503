// Programs, scripts, the simulator and the runner for the end-to-end tests.
#include "tests/cli/e2e_fixture.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <stdexcept>

#include "tools/script_format.h"

namespace vantrel::e2e {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string FromEnv(const char* name, const char* built) {
    const char* v = std::getenv(name);
    return v && *v ? v : built;
}

// Runs between fork and exec: only async-signal-safe calls. As root, exec
// refills the permitted set from the bounding set, so that is the set to
// narrow; the bypasses are then gone in the new program.
int DropFileOverride() {
    if (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0)
        return errno;
    if (::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0)
        return errno;
    return 0;
}

std::optional<int> StatusUnlessKilledAtLimit(const tools::process::ExitStatus& end) {
    if (end.timed_out)
        return std::nullopt;
    return end.shell_code();
}

}  // namespace

std::string CliExe() { return FromEnv("VANTREL_CLI_EXE", VANTREL_CLI_EXE); }
std::string SimExe() { return FromEnv("VANTREL_SIM_EXE", VANTREL_SIM_EXE); }
std::string ScriptExe() { return FromEnv("VANTREL_SCRIPT_EXE", VANTREL_SCRIPT_EXE); }

std::string BuildScript(const tools::testing::TempDir& dir, const std::string& description) {
    const std::string text = dir.path("script.txt");
    const std::string out = dir.path("upgrader.asc");
    tools::testing::WriteText(text, description);
    const auto r = tools::testing::RunTool({ScriptExe(), "build", text, out}, 10s);
    if (r.status != 0) {
        throw std::runtime_error("vantrel-script build failed (" + std::to_string(r.status) + "): " + r.output);
    }
    return out;
}

std::uint64_t SendPayloadBytes(const std::string& script_path) {
    const auto data = tools::ReadFileBytes(script_path);
    const auto script = tools::ParseScript(data);
    std::uint64_t total = 0;
    for (const auto& r : script.records) {
        if (r.command == tools::CMD_SEND_F1 || r.command == tools::CMD_SEND_F2)
            total += r.payload.size();
    }
    return total;
}

Simulator::Simulator(const std::string& script_path, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {SimExe(), "--script", script_path, "--idle-timeout-s", "30"};
    argv.insert(argv.end(), args.begin(), args.end());
    tools::process::Options options;
    options.error_output = tools::process::Options::ErrorOutput::Merge;
    child_ = std::make_unique<tools::process::Child>(argv, options);
    auto line = child_->ReadLineStartingWith("port: ", 5s);
    if (!line) {
        child_->Wait(1s);
        throw std::runtime_error("vantrel-sim gave no port line: " + output());
    }
    port_ = line->text.substr(6);
}

std::optional<int> Simulator::Finish(std::chrono::milliseconds timeout) {
    return StatusUnlessKilledAtLimit(child_->Wait(timeout));
}

std::optional<std::string> Simulator::ReadLineStartingWith(const std::string& prefix,
                                                           std::chrono::milliseconds timeout) {
    auto line = child_->ReadLineStartingWith(prefix, timeout);
    if (!line)
        return std::nullopt;
    return std::move(line->text);
}

std::optional<SimSummary> Simulator::summary() const {
    static const std::regex kLine(R"(sim: records=(\d+) payload_bytes=(\d+) mismatches=(\d+) faults=(\d+))");
    std::smatch m;
    const std::string& out = output();
    std::optional<SimSummary> last;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), kLine); it != std::sregex_iterator(); ++it) {
        m = *it;
        last =
            SimSummary{std::stoul(m[1]), std::stoull(m[2]), std::stoull(m[3]), static_cast<unsigned>(std::stoul(m[4]))};
    }
    return last;
}

bool Simulator::SawHostOpen() const { return output().find("host opened the port") != std::string::npos; }

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos)
            nl = text.size();
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return lines;
}

std::string CliResult::result() const {
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->rfind("result: ", 0) == 0)
            return it->substr(8);
    }
    return {};
}

std::unique_ptr<tools::process::Child> StartCli(const std::vector<std::string>& args, const CliOptions& options) {
    std::vector<std::string> argv = {CliExe()};
    argv.insert(argv.end(), args.begin(), args.end());
    tools::process::Options o;
    o.cwd = options.cwd;
    if (options.without_file_override) {
        o.before_exec = DropFileOverride;
        o.before_exec_step = "dropping the file-permission bypass";
    }
    return std::make_unique<tools::process::Child>(argv, o);
}

CliResult FinishCli(tools::process::Child& cli, Clock::time_point started, std::chrono::milliseconds timeout) {
    CliResult r;
    r.exit = StatusUnlessKilledAtLimit(cli.Wait(timeout));
    r.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    r.out = cli.text(tools::process::Stream::Out);
    r.err = cli.text(tools::process::Stream::Err);
    r.lines = SplitLines(r.out);
    return r;
}

CliResult RunCli(const std::string& cwd, const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                 CliOptions options) {
    options.cwd = cwd;
    const auto started = Clock::now();
    const auto cli = StartCli(args, options);
    return FinishCli(*cli, started, timeout);
}

bool CanRunWithoutFileOverride() {
    if (::geteuid() != 0)
        return true;
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(DropFileOverride() == 0 ? 0 : 1);
    if (pid < 0)
        return false;
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace vantrel::e2e
