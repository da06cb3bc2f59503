// Where the debugger output (OutputDebugStringW/A) goes on POSIX.
//
// By default nowhere. VANTREL_TRACE=1 sends it to stderr, VANTREL_TRACE=<path>
// appends it to that file. A program or a test may install its own sink,
// which then receives every text, as UTF-8, exactly as written (each trace
// line carries its own "\r\n").
#pragma once

#include <functional>
#include <string>

namespace platform {

using TraceSink = std::function<void(const std::string& utf8)>;

// Installs a sink in place of the environment's choice; an empty function
// goes back to it. The sink may be called from any thread, one call at a
// time; it must not itself write debugger output.
void SetTraceSink(TraceSink sink);

// Reads VANTREL_TRACE again (it is otherwise read once, at the first output):
// for a program that sets it after start, and for tests.
void ReloadTraceSetting();

}  // namespace platform

// Callers outside namespace platform (tests, the command-line runner) use the plain name.
using platform::SetTraceSink;
