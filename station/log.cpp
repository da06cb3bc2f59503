// JSON lines for the run log.
#include "station/log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "station/host.h"
#include "tools/text/json.h"
#include "tools/text/time.h"

namespace station {

std::string JsonString(std::string_view text) { return text::JsonString(text, text::JsonPolicy::Utf8); }

std::string IsoUtc(std::chrono::system_clock::time_point at) { return text::IsoUtc(at); }

std::string JsonLine(const RunRecord& r) {
  const double seconds = std::chrono::duration<double>(r.end - r.start).count();
  char duration[32];
  std::snprintf(duration, sizeof(duration), "%.3f", seconds);
  std::string line = "{";
  line += "\"start\":" + JsonString(IsoUtc(r.start));
  line += ",\"end\":" + JsonString(IsoUtc(r.end));
  line += ",\"port\":" + JsonString(r.port);
  line += ",\"hardware_id\":" + JsonString(r.hardwareId);
  line += ",\"serial\":" + JsonString(r.serial);
  line += ",\"script_size\":" + std::to_string(r.scriptSize);
  line += ",\"script_sha256\":" + JsonString(r.scriptSha256);
  line += ",\"baud\":" + JsonString(r.baud);
  line += ",\"result\":" + JsonString(r.result);
  line += ",\"exit_code\":" + std::to_string(r.exitCode);
  line += ",\"payload_bytes\":" + std::to_string(r.payloadBytes);
  line += ",\"duration_s\":" + std::string(duration);
  line += "}";
  return line;
}

std::unique_ptr<RunLog> RunLog::Open(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    *error = "opening the log " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<RunLog>(new RunLog(file, path));
}

RunLog::~RunLog() {
  // Every line was flushed when written; nothing is left to lose here.
  std::fclose(file_);
}

bool RunLog::Append(const RunRecord& record, std::string* error) {
  const std::string line = JsonLine(record) + "\n";
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0 ||
      !SyncToDisk(file_)) {
    *error = "writing the log " + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace station
