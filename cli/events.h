// Where a run's events go: the contract lines for scripts (stdout is not a
// terminal), one progress line redrawn in place for a person (stdout is a
// terminal), or one JSON object per event for programs (--json). The runner
// reports every event to one of these and knows nothing of the formats.
//
// Events: a text event with its tag ("connect", "status", "message", and
// for --list "port" and "terminal"), progress in script bytes, and the
// result word with its exit code. Texts arrive as the dialog shows them.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace cli {

class Events {
public:
    virtual ~Events() = default;
    virtual void Text(const char* tag, const std::wstring& text) = 0;
    virtual void Progress(long long position, long long total) = 0;
    virtual void Result(const char* word, int exitCode) = 0;
    // The run is waiting: a drawn line may bring its clock up to date.
    virtual void Tick() {}
    // Something else is about to write to the terminal (a cause on stderr):
    // a drawn line gets out of its way.
    virtual void MakeWay() {}
};

using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;
using WallNow = std::function<std::chrono::system_clock::time_point()>;

// "tag: text" lines exactly as scripts have always read them, and
// "progress: <pos>/<max>"; the texts as they are (UTF-8 from toUtf8).
std::unique_ptr<Events> LineEvents(std::FILE* out, std::function<std::string(const std::wstring&)> toUtf8);

// One JSON object per line: {"time":"2026-12-08T10:40:18.123Z","event":"status","text":"..."};
// progress has "position" and "total", the result "result" and "exit".
std::unique_ptr<Events> JsonEvents(std::FILE* out, WallNow now);

// The progress line for a terminal `columns` wide: percent, bytes sent of
// the total, rate, elapsed time, time left and the status text, redrawn in
// place; other texts as lines above it; at the end the result in words and
// the exit code. Device-made texts are escaped (cli/escape.h).
std::unique_ptr<Events> TerminalEvents(std::FILE* out, int columns, SteadyNow now,
                                       std::function<std::string(const std::wstring&)> toUtf8);

// The result word in a sentence ("the terminal was upgraded"); an unknown
// word stands for itself.
std::string ResultInWords(const std::string& word);

}  // namespace cli
