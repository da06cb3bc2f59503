// Test programs that fake the device tree with umockdev run under
// umockdev-wrapper, whose preload library redirects /sys and /dev to the
// testbed. A program calls EnterUmockdev first thing in main: the first time
// it starts itself again under the wrapper; under the wrapper it goes on.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace vantrel::testing {

// -1 once under the wrapper (go on), else the exit code to end with: the
// wrapper could not be started.
inline int EnterUmockdev(int argc, char** argv) {
    if (std::getenv("VANTREL_UNDER_UMOCKDEV") != nullptr)
        return -1;
    setenv("VANTREL_UNDER_UMOCKDEV", "1", 1);
    // The preload library comes before the sanitizer runtime in the library
    // list; AddressSanitizer must be told that this is fine.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan.empty() ? "" : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
    std::vector<char*> args{const_cast<char*>("umockdev-wrapper")};
    for (int i = 0; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::perror("starting under umockdev-wrapper");
    return 1;
}

}  // namespace vantrel::testing
