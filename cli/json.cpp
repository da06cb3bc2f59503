// --json: each event as one JSON object on its own line, with the wall-clock
// time it happened (UTC, milliseconds). Strings are escaped to plain ASCII
// (cli/escape.h), so a device name cannot break the line or the object.
#include <cstdio>

#include "cli/escape.h"
#include "cli/events.h"

namespace cli {

std::string JsonTimeStamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{ms - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

namespace {

class Json : public Events {
public:
    Json(std::FILE* out, WallNow now) : out_(out), now_(std::move(now)) {}

    void Text(const char* tag, const std::wstring& text) override {
        Emit(tag, ",\"text\":" + JsonString(text));
    }
    void Progress(long long position, long long total) override {
        Emit("progress", ",\"position\":" + std::to_string(position) + ",\"total\":" + std::to_string(total));
    }
    void Result(const char* word, int exitCode) override {
        Emit("result", ",\"result\":" + JsonString(std::string(word)) + ",\"exit\":" + std::to_string(exitCode));
    }

private:
    void Emit(const char* event, const std::string& fields) {
        const std::string line = "{\"time\":\"" + JsonTimeStamp(now_()) + "\",\"event\":" + JsonString(std::string(event)) +
                                 fields + "}\n";
        std::fwrite(line.data(), 1, line.size(), out_);
        std::fflush(out_);
    }

    std::FILE* out_;
    WallNow now_;
};

}  // namespace

std::unique_ptr<Events> JsonEvents(std::FILE* out, WallNow now) { return std::make_unique<Json>(out, std::move(now)); }

}  // namespace cli
