// --json: each event as one JSON object on its own line, with the wall-clock
// time it happened (UTC, milliseconds). Strings are escaped to plain ASCII
// (cli/escape.h), so a device name cannot break the line or the object.
#include <cstdio>

#include "cli/escape.h"
#include "cli/events.h"
#include "tools/text/time.h"

namespace cli {

namespace {

class Json : public Events {
public:
    Json(std::FILE* out, WallNow now) : out_(out), now_(std::move(now)) {}

    void Text(const char* tag, const std::wstring& text) override { Emit(tag, ",\"text\":" + JsonString(text)); }
    void Progress(long long position, long long total) override {
        Emit("progress", ",\"position\":" + std::to_string(position) + ",\"total\":" + std::to_string(total));
    }
    void Result(const char* word, int exitCode) override {
        Emit("result", ",\"result\":" + JsonString(std::string(word)) + ",\"exit\":" + std::to_string(exitCode));
    }

private:
    void Emit(const char* event, const std::string& fields) {
        const std::string line =
            "{\"time\":\"" + text::IsoUtc(now_()) + "\",\"event\":" + JsonString(std::string(event)) + fields + "}\n";
        std::fwrite(line.data(), 1, line.size(), out_);
        std::fflush(out_);
    }

    std::FILE* out_;
    WallNow now_;
};

}  // namespace

std::unique_ptr<Events> JsonEvents(std::FILE* out, WallNow now) { return std::make_unique<Json>(out, std::move(now)); }

}  // namespace cli
