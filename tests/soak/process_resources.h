// What a long-running process must not grow: open file descriptors,
// threads and resident memory, read from /proc/self.
#pragma once

#include <cstddef>
#include <string>

struct ProcessResources {
    int fds = 0;             // entries of /proc/self/fd
    int threads = 0;         // entries of /proc/self/task
    size_t residentKiB = 0;  // resident pages of /proc/self/statm, in KiB
};

ProcessResources ReadProcessResources();
std::string Describe(const ProcessResources& r);

// How much resident memory growth counts as flat: sanitizer runtimes keep
// freed memory in quarantine and grow far more than the process itself.
size_t FlatMemoryBoundKiB();
