// The live table and the event lines.
#include "station/screen.h"

#include <cstdio>

#include "tools/text/terminal.h"
#include "tools/text/utf8.h"

namespace station {
namespace {

using Steady = std::chrono::steady_clock;

std::string Seconds(std::chrono::milliseconds ms) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", ms.count() / 1000.0);
    return text;
}

std::string Serial(const std::string& serial) { return serial.empty() ? "-" : ScreenText(serial); }

// " location=1-1.4 slot=A1 attempt=2": what the run's line adds when there
// is something to say.
std::string Place(const std::string& location, const std::string& slot, unsigned attempt) {
    std::string text;
    if (!location.empty())
        text += " location=" + ScreenText(location);
    if (!slot.empty())
        text += " slot=" + ScreenText(slot);
    if (attempt > 1)
        text += " attempt=" + std::to_string(attempt);
    return text;
}

class EventLines : public Screen {
public:
    explicit EventLines(Output& out) : out_(out) {}

    void Event(const RunEvent& e) override {
        if (e.kind == RunEvent::Kind::Start) {
            out_.Line("start: " + ScreenText(e.port) + " serial=" + Serial(e.serial) +
                      Place(e.location, e.slot, e.attempt) + "\n");
        } else {
            out_.Progress(e.port, "progress: " + ScreenText(e.port) + " " + std::to_string(e.pos) + "/" +
                                      std::to_string(e.max) + "\n");
        }
    }

    void End(const RunRecord& r) override {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(r.end - r.start);
        std::string line = "end: " + ScreenText(r.port) + " " + ScreenText(r.result) +
                           " exit=" + std::to_string(r.exitCode) + " seconds=" + Seconds(ms) +
                           " bytes=" + std::to_string(r.payloadBytes) + Place(r.location, r.slot, r.attempt);
        if (r.duplicateSerial)
            line += " duplicate_serial";
        out_.Line(line + "\n");
    }

    void Refresh(const std::vector<TerminalRow>&, const std::string&, bool) override {}

    void Summary(const std::vector<TerminalRow>&, const std::string& totals) override {
        out_.Line("summary: " + totals + "\n");
    }

    void Note(const std::string& text) override { out_.Line("note: " + ScreenText(text) + "\n"); }

private:
    Output& out_;
};

class LiveTable : public Screen {
public:
    explicit LiveTable(Output& out) : out_(out) {}

    void Event(const RunEvent&) override {}
    void End(const RunRecord&) override {}

    void Refresh(const std::vector<TerminalRow>& rows, const std::string& totals, bool force) override {
        const auto now = Steady::now();
        if (!force && now - lastDraw_ < std::chrono::milliseconds(200))
            return;
        lastDraw_ = now;
        out_.Frame(Draw(rows, totals));
    }

    void Summary(const std::vector<TerminalRow>& rows, const std::string& totals) override {
        out_.Frame(Draw(rows, totals));
        out_.Line("summary: " + totals + "\n");
    }

    void Note(const std::string& text) override { note_ = ScreenText(text); }

private:
    std::string Draw(const std::vector<TerminalRow>& rows, const std::string& totals) const {
        // Home, then each line cleared to its end, then the rest of the screen
        // cleared: redrawn in place without flicker.
        std::string frame = "\x1b[H";
        const auto line = [&](const std::string& text) { frame += text + "\x1b[K\n"; };
        line("vantrel-station   " + totals);
        line(note_);
        line(Column("SLOT", 16) + Column("PORT", 14) + Column("SERIAL", 22) + Column("STATE", 11) + Column("PROG", 6) +
             Column("ELAPSED", 10) + Column("TRY", 5) + "LAST RESULT");
        for (const TerminalRow& r : rows) {
            const std::string slot = !r.label.empty() ? r.label : r.location;
            line(Column(slot.empty() ? "-" : ScreenText(slot), 16) +
                 Column(r.port.empty() ? "-" : ScreenText(r.port), 14) + Column(Serial(r.serial), 22) +
                 Column(r.state, 11) + Column(std::to_string(r.percent) + "%", 6) + Column(Seconds(r.elapsed), 10) +
                 Column(r.attempt == 0 ? "-" : std::to_string(r.attempt), 5) +
                 (r.lastResult.empty() ? "-" : ScreenText(r.lastResult)));
        }
        if (rows.empty())
            line("(waiting for terminals)");
        frame += "\x1b[J";
        return frame;
    }

    Output& out_;
    Steady::time_point lastDraw_{};
    std::string note_;
};

}  // namespace

std::string ScreenText(std::string_view text) { return text::TerminalText(text, text::TerminalStyle::Bytes); }

std::string Column(const std::string& escaped, std::size_t width) {
    // One place is kept free to separate the columns; a text cut short ends in "~".
    const std::size_t room = width > 0 ? width - 1 : 0;
    std::string out;
    std::size_t chars = 0;
    for (std::size_t at = 0; at < escaped.size();) {
        char32_t code = 0;
        std::size_t length = 1;
        text::DecodeUtf8(escaped, at, &code, &length);
        if (chars + 1 == room && at + length < escaped.size()) {
            out += "~";
            ++chars;
            break;
        }
        if (chars == room)
            break;
        out.append(escaped, at, length);
        at += length;
        ++chars;
    }
    out.append(width - chars, ' ');
    return out;
}

std::unique_ptr<Screen> MakeEventLines(Output& out) { return std::make_unique<EventLines>(out); }
std::unique_ptr<Screen> MakeLiveTable(Output& out) { return std::make_unique<LiveTable>(out); }

}  // namespace station
