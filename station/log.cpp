// JSON lines for the run log.
#include "station/log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "station/host.h"
#include "station/utf8.h"

namespace station {

std::string JsonString(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    char32_t code = 0;
    std::size_t length = 1;
    if (!DecodeUtf8(text, at, &code, &length)) {
      out += "\\ufffd";
      at += 1;
      continue;
    }
    switch (code) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (code < 0x20 || code == 0x7F) {
          out += "\\u00";
          out += kHex[code >> 4];
          out += kHex[code & 15];
        } else {
          out.append(text.substr(at, length));
        }
    }
    at += length;
  }
  out += '"';
  return out;
}

std::string IsoUtc(std::chrono::system_clock::time_point at) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  UtcTime(seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
  return text;
}

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
