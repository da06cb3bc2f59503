// The upgrade script upgrader.asc: loading it whole into UpgradeState's
// script record and releasing it.
//
// The file is a 32-byte header that is never examined, then records of a
// command byte, a big-endian 16-bit length and that many payload bytes,
// back to back up to the end of the file. Records are parsed one at a time
// by the run engine (engine/run.cpp), not here.
#pragma once

#include <string>

// The name the loader opens, relative to the current directory. The run
// engine sets it to "upgrader.asc" every time it enters or leaves a run.
void SetUpgradeScriptName(const wchar_t* name);
const std::wstring& UpgradeScriptName();

// True when the whole file is in memory and cursor, total and remaining are
// set up. False for a missing, unreadable, empty or shorter-than-header
// file, and for a file that shrank between the two opens. Errors of the
// file class itself and an exhausted heap are raised as the framework's
// exceptions; the buffer is then not held.
bool LoadUpgradeScript();

// Releases the buffer; safe when none is held.
void FreeUpgradeScript();
