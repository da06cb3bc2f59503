// vantrel-cli with stdout on a terminal (a pty 80 columns wide) against the
// simulated terminal: the progress line is drawn in place instead of the
// progress events, and the run ends with the result in words. Beside it the
// same run with --json and with stdout a pipe: the same events.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/cli/e2e_fixture.h"

namespace vantrel::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tools::testing::TempDir;

constexpr const char* kScript = "open\nsend1 4096\nsend1 4096\nsend1 4096\nclose\n";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct TerminalRun {
    int exit = -1;  // -1: killed at the deadline
    std::string output;
};

// Runs vantrel-cli in dir with a pty as its stdin, stdout and stderr; reads
// everything it writes until it ends or the deadline passes (then kills it).
TerminalRun RunOnTerminal(const std::string& dir, const std::vector<std::string>& args,
                          std::chrono::milliseconds timeout) {
    TerminalRun run;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    int master = -1;
    std::vector<std::string> argv = {CliExe()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0)
        return run;
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;  // EIO: the child's side of the pty is closed
        run.output.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        const auto reapBy = Clock::now() + 2s;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > reapBy) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                close(master);
                return run;
            }
            usleep(10000);
        }
    }
    close(master);
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The texts of the pty's output between carriage returns and line ends,
// without the erase sequence: what was drawn, one entry per draw or line.
std::vector<std::string> Drawn(const std::string& output) {
    std::vector<std::string> pieces;
    std::string piece;
    for (size_t i = 0; i < output.size(); ++i) {
        if (output.compare(i, 3, "\x1b[K") == 0) {
            i += 2;
        } else if (output[i] == '\r' || output[i] == '\n') {
            if (!piece.empty())
                pieces.push_back(piece);
            piece.clear();
        } else {
            piece += output[i];
        }
    }
    if (!piece.empty())
        pieces.push_back(piece);
    return pieces;
}

TEST(TerminalOutput, RunDrawsOneProgressLineAndEndsWithTheResultInWords) {
    TempDir dir;
    const std::string script = BuildScript(dir, kScript);
    Simulator sim(script, {"--quiet"});
    const TerminalRun run = RunOnTerminal(dir.path(""), {"--port", sim.port()}, 20s);
    ASSERT_EQ(run.exit, 0) << run.output;
    EXPECT_FALSE(Contains(run.output, "progress:")) << "the events for scripts are not printed on a terminal";
    EXPECT_TRUE(Contains(run.output, "\x1b[K")) << run.output;
    const std::vector<std::string> drawn = Drawn(run.output);
    ASSERT_FALSE(drawn.empty());
    EXPECT_EQ(drawn.back(), "result: success, the terminal was upgraded (exit code 0)") << run.output;
    bool full = false;
    for (const std::string& d : drawn) {
        EXPECT_LT(d.size(), 80u) << "a drawn line reached the last column: " << d;
        if (Contains(d, "100%  12,") && Contains(d, " bytes  ") && Contains(d, " elapsed  0:00 left"))
            full = true;
    }
    EXPECT_TRUE(full) << "no drawing of the whole script sent:\n" << run.output;
    EXPECT_TRUE(Contains(run.output, "connect: " + sim.port() + ": Open\r\n")) << run.output;
    const auto summary = sim.Finish(10s);
    EXPECT_EQ(summary, 0) << sim.output();
}

// --- JSON ---------------------------------------------------------------------

std::string Utf8Of(unsigned long code) {
    std::string out;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
    return out;
}

// A flat JSON object's members as text (strings unescaped), or empty when the line is not one.
std::map<std::string, std::string> ParseFlatObject(const std::string& line) {
    std::map<std::string, std::string> members;
    size_t i = 0;
    const auto fail = [&] {
        members.clear();
        return members;
    };
    auto readString = [&](std::string& out) -> bool {
        if (i >= line.size() || line[i] != '"')
            return false;
        for (++i; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '"') {
                ++i;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (++i >= line.size())
                return false;
            switch (line[i]) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'u': {
                    if (i + 4 >= line.size())
                        return false;
                    unsigned long code = std::stoul(line.substr(i + 1, 4), nullptr, 16);
                    i += 4;
                    if (code >= 0xD800 && code < 0xDC00 && line.compare(i + 1, 2, "\\u") == 0) {
                        const unsigned long low = std::stoul(line.substr(i + 3, 4), nullptr, 16);
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                        i += 6;
                    }
                    out += Utf8Of(code);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    };
    if (line.empty() || line[i++] != '{')
        return fail();
    while (i < line.size()) {
        std::string key, value;
        if (!readString(key) || i >= line.size() || line[i++] != ':')
            return fail();
        if (i < line.size() && line[i] == '"') {
            if (!readString(value))
                return fail();
        } else {
            while (i < line.size() && line[i] != ',' && line[i] != '}')
                value += line[i++];
        }
        members[key] = value;
        if (i >= line.size())
            return fail();
        if (line[i] == '}')
            return i + 1 == line.size() ? members : fail();
        if (line[i++] != ',')
            return fail();
    }
    return fail();
}

TEST(JsonOutput, CarriesTheSameEventsAsTheLinesWithTimeStamps) {
    TempDir dir;
    const std::string script = BuildScript(dir, kScript);
    std::vector<std::string> plain;
    {
        Simulator sim(script, {"--quiet"});
        const CliResult run = RunCli(dir.path(""), {"--port", sim.port()}, 20s);
        ASSERT_EQ(run.exit, 0) << run.out << run.err;
        plain = run.lines;
        sim.Finish(10s);
    }
    Simulator sim(script, {"--quiet"});
    const CliResult run = RunCli(dir.path(""), {"--port", sim.port(), "--json"}, 20s);
    ASSERT_EQ(run.exit, 0) << run.out << run.err;
    std::vector<std::string> asLines;
    for (const std::string& line : run.lines) {
        const auto object = ParseFlatObject(line);
        ASSERT_FALSE(object.empty()) << "not a JSON object: " << line;
        ASSERT_EQ(object.count("time"), 1u) << line;
        EXPECT_EQ(object.at("time").size(), 24u) << line;  // 2026-12-08T10:40:18.123Z
        EXPECT_EQ(object.at("time").back(), 'Z') << line;
        const std::string& event = object.at("event");
        if (event == "progress")
            asLines.push_back("progress: " + object.at("position") + "/" + object.at("total"));
        else if (event == "result")
            asLines.push_back("result: " + object.at("result") + " exit " + object.at("exit"));
        else
            asLines.push_back(event + ": " + object.at("text"));
    }
    // The port differs between the two runs; everything else is the same.
    for (auto* lines : {&plain, &asLines}) {
        for (std::string& l : *lines) {
            if (l.rfind("connect: /dev/pts/", 0) == 0)
                l = "connect: <pty>" + l.substr(l.find(':', 9));
        }
    }
    ASSERT_FALSE(plain.empty());
    plain.back() += " exit 0";
    EXPECT_EQ(asLines, plain);
    sim.Finish(10s);
}

}  // namespace
}  // namespace vantrel::e2e
