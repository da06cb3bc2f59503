// Redirecting a function our own executable imports from a system DLL, for
// the command-line runner on Windows (import_hook_windows.cpp).
//
// The runner has to see what the tool hands to the system without changing
// the tool: its trace (OutputDebugStringW/A, which only a debugger could
// otherwise read) and its message boxes (MessageBoxW, answered without being
// shown). Every call the executable makes to an imported function goes
// through the executable's import address table, so replacing that one entry
// redirects the executable's own calls and nobody else's.
#pragma once

namespace cli {

// Points the executable's import of `function` from `dll` (matched without
// regard to case) at `replacement`. Returns the address it pointed at before
// (the system's function), or null when the executable does not import it
// or the table could not be written; then nothing was changed.
void* ReplaceImport(const char* dll, const char* function, void* replacement);

}  // namespace cli
