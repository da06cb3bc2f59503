// A test control of the regular-file calls: an observer told when a file has
// been opened and when a read is about to start, on the calling thread.
//
// Tests use it to let another process change a file at an exact point of a
// load (between two opens, between an open and its read) without any timing
// guess. Nothing in the programs installs one.
#pragma once

#include <functional>
#include <string>

namespace platform {

enum class FileStep {
    Opened,   // CreateFileW opened a regular file (path as given, UTF-8)
    Reading,  // ReadFile on a regular file, before it reads
    Closing,  // CloseHandle on a regular file, before its descriptor closes
};

using FileStepObserver = std::function<void(FileStep step, const std::string& path)>;

// Installs the observer; an empty function removes it. Not for use while
// another thread opens or reads files.
void SetFileStepObserver(FileStepObserver observer);

}  // namespace platform
