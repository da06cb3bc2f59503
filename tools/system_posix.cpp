// The POSIX side of system.h: names are bytes and rename() replaces.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/system.h"

namespace tools {

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

void RemoveFile(const std::string& path) { std::remove(path.c_str()); }

std::string MoveFileOver(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return {};
    return std::strerror(errno);
}

std::string LastErrorText() { return std::strerror(errno); }

}  // namespace tools
