// vantrel-script: lists, validates, estimates and builds upgrade scripts for
// testing the upgrader against the simulated terminal.
//
// Exit status: 0 success, 1 the script is damaged, 2 usage or file errors.
#include <charconv>
#include <cstdio>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/script/description.h"
#include "tools/script/inspect.h"
#include "tools/script_format.h"

namespace {

int Usage() {
  std::cerr << "usage: vantrel-script list FILE\n"
               "       vantrel-script validate FILE\n"
               "       vantrel-script estimate FILE --baud RATE\n"
               "       vantrel-script build DESCRIPTION OUT\n";
  return 2;
}

int Run(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string verb = argv[1];
  const std::string file = argv[2];

  if (verb == "list" && argc == 3) {
    const auto data = tools::ReadFileBytes(file);
    return tools::ListScript(data, std::cout) ? 0 : 1;
  }
  if (verb == "validate" && argc == 3) {
    const auto data = tools::ReadFileBytes(file);
    return tools::ValidateScript(data, std::cout) ? 0 : 1;
  }
  if (verb == "estimate" && argc == 5 && std::string(argv[3]) == "--baud") {
    const std::string rate = argv[4];
    unsigned baud = 0;
    auto [ptr, ec] = std::from_chars(rate.data(), rate.data() + rate.size(), baud);
    if (ec != std::errc() || ptr != rate.data() + rate.size() || baud == 0) {
      std::cerr << "vantrel-script: baud rate '" << rate << "' is not a positive number\n";
      return 2;
    }
    const auto data = tools::ReadFileBytes(file);
    const auto e = tools::EstimateRunTime(data, baud);
    char line[256];
    std::snprintf(line, sizeof line,
                  "estimate: %.3f s (fixed waits %.3f s, transfer %.3f s for %llu payload bytes "
                  "at %u baud, 8N1)\n",
                  e.total_s(), e.fixed_wait_s, e.transfer_s,
                  static_cast<unsigned long long>(e.payload_bytes), baud);
    std::cout << line;
    // An estimate over a damaged script is only a lower bound; say so.
    const auto script = tools::ParseScript(data);
    for (const auto& p : script.problems) std::cout << "warning: " << p.message << '\n';
    return script.sound() ? 0 : 1;
  }
  if (verb == "build" && argc == 4) {
    const auto text = tools::ReadFileBytes(file);
    const auto bytes = tools::BuildScript(std::string(text.begin(), text.end()));
    tools::WriteFileBytes(argv[3], bytes);
    return 0;
  }
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "vantrel-script: " << e.what() << '\n';
    return 2;
  }
}
