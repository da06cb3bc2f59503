// Scratch directories, files and one-shot tool runs for the tests.
#include "tests/tools/harness.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tools/process/child.h"

namespace tools::testing {

RunResult RunTool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    process::Options options;
    options.error_output = process::Options::ErrorOutput::Merge;
    process::Child child(argv, options);
    const process::ExitStatus end = child.Wait(timeout);
    RunResult result;
    result.status = end.timed_out ? -1 : end.shell_code();
    result.output = child.text(process::Stream::Out);
    return result;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-tools-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    dir_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out)
        throw std::runtime_error("writing " + path);
}

}  // namespace tools::testing
