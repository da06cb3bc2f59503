// The two outputs of a run for stdout that are not JSON: the contract lines
// (stdout is a file or a pipe; byte for byte what scripts have always read)
// and the progress line a person watches in a terminal, redrawn in place
// with "\r" and "erase to end of line" (ESC [ K).
//
// The drawn line never grows past the terminal's last column: a line that
// wraps can no longer be redrawn by a carriage return. Widths are counted in
// terminal cells (the tool's Chinese status texts take two a character).
#include <algorithm>
#include <cstring>

#include "cli/escape.h"
#include "cli/events.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr auto kClockEvery = std::chrono::seconds(1);
constexpr int kBarCells = 20;
constexpr int kColumnsForBar = 110;

class Lines : public Events {
public:
    Lines(std::FILE* out, std::function<std::string(const std::wstring&)> toUtf8)
        : out_(out), toUtf8_(std::move(toUtf8)) {}

    // A control character in a text (a port name a device or a user chose)
    // is escaped: a line break in it would forge a line of the contract.
    // Every other text is the same bytes as ever.
    void Text(const char* tag, const std::wstring& text) override {
        std::fprintf(out_, "%s: %s\n", tag, toUtf8_(Printable(text)).c_str());
        std::fflush(out_);
    }
    void Progress(long long position, long long total) override {
        std::fprintf(out_, "progress: %lld/%lld\n", position, total);
        std::fflush(out_);
    }
    void Result(const char* word, int) override {
        std::fprintf(out_, "result: %s\n", word);
        std::fflush(out_);
    }

private:
    std::FILE* out_;
    std::function<std::string(const std::wstring&)> toUtf8_;
};

// Terminal cells a character takes: two for the East Asian wide ranges.
int Cells(wchar_t c) {
    const auto u = static_cast<unsigned long>(c);
    if ((u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF) || (u >= 0xAC00 && u <= 0xD7A3) ||
        (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
        (u >= 0xFFE0 && u <= 0xFFE6) || (u >= 0x20000 && u <= 0x3FFFD))
        return 2;
    return 1;
}

std::wstring Fit(const std::wstring& text, int cells) {
    std::wstring out;
    int used = 0;
    for (wchar_t c : text) {
        const int w = Cells(c);
        if (used + w > cells)
            break;
        out += c;
        used += w;
    }
    return out;
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string Grouped(long long n) {
    std::string digits = std::to_string(n < 0 ? -n : n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return n < 0 ? "-" + digits : digits;
}

std::string Duration(double seconds) {
    if (seconds < 0)
        return "--:--";
    const long long s = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

class Terminal : public Events {
public:
    Terminal(std::FILE* out, int columns, SteadyNow now, std::function<std::string(const std::wstring&)> toUtf8)
        : out_(out),
          columns_(std::max(columns, 20)),
          now_(std::move(now)),
          toUtf8_(std::move(toUtf8)),
          start_(now_()) {}

    void Text(const char* tag, const std::wstring& text) override {
        if (std::strcmp(tag, "status") == 0) {
            status_ = Printable(text);
            drawing_ = true;
            Draw(false);
            return;
        }
        MakeWay();
        Write(Widen(tag) + L": " + Printable(text) + L"\n");
        if (drawing_)
            Draw(true);
    }

    void Progress(long long position, long long total) override {
        const Clock::time_point now = now_();
        const bool first = !counting_;
        if (first || position < firstPosition_) {
            firstAt_ = now;
            firstPosition_ = position;
        }
        counting_ = true;
        drawing_ = true;
        lastProgressAt_ = now;
        position_ = position;
        total_ = total;
        // The first figures and the last are always shown.
        Draw(first || position == total);
    }

    void Tick() override {
        // A change held back by the redraw limit is drawn now; otherwise
        // the clock is brought up to date once a second.
        const auto since = now_() - lastDraw_;
        if (drawing_ && ((pending_ && since >= kRedrawEvery) || since >= kClockEvery))
            Draw(true);
    }

    void MakeWay() override {
        if (!onLine_)
            return;
        Write(L"\r\x1b[K");
        onLine_ = false;
    }

    void Result(const char* word, int exitCode) override {
        if (drawing_)
            Draw(true);
        if (onLine_)
            Write(L"\n");
        onLine_ = false;
        Write(L"result: " + Widen(word) + L", " + Widen(ResultInWords(word)) + L" (exit code " +
              std::to_wstring(exitCode) + L")\n");
    }

private:
    // The line as drawn now, without the control sequences.
    std::wstring Line() const {
        const Clock::time_point now = now_();
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        std::string line;
        if (counting_) {
            // The rate up to the last progress: it does not decay in a pause
            // or after the end.
            const double sending = std::chrono::duration<double>(lastProgressAt_ - firstAt_).count();
            const long long sent = position_ - firstPosition_;
            const double rate = sending >= 0.2 && sent > 0 ? static_cast<double>(sent) / sending : 0;
            const int percent = total_ > 0 ? static_cast<int>(position_ * 100 / total_) : 0;
            const double left = position_ >= total_ ? 0
                                : rate > 0          ? static_cast<double>(total_ - position_) / rate
                                                    : -1;
            if (columns_ >= kColumnsForBar) {
                const int filled = total_ > 0 ? static_cast<int>(position_ * kBarCells / total_) : 0;
                line += "[" + std::string(static_cast<size_t>(filled), '#') +
                        std::string(static_cast<size_t>(kBarCells - filled), '-') + "] ";
            }
            char figures[160];
            std::snprintf(figures, sizeof figures, "%3d%%  %s/%s bytes  ", percent, Grouped(position_).c_str(),
                          Grouped(total_).c_str());
            line += figures;
            if (rate > 0)
                std::snprintf(figures, sizeof figures, "%.1f KiB/s", rate / 1024);
            else
                std::snprintf(figures, sizeof figures, "-- KiB/s");
            line += figures;
            line += "  " + Duration(elapsed) + " elapsed  " + Duration(left) + " left";
        } else {
            line += Duration(elapsed) + " elapsed";
        }
        std::wstring wide = Widen(line);
        if (!status_.empty())
            wide += L"  " + status_;
        // The last column stays free: writing there makes some terminals wrap.
        return Fit(wide, columns_ - 1);
    }

    void Draw(bool force) {
        const Clock::time_point now = now_();
        if (!force && onLine_ && now - lastDraw_ < kRedrawEvery) {
            pending_ = true;
            return;
        }
        pending_ = false;
        lastDraw_ = now;
        Write(L"\r" + Line() + L"\x1b[K");
        onLine_ = true;
    }

    void Write(const std::wstring& text) {
        const std::string bytes = toUtf8_(text);
        std::fwrite(bytes.data(), 1, bytes.size(), out_);
        std::fflush(out_);
    }

    std::FILE* out_;
    int columns_;
    SteadyNow now_;
    std::function<std::string(const std::wstring&)> toUtf8_;
    Clock::time_point start_;
    Clock::time_point firstAt_{};
    Clock::time_point lastDraw_{};
    Clock::time_point lastProgressAt_{};
    long long firstPosition_ = 0;
    long long position_ = 0;
    long long total_ = 0;
    std::wstring status_;
    bool counting_ = false;  // a progress event came
    bool drawing_ = false;   // the line is in use (a status or progress came)
    bool onLine_ = false;
    bool pending_ = false;  // a change not drawn yet (the redraw limit)
};

}  // namespace

std::unique_ptr<Events> LineEvents(std::FILE* out, std::function<std::string(const std::wstring&)> toUtf8) {
    return std::make_unique<Lines>(out, std::move(toUtf8));
}

std::unique_ptr<Events> TerminalEvents(std::FILE* out, int columns, SteadyNow now,
                                       std::function<std::string(const std::wstring&)> toUtf8) {
    return std::make_unique<Terminal>(out, columns, std::move(now), std::move(toUtf8));
}

std::string ResultInWords(const std::string& word) {
    static const struct {
        const char* word;
        const char* words;
    } kWords[] = {
        {"success", "the terminal was upgraded"},
        {"no-script", "no upgrade script upgrader.asc could be read in the current directory"},
        {"port-open-failed", "the port could not be opened"},
        {"wait-timeout", "no terminal appeared within 15 s"},
        {"reply-timeout", "the terminal stopped answering"},
        {"format1-refused", "the terminal refused the script (format 1)"},
        {"format2-refused", "the terminal refused the script (format 2)"},
        {"bad-command", "the script holds a command the upgrader does not know"},
        {"malformed-script", "the script is damaged"},
        {"write-failed", "writing to the port failed"},
        {"interrupted", "stopped before the end"},
    };
    for (const auto& w : kWords)
        if (word == w.word)
            return w.words;
    return word;
}

}  // namespace cli
