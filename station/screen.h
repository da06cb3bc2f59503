// What the station shows on stdout: a live table redrawn in place when
// stdout is a terminal, otherwise one line per event in vantrel-cli's
// "tag: text" style (start:, progress:, end:, summary:). Device strings
// pass through ScreenText, so no control character or escape sequence of
// theirs reaches the terminal raw. Not here: the log file.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "station/output.h"
#include "station/record.h"
#include "station/runs.h"

namespace station {

// text made safe to print (tools/text/terminal.h, the Bytes style): valid
// printable UTF-8 kept; a backslash doubled; C0 controls, DEL and bytes
// outside valid UTF-8 as \xhh; C1 controls and the characters that reorder
// or hide text (bidi controls such as U+202E, zero-width characters) as
// \uhhhh, so a serial number cannot rearrange the table.
std::string ScreenText(std::string_view text);

// The first `width` characters of an escaped text, padded to `width`.
std::string Column(const std::string& escaped, std::size_t width);

class Screen {
public:
    virtual ~Screen() = default;
    virtual void Event(const RunEvent& event) = 0;
    virtual void End(const RunRecord& record) = 0;
    // The live table's chance to redraw; `totals` is the summary text so far.
    virtual void Refresh(const std::vector<TerminalRow>& rows, const std::string& totals, bool force) = 0;
    virtual void Summary(const std::vector<TerminalRow>& rows, const std::string& totals) = 0;
    // A line that is no event: "waiting for terminals", a log failure.
    virtual void Note(const std::string& text) = 0;
};

// Both write through out, which never blocks the caller.
std::unique_ptr<Screen> MakeEventLines(Output& out);
std::unique_ptr<Screen> MakeLiveTable(Output& out);

}  // namespace station
