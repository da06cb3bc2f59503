// The station's operating-system part on Linux (POSIX): the children are
// tools::process::Child, a listed port is present while its /dev node
// exists.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "station/host.h"
#include "tools/process/child.h"

namespace station {
namespace {

using tools::process::Child;

class PosixChild : public RunChild {
 public:
  explicit PosixChild(std::unique_ptr<Child> child) : child_(std::move(child)) {}
  ~PosixChild() override = default;  // a child still running is killed and reaped

  std::optional<std::string> TakeLine() override {
    // stderr carries the child's causes and traces; it is read so the pipe
    // never fills, and dropped.
    while (child_->TakeLine(tools::process::Stream::Err)) {
    }
    auto line = child_->TakeLine(tools::process::Stream::Out);
    if (!line) return std::nullopt;
    return std::move(line->text);
  }

  std::optional<ChildEnd> End() override {
    const auto& status = child_->exit_status();
    if (!status || !child_->ended(tools::process::Stream::Out) || !child_->ended(tools::process::Stream::Err))
      return std::nullopt;
    return ChildEnd{status->code, status->signal};
  }

  void Stop() override { child_->Signal(SIGTERM); }
  void Kill() override { child_->Signal(SIGKILL); }

  Child& child() { return *child_; }

 private:
  std::unique_ptr<Child> child_;
};

std::atomic<bool>* g_stopFlag = nullptr;

extern "C" void OnStopSignal(int) {
  if (g_stopFlag != nullptr) g_stopFlag->store(true);
}

}  // namespace

std::unique_ptr<RunChild> RunChild::Start(const std::vector<std::string>& argv, const std::string& cwd,
                                          std::string* error) {
  tools::process::Options options;
  options.cwd = cwd;
  options.error_output = tools::process::Options::ErrorOutput::Pipe;
  try {
    return std::make_unique<PosixChild>(std::make_unique<Child>(argv, options));
  } catch (const std::exception& e) {
    *error = e.what();
    return nullptr;
  }
}

void WaitForChildren(std::span<RunChild* const> children, std::chrono::milliseconds timeout) {
  std::vector<Child*> all;
  for (RunChild* c : children) all.push_back(&static_cast<PosixChild*>(c)->child());
  if (all.empty()) {
    std::this_thread::sleep_for(timeout);
    return;
  }
  tools::process::PumpAll(all, timeout);
}

bool ListedPortPresent(const std::string& port) {
  const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

std::string ExecutableDir() {
  std::error_code ignored;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ignored);
  return ignored ? std::string() : self.parent_path().string();
}

std::string CliFileName() { return "vantrel-cli"; }

std::string MakePrivateFolder(std::string* error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel-station.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {  // mode 0700
    *error = "making a private folder " + pattern + ": " + std::strerror(errno);
    return {};
  }
  return pattern;
}

void RemoveFolder(const std::string& path) {
  std::error_code ignored;  // what cannot be removed stays in the temporary folder
  std::filesystem::remove_all(path, ignored);
}

bool SyncToDisk(std::FILE* file) { return ::fsync(::fileno(file)) == 0 || errno == EINVAL; }

void UtcTime(std::time_t seconds, std::tm* out) { ::gmtime_r(&seconds, out); }

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void EnableTerminalSequences() {}

unsigned ProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void CatchStopSignals(std::atomic<bool>* flag) {
  g_stopFlag = flag;
  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace station
