// The station's operating-system part on Windows: children made with
// CreateProcessW and read by one thread each, listed ports looked up in the
// DOS device namespace, the console's control events for stopping.
//
// Stopping: a run's vantrel-cli shares the station's console and process
// group, so the Ctrl+C an operator presses reaches every run, and each stops
// as a confirmed "STOP?" would (its SIGINT handler). When the station
// itself decides to stop (a close event), it sends that Ctrl+C to the
// console group once. Windows has no other way to deliver one to a single
// child; a child that must end at once is terminated.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include "station/host.h"

namespace station {
namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// One argument quoted the way the C runtime's command-line parser reads it
// back: backslashes doubled only before a quote.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    line.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    line += c;
  }
  line.append(slashes * 2, L'\\');
  line += L'"';
}

// Set by every reader when it takes bytes or reaches the end of its pipe.
HANDLE DataEvent() {
  static HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

struct Handle {
  HANDLE h = nullptr;
  Handle() = default;
  explicit Handle(HANDLE handle) : h(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

class WindowsChild : public RunChild {
 public:
  WindowsChild(HANDLE process, HANDLE readEnd) : process_(process), pipe_(readEnd) {
    reader_ = std::thread([this] { Read(); });
  }
  ~WindowsChild() override {
    if (WaitForSingleObject(process_.h, 0) == WAIT_TIMEOUT) TerminateProcess(process_.h, 1);
    // The pipe ends with the child, which ends the reader.
    reader_.join();
  }

  std::optional<std::string> TakeLine() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
  }

  std::optional<ChildEnd> End() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ended_ || !lines_.empty()) return std::nullopt;
    }
    if (WaitForSingleObject(process_.h, 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_.h, &code);
    return ChildEnd{static_cast<int>(code), 0};
  }

  void Stop() override {
    static bool sent = false;
    if (!sent) {
      sent = true;
      GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    }
  }

  void Kill() override { TerminateProcess(process_.h, 137); }

 private:
  void Read() {
    char buffer[4096];
    std::string partial;
    DWORD n = 0;
    while (ReadFile(pipe_.h, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      partial.append(buffer, n);
      size_t at = 0;
      for (size_t nl; (nl = partial.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = partial.substr(at, nl - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back(std::move(line));
      }
      partial.erase(0, at);
      SetEvent(DataEvent());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!partial.empty()) lines_.push_back(partial);
    ended_ = true;
    SetEvent(DataEvent());
  }

  Handle process_;
  Handle pipe_;
  std::thread reader_;
  std::mutex mutex_;
  std::deque<std::string> lines_;
  bool ended_ = false;
};

std::atomic<bool>* g_stopFlag = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    if (g_stopFlag != nullptr) g_stopFlag->store(true);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

std::unique_ptr<RunChild> RunChild::Start(const std::vector<std::string>& argv, const std::string& cwd,
                                          std::string* error) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    *error = "running " + argv[0] + ": making a pipe failed (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  Handle read(readEnd), write(writeEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  Handle null(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                          OPEN_EXISTING, 0, nullptr));
  std::wstring line;
  for (const auto& a : argv) AppendQuoted(line, Wide(a));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null.h;
  startup.hStdOutput = writeEnd;
  startup.hStdError = null.h;
  PROCESS_INFORMATION info{};
  const std::wstring folder = Wide(cwd);
  if (!CreateProcessW(Wide(argv[0]).c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    *error = "running " + argv[0] + ": CreateProcess failed (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  CloseHandle(info.hThread);
  read.h = nullptr;  // handed to the child object
  return std::make_unique<WindowsChild>(info.hProcess, readEnd);
}

void WaitForChildren(std::span<RunChild* const> /*children*/, std::chrono::milliseconds timeout) {
  WaitForSingleObject(DataEvent(), static_cast<DWORD>(timeout.count()));
}

bool ListedPortPresent(const std::string& port) {
  std::wstring name = Wide(port);
  if (name.rfind(L"\\\\.\\", 0) == 0) name.erase(0, 4);
  wchar_t target[512];
  if (QueryDosDeviceW(name.c_str(), target, 512) != 0) return true;
  // Wine names a COM port in its device namespace only when it finds it at
  // start; a port linked later (dosdevices/comN) is still reachable by its
  // path, so it is asked for without any access (no read, no write). On
  // Windows the namespace answer is complete and this is not reached for a
  // present port. A port in use by a run answers "access denied": present.
  HANDLE h = CreateFileW((L"\\\\.\\" + name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return true;
  }
  const DWORD why = GetLastError();
  return why == ERROR_ACCESS_DENIED || why == ERROR_SHARING_VIOLATION;
}

std::string ExecutableDir() {
  wchar_t path[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  if (n == 0 || n >= MAX_PATH * 4) return {};
  return Narrow(std::filesystem::path(path).parent_path().wstring());
}

std::string CliFileName() { return "vantrel-cli.exe"; }

std::string MakePrivateFolder(std::string* error) {
  // The user's temporary folder is the user's own; the new folder inherits
  // its access list.
  wchar_t temp[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, temp) == 0) {
    *error = "finding the temporary folder failed (error " + std::to_string(GetLastError()) + ")";
    return {};
  }
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring folder = std::wstring(temp) + L"vantrel-station." + std::to_wstring(GetCurrentProcessId()) +
                                L"." + std::to_wstring(GetTickCount64() + attempt);
    if (CreateDirectoryW(folder.c_str(), nullptr)) return Narrow(folder);
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = "making a private folder in " + Narrow(temp) + " failed (error " + std::to_string(GetLastError()) + ")";
      return {};
    }
  }
  *error = "making a private folder: every name taken";
  return {};
}

void RemoveFolder(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(Wide(path)), ignored);
}

bool SyncToDisk(std::FILE* file) {
  return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FALSE;
}

void UtcTime(std::time_t seconds, std::tm* out) { gmtime_s(out, &seconds); }

bool StdoutIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

void EnableTerminalSequences() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  SetConsoleOutputCP(CP_UTF8);
}

unsigned ProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  const auto seconds = [](const FILETIME& t) {
    return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

void CatchStopSignals(std::atomic<bool>* flag) {
  g_stopFlag = flag;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace station
