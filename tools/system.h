// The few operating-system calls the test tools make outside the line to the
// terminal: the program's arguments as UTF-8, opening a file by a UTF-8
// name, replacing a file by another, and the words of the last error. system_posix.cpp and
// system_windows.cpp define them; the build picks one. Not here: the
// simulator's serial line (simulator/line.h).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tools {

// argv as UTF-8. On Windows argv is in the ANSI code page, which loses every
// character it cannot show, so the wide command line is read instead.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// fopen by a UTF-8 name; null with errno set on failure.
std::FILE* OpenFile(const std::string& path, const char* mode);

// Removes a file, ignoring failure (used to clean up after an error that is
// already being reported).
void RemoveFile(const std::string& path);

// Puts `from` in place of `to` in one step, replacing `to` if it exists.
// Empty on success, else the system's reason.
std::string MoveFileOver(const std::string& from, const std::string& to);

// The calling thread's last system error in words (errno here, GetLastError
// on Windows), for messages that give a failure its cause.
std::string LastErrorText();

}  // namespace tools
