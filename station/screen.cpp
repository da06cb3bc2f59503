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

class EventLines : public Screen {
 public:
  explicit EventLines(std::FILE* out) : out_(out) {}

  void Event(const RunEvent& e) override {
    if (e.kind == RunEvent::Kind::Start) {
      Print("start: " + ScreenText(e.port) + " serial=" + Serial(e.serial));
    } else {
      Print("progress: " + ScreenText(e.port) + " " + std::to_string(e.pos) + "/" + std::to_string(e.max));
    }
  }

  void End(const RunRecord& r) override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(r.end - r.start);
    Print("end: " + ScreenText(r.port) + " " + ScreenText(r.result) + " exit=" + std::to_string(r.exitCode) +
          " seconds=" + Seconds(ms) + " bytes=" + std::to_string(r.payloadBytes));
  }

  void Refresh(const std::vector<TerminalRow>&, const std::string&, bool) override {}

  void Summary(const std::vector<TerminalRow>&, const std::string& totals) override { Print("summary: " + totals); }

  void Note(const std::string& text) override { Print("note: " + ScreenText(text)); }

 private:
  void Print(const std::string& line) {
    std::fputs((line + "\n").c_str(), out_);
    std::fflush(out_);
  }
  std::FILE* out_;
};

class LiveTable : public Screen {
 public:
  explicit LiveTable(std::FILE* out) : out_(out) {}

  void Event(const RunEvent&) override {}
  void End(const RunRecord&) override {}

  void Refresh(const std::vector<TerminalRow>& rows, const std::string& totals, bool force) override {
    const auto now = Steady::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(200)) return;
    lastDraw_ = now;
    Draw(rows, totals);
  }

  void Summary(const std::vector<TerminalRow>& rows, const std::string& totals) override {
    Draw(rows, totals);
    std::fputs(("summary: " + totals + "\n").c_str(), out_);
    std::fflush(out_);
  }

  void Note(const std::string& text) override { note_ = ScreenText(text); }

 private:
  void Draw(const std::vector<TerminalRow>& rows, const std::string& totals) {
    // Home, then each line cleared to its end, then the rest of the screen
    // cleared: redrawn in place without flicker.
    std::string frame = "\x1b[H";
    const auto line = [&](const std::string& text) { frame += text + "\x1b[K\n"; };
    line("vantrel-station   " + totals);
    line(note_);
    line(Column("PORT", 16) + Column("SERIAL", 24) + Column("STATE", 10) + Column("PROG", 6) +
         Column("ELAPSED", 10) + "LAST RESULT");
    for (const TerminalRow& r : rows) {
      line(Column(ScreenText(r.port), 16) + Column(Serial(r.serial), 24) + Column(r.state, 10) +
           Column(std::to_string(r.percent) + "%", 6) + Column(Seconds(r.elapsed), 10) +
           (r.lastResult.empty() ? "-" : ScreenText(r.lastResult)));
    }
    if (rows.empty()) line("(waiting for terminals)");
    frame += "\x1b[J";
    std::fputs(frame.c_str(), out_);
    std::fflush(out_);
  }

  std::FILE* out_;
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
    if (chars == room) break;
    out.append(escaped, at, length);
    at += length;
    ++chars;
  }
  out.append(width - chars, ' ');
  return out;
}

std::unique_ptr<Screen> MakeEventLines(std::FILE* out) { return std::make_unique<EventLines>(out); }
std::unique_ptr<Screen> MakeLiveTable(std::FILE* out) { return std::make_unique<LiveTable>(out); }

}  // namespace station
