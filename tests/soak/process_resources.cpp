// Reading the process's descriptors, threads and resident memory from /proc.
#include "tests/soak/process_resources.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

int Entries(const char* dir) {
    int n = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(dir, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++n;
    return n;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed blocks in a quarantine of 256 MiB before it
// reuses them, which alone would look like growth over a soak; a small one
// still catches use after free of recent blocks and lets the memory check
// see the process.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8:thread_local_quarantine_size_kb=64"; }
#endif

ProcessResources ReadProcessResources() {
    ProcessResources r;
    r.fds = Entries("/proc/self/fd");
    r.threads = Entries("/proc/self/task");
    std::ifstream statm("/proc/self/statm");
    size_t size = 0, resident = 0;
    statm >> size >> resident;
    r.residentKiB = resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
    return r;
}

std::string Describe(const ProcessResources& r) {
    return std::to_string(r.fds) + " fds, " + std::to_string(r.threads) + " threads, " + std::to_string(r.residentKiB) +
           " KiB resident";
}

size_t FlatMemoryBoundKiB() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 32 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return 32 * 1024;
#else
    return 4 * 1024;
#endif
#else
    return 4 * 1024;
#endif
}
