// The texts made from a program's table (help, usage, version, man page) and
// the argument scan. See program.h.
#include "tools/usage/program.h"

#include <cstdio>
#include <sstream>

namespace usage {
namespace {

constexpr size_t kHelpWidth = 79;
constexpr size_t kOptionColumn = 24;

const Option kHelpOption{"--help", "", "Print this help and exit."};
const Option kVersionOption{"--version", "", "Print the version and the source revision and exit."};
const char kManOption[] = "--help-man";  // hidden: the man page, for the build

std::vector<Option> AllOptions(const Program& program) {
    std::vector<Option> all = program.options;
    all.push_back(kHelpOption);
    all.push_back(kVersionOption);
    return all;
}

std::vector<std::string> Paragraphs(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find("\n\n", start);
        std::string p = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!p.empty())
            out.push_back(p);
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    return out;
}

bool Preformatted(const std::string& paragraph) { return paragraph.rfind("  ", 0) == 0; }

// Words of text laid out in lines of at most width characters (a longer word
// gets a line of its own), each line after the first indented by indent.
std::string Wrap(const std::string& text, size_t firstColumn, size_t indent, size_t width) {
    std::istringstream words(text);
    std::string word, out;
    size_t column = firstColumn;
    bool lineEmpty = true;
    while (words >> word) {
        if (!lineEmpty && column + 1 + word.size() > width) {
            out += '\n' + std::string(indent, ' ');
            column = indent;
            lineEmpty = true;
        }
        if (!lineEmpty) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        lineEmpty = false;
    }
    return out;
}

std::string OptionLabel(const Option& o) { return o.value.empty() ? o.name : o.name + ' ' + o.value; }

// roff: a backslash is \e, a minus in an option name \-, and a line may not
// start with a control character ('.' or '\'').
std::string Roff(const std::string& text, bool minusIsOption) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\''))
            out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (c == '-' && minusIsOption)
            out += "\\-";
        else
            out += c;
        lineStart = c == '\n';
    }
    return out;
}

void RoffParagraphs(std::string& out, const std::string& text) {
    bool first = true;
    for (const std::string& p : Paragraphs(text)) {
        if (!first)
            out += ".PP\n";
        first = false;
        if (Preformatted(p)) {
            out += ".nf\n.RS 4\n" + Roff(p, true) + "\n.RE\n.fi\n";
        } else {
            out += Roff(p, false) + "\n";
        }
    }
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

const Option* Find(const Program& program, const std::string& name) {
    for (const Option& o : program.options)
        if (o.name == name)
            return &o;
    return nullptr;
}

bool WriteAll(std::FILE* to, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), to) == text.size() && std::fflush(to) == 0;
}

}  // namespace

std::string UsageText(const Program& program) {
    std::string out;
    bool first = true;
    for (const std::string& form : program.synopsis) {
        const std::string lead = (first ? "usage: " : "       ") + program.name + ' ';
        out += lead + Wrap(form, lead.size(), lead.size(), kHelpWidth) + '\n';
        first = false;
    }
    return out;
}

std::string HelpText(const Program& program) {
    std::string out = UsageText(program) + '\n';
    out += Wrap(program.name + ": " + program.summary + '.', 0, 0, kHelpWidth) + "\n";
    for (const std::string& p : Paragraphs(program.description))
        out += '\n' + (Preformatted(p) ? p : Wrap(p, 0, 0, kHelpWidth)) + '\n';
    out += "\noptions:\n";
    for (const Option& o : AllOptions(program)) {
        std::string label = "  " + OptionLabel(o);
        if (label.size() + 2 > kOptionColumn) {
            out += label + '\n' + std::string(kOptionColumn, ' ');
        } else {
            out += label + std::string(kOptionColumn - label.size(), ' ');
        }
        out += Wrap(o.text, kOptionColumn, kOptionColumn, kHelpWidth) + '\n';
    }
    for (const Section& s : program.sections) {
        std::string title = s.title;
        for (size_t i = 1; i < title.size(); ++i)
            if (title[i] >= 'A' && title[i] <= 'Z')
                title[i] = static_cast<char>(title[i] - 'A' + 'a');
        out += '\n' + title + ":\n";
        for (const std::string& p : Paragraphs(s.text))
            out += (Preformatted(p) ? p : "  " + Wrap(p, 2, 2, kHelpWidth)) + '\n';
    }
    out += "\nexit codes:\n";
    for (const ExitCode& e : program.exitCodes) {
        std::string label = "  " + e.code;
        label += std::string(label.size() < 8 ? 8 - label.size() : 1, ' ');
        out += label + Wrap(e.meaning, label.size(), 8, kHelpWidth) + '\n';
    }
    return out;
}

std::string VersionText(const Program& program) {
    return program.name + ' ' + Version() + " (revision " + Revision() + ")\n";
}

std::string ManPage(const Program& program) {
    // No date: the page must be the same bytes for the same sources.
    std::string out =
        ".TH " + Roff(Upper(program.name), true) + " 1 \"\" \"Vantrel " + Version() + "\" \"User Commands\"\n";
    out += ".SH NAME\n" + Roff(program.name, true) + " \\- " + Roff(program.summary, false) + "\n";
    out += ".SH SYNOPSIS\n";
    for (const std::string& form : program.synopsis)
        out += ".B " + Roff(program.name, true) + "\n" + Roff(form, true) + "\n.br\n";
    out += ".SH DESCRIPTION\n";
    RoffParagraphs(out, program.description);
    out += ".SH OPTIONS\n";
    for (const Option& o : AllOptions(program)) {
        out += ".TP\n.B " + Roff(o.name, true);
        if (!o.value.empty())
            out += " \\fI" + Roff(o.value, false) + "\\fR";
        out += "\n" + Roff(o.text, false) + "\n";
    }
    for (const Section& s : program.sections) {
        out += ".SH " + Roff(Upper(s.title), false) + "\n";
        RoffParagraphs(out, s.text);
    }
    out += ".SH EXIT STATUS\n";
    for (const ExitCode& e : program.exitCodes)
        out += ".TP\n.B " + Roff(e.code, false) + "\n" + Roff(e.meaning, false) + "\n";
    out += ".SH VERSION\nThis page describes " + Roff(program.name, true) + " " + Version() + ".\n";
    return out;
}

Scan ScanArguments(const Program& program, int argc, const char* const* argv) {
    Scan scan;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] ? argv[i] : "";
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        const bool looksLikeOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
        if (!looksLikeOption) {
            if (!program.operands) {
                scan.action = Action::kError;
                scan.error = "unexpected argument '" + arg + "': " + program.name + " takes options only";
                return scan;
            }
            scan.args.push_back({"", arg});
            continue;
        }
        if (arg == kHelpOption.name || arg == "-h") {
            scan.action = Action::kHelp;
            return scan;
        }
        if (arg == kVersionOption.name) {
            scan.action = Action::kVersion;
            return scan;
        }
        if (arg == kManOption) {
            scan.action = Action::kManPage;
            return scan;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const Option* option = Find(program, name);
        if (!option) {
            scan.action = Action::kError;
            scan.error = "unknown option '" + name + "'";
            return scan;
        }
        if (option->value.empty()) {
            if (equals != std::string::npos) {
                scan.action = Action::kError;
                scan.error = name + " takes no value";
                return scan;
            }
            scan.args.push_back({name, ""});
            continue;
        }
        if (equals != std::string::npos) {
            scan.args.push_back({name, arg.substr(equals + 1)});
        } else if (i + 1 < argc && argv[i + 1]) {
            scan.args.push_back({name, argv[++i]});
        } else {
            scan.action = Action::kError;
            scan.error = name + " needs a value (" + option->value + ")";
            return scan;
        }
    }
    return scan;
}

int Finish(const Program& program, const Scan& scan) {
    std::string text;
    switch (scan.action) {
        case Action::kHelp:
            text = HelpText(program);
            break;
        case Action::kVersion:
            text = VersionText(program);
            break;
        case Action::kManPage:
            text = ManPage(program);
            break;
        case Action::kError:
            return UsageError(program, scan.error);
        case Action::kRun:
            return UsageError(program, "nothing to do");
    }
    if (!WriteAll(stdout, text)) {
        std::fprintf(stderr, "%s: cannot write to stdout\n", program.name.c_str());
        return 1;
    }
    return 0;
}

int UsageError(const Program& program, const std::string& why) {
    WriteAll(stderr, program.name + ": " + why + '\n' + UsageText(program) + "(" + program.name +
                         " --help shows every option)\n");
    return kExitUsage;
}

}  // namespace usage
