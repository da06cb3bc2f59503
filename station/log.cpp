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
    line += ",\"location\":" + JsonString(r.location);
    line += ",\"slot\":" + JsonString(r.slot);
    line += ",\"hardware_id\":" + JsonString(r.hardwareId);
    line += ",\"serial\":" + JsonString(r.serial);
    line += ",\"script_size\":" + std::to_string(r.scriptSize);
    line += ",\"script_sha256\":" + JsonString(r.scriptSha256);
    line += ",\"baud\":" + JsonString(r.baud);
    line += ",\"result\":" + JsonString(r.result);
    line += ",\"exit_code\":" + std::to_string(r.exitCode);
    line += ",\"payload_bytes\":" + std::to_string(r.payloadBytes);
    line += ",\"duration_s\":" + std::string(duration);
    line += ",\"attempt\":" + std::to_string(r.attempt);
    line += std::string(",\"duplicate_serial\":") + (r.duplicateSerial ? "true" : "false");
    line += ",\"cause\":" + JsonString(r.cause);
    line += "}";
    return line;
}

std::unique_ptr<RunLog> RunLog::Open(const std::string& path, std::string* error) {
    auto file = AppendFile::Open(path, "log", error);
    if (!file)
        return nullptr;
    return std::unique_ptr<RunLog>(new RunLog(std::move(file), path));
}

bool RunLog::Append(const RunRecord& record, std::string* error) { return AppendLine(JsonLine(record), error); }

bool RunLog::AppendLine(const std::string& line, std::string* error) {
    waiting_.push_back(line);
    return Flush(error);
}

bool RunLog::Flush(std::string* error) {
    while (!waiting_.empty()) {
        if (!file_->Follow(error))
            return false;
        // A fragment of a line (a full disk, a crash mid-write) is closed with a
        // newline of its own, so the next record starts on a line of its own.
        if (!file_->EndsWithNewline() && !file_->Write("\n", error))
            return false;
        if (!file_->Write(waiting_.front() + "\n", error))
            return false;
        waiting_.pop_front();
    }
    return true;
}

std::string RunLog::Tail(std::size_t bytes) {
    std::string tail, ignored;
    if (!file_->ReadTail(bytes, &tail, &ignored))
        return {};
    return tail;
}

}  // namespace station
