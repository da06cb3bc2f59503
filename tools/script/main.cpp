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
#include <vector>

#include "tools/script/description.h"
#include "tools/script/inspect.h"
#include "tools/script_format.h"
#include "tools/system.h"
#include "tools/usage/program.h"

namespace {

const usage::Program& ScriptProgram() {
    static const usage::Program program{
        "vantrel-script",
        "list, validate, estimate and build upgrade scripts",
        {"list FILE", "validate FILE", "estimate FILE --baud RATE", "build DESCRIPTION OUT"},
        "list prints each record of an upgrade script; validate checks its structure and says what is damaged; "
        "estimate gives the time a run takes at a line speed (the fixed waits and the transfer, 8N1); build "
        "makes a script from a description, one record per line, for testing the upgrader against vantrel-sim.",
        {
            {"--baud", "RATE", "estimate: the line speed in baud, a positive number."},
        },
        {
            {"0", "success"},
            {"1", "the script is damaged (list, validate, estimate)"},
            {"2", "usage, or a file that cannot be read or written, or a description with a mistake"},
        },
        {},
        true,
    };
    return program;
}

int Usage(const std::string& why) { return usage::UsageError(ScriptProgram(), why); }

int Run(int argc, char** argv) {
    const std::vector<std::string> utf8 = tools::Utf8Arguments(argc, argv);
    std::vector<const char*> args;
    for (const std::string& a : utf8)
        args.push_back(a.c_str());
    const usage::Scan scan = usage::ScanArguments(ScriptProgram(), static_cast<int>(args.size()), args.data());
    if (scan.action != usage::Action::kRun)
        return usage::Finish(ScriptProgram(), scan);
    std::vector<std::string> words;
    std::string rate;
    for (const usage::Arg& a : scan.args) {
        if (a.name.empty())
            words.push_back(a.value);
        else if (a.name == "--baud")
            rate = a.value;
    }
    if (words.empty())
        return Usage("no verb: list, validate, estimate or build");
    const std::string verb = words[0];
    const auto arity = [&](size_t operands, const char* form) -> int {
        if (words.size() != operands + 1)
            return Usage(verb + " takes " + form);
        if (verb != "estimate" && !rate.empty())
            return Usage("--baud goes with estimate only");
        return 0;
    };

    if (verb == "list" || verb == "validate") {
        if (const int bad = arity(1, "one FILE"))
            return bad;
        const auto data = tools::ReadFileBytes(words[1]);
        if (verb == "list")
            return tools::ListScript(data, std::cout) ? 0 : 1;
        return tools::ValidateScript(data, std::cout) ? 0 : 1;
    }
    if (verb == "estimate") {
        if (const int bad = arity(1, "FILE --baud RATE"))
            return bad;
        if (rate.empty())
            return Usage("estimate needs --baud RATE");
        unsigned baud = 0;
        auto [ptr, ec] = std::from_chars(rate.data(), rate.data() + rate.size(), baud);
        if (ec != std::errc() || ptr != rate.data() + rate.size() || baud == 0)
            return Usage("--baud: '" + rate + "' is not a positive number");
        const auto data = tools::ReadFileBytes(words[1]);
        const auto e = tools::EstimateRunTime(data, baud);
        char line[256];
        std::snprintf(line, sizeof line,
                      "estimate: %.3f s (fixed waits %.3f s, transfer %.3f s for %llu payload bytes "
                      "at %u baud, 8N1)\n",
                      e.total_s(), e.fixed_wait_s, e.transfer_s, static_cast<unsigned long long>(e.payload_bytes),
                      baud);
        std::cout << line;
        // An estimate over a damaged script is only a lower bound; say so.
        const auto script = tools::ParseScript(data);
        for (const auto& p : script.problems)
            std::cout << "warning: " << p.message << '\n';
        return script.sound() ? 0 : 1;
    }
    if (verb == "build") {
        if (const int bad = arity(2, "DESCRIPTION OUT"))
            return bad;
        const auto text = tools::ReadFileBytes(words[1]);
        std::vector<std::uint8_t> bytes;
        try {
            bytes = tools::BuildScript(std::string(text.begin(), text.end()));
        } catch (const std::exception& e) {
            // The description's mistakes give a line number: name the file too.
            std::cerr << "vantrel-script: " << words[1] << ": " << e.what() << '\n';
            return 2;
        }
        tools::WriteFileBytes(words[2], bytes);
        return 0;
    }
    return Usage("unknown verb '" + verb + "': list, validate, estimate or build");
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
