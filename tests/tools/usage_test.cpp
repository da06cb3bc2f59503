// The command-line tables (tools/usage): the argument scan every program
// shares, and the help text and man page made from one table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/usage/program.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const usage::Program& Sample() {
    static const usage::Program program{
        "vantrel-x",
        "try the tables",
        {"[--port TEXT] [--list]", "--file FILE..."},
        "First paragraph with a backslash C:\\path.\n\n.starts with a dot\n\n  example --port ttyACM0",
        {{"--port", "TEXT", "The port."}, {"--list", "", "List."}, {"-platform", "NAME", "Qt's plugin."}},
        {{"0", "done"}, {"2", "usage"}},
        {{"files", "upgrader.asc: the script."}},
    };
    return program;
}

usage::Scan Scan(std::vector<const char*> args, const usage::Program& program = Sample()) {
    args.insert(args.begin(), "vantrel-x");
    return usage::ScanArguments(program, static_cast<int>(args.size()), args.data());
}

TEST(ArgumentScan, TakesValuesAfterASpaceOrAnEqualsSign) {
    const usage::Scan scan = Scan({"--port", "ttyACM0", "--list", "--port=/dev/pts/7", "-platform", "offscreen"});
    ASSERT_EQ(scan.action, usage::Action::kRun) << scan.error;
    ASSERT_EQ(scan.args.size(), 4u);
    EXPECT_EQ(scan.args[0].value, "ttyACM0");
    EXPECT_EQ(scan.args[1].name, "--list");
    EXPECT_EQ(scan.args[2].value, "/dev/pts/7");
    EXPECT_EQ(scan.args[3].value, "offscreen");
}

TEST(ArgumentScan, MissingValueNamesTheOptionAndThePlaceholder) {
    const usage::Scan scan = Scan({"--list", "--port"});
    EXPECT_EQ(scan.action, usage::Action::kError);
    EXPECT_EQ(scan.error, "--port needs a value (TEXT)");
}

TEST(ArgumentScan, UnknownOptionsAndStrayWordsAreErrors) {
    EXPECT_EQ(Scan({"--prot", "x"}).error, "unknown option '--prot'");
    EXPECT_EQ(Scan({"--list=1"}).error, "--list takes no value");
    EXPECT_EQ(Scan({"ttyACM0"}).error, "unexpected argument 'ttyACM0': vantrel-x takes options only");
}

TEST(ArgumentScan, OperandsWhereTheProgramTakesThemAndAfterDoubleDash) {
    usage::Program withOperands = Sample();
    withOperands.operands = true;
    const usage::Scan scan = Scan({"list", "--", "--port"}, withOperands);
    ASSERT_EQ(scan.action, usage::Action::kRun) << scan.error;
    ASSERT_EQ(scan.args.size(), 2u);
    EXPECT_EQ(scan.args[0].name, "");
    EXPECT_EQ(scan.args[1].value, "--port");
}

TEST(ArgumentScan, HelpVersionAndManPageStopTheScan) {
    EXPECT_EQ(Scan({"--list", "--help", "--bogus"}).action, usage::Action::kHelp);
    EXPECT_EQ(Scan({"-h"}).action, usage::Action::kHelp);
    EXPECT_EQ(Scan({"--version"}).action, usage::Action::kVersion);
    EXPECT_EQ(Scan({"--help-man"}).action, usage::Action::kManPage);
    EXPECT_EQ(Scan({"--bogus", "--help"}).action, usage::Action::kError) << "a mistake before --help is reported";
}

TEST(HelpText, ListsEverySynopsisOptionSectionAndExitCode) {
    const std::string help = usage::HelpText(Sample());
    EXPECT_EQ(help.rfind("usage: vantrel-x [--port TEXT] [--list]\n       vantrel-x --file FILE...\n", 0), 0u) << help;
    for (const char* part : {"\n  --port TEXT           The port.\n", "\n  --list                List.\n",
                             "\n  -platform NAME        Qt's plugin.\n", "\n  --help ", "\n  --version ",
                             "\nfiles:\n  upgrader.asc: the script.\n", "\nexit codes:\n  0     done\n  2     usage\n",
                             "\n  example --port ttyACM0\n"})
        EXPECT_TRUE(Contains(help, part)) << part << "\nin\n" << help;
    EXPECT_FALSE(Contains(help, "--help-man")) << "the build's option stays hidden";
}

TEST(HelpText, WrapsLongOptionTextsUnderTheirColumn) {
    usage::Program program = Sample();
    program.options = {{"--long", "", std::string(25, 'a') + " " + std::string(25, 'b') + " " + std::string(25, 'c')}};
    const std::string help = usage::HelpText(program);
    EXPECT_TRUE(Contains(help, "  --long                " + std::string(25, 'a') + " " + std::string(25, 'b') + "\n" +
                                   std::string(24, ' ') + std::string(25, 'c') + "\n"))
        << help;
}

TEST(ManPage, HasTheSectionsAndEscapesRoffControls) {
    const std::string page = usage::ManPage(Sample());
    EXPECT_EQ(page.rfind(".TH VANTREL\\-X 1 ", 0), 0u) << page;
    for (const char* part :
         {"\n.SH NAME\nvantrel\\-x \\- try the tables\n", "\n.SH SYNOPSIS\n", "\n.SH DESCRIPTION\n", "\n.SH OPTIONS\n",
          "\n.TP\n.B \\-\\-port \\fITEXT\\fR\nThe port.\n", "\n.SH FILES\n", "\n.SH EXIT STATUS\n.TP\n.B 0\ndone\n",
          "C:\\epath.", "\n\\&.starts with a dot\n", "\n.nf\n.RS 4\n  example \\-\\-port ttyACM0\n.RE\n.fi\n"})
        EXPECT_TRUE(Contains(page, part)) << part << "\nin\n" << page;
    // No line of text may be taken for a request.
    size_t at = 0;
    while ((at = page.find("\n.", at)) != std::string::npos) {
        ++at;
        const std::string request = page.substr(at, page.find('\n', at) - at);
        EXPECT_TRUE(request.rfind(".TH", 0) == 0 || request.rfind(".SH", 0) == 0 || request.rfind(".TP", 0) == 0 ||
                    request.rfind(".B ", 0) == 0 || request.rfind(".PP", 0) == 0 || request.rfind(".nf", 0) == 0 ||
                    request.rfind(".fi", 0) == 0 || request.rfind(".RS", 0) == 0 || request.rfind(".RE", 0) == 0 ||
                    request.rfind(".br", 0) == 0)
            << request;
    }
}

TEST(VersionText, NamesTheProgramVersionAndRevision) {
    EXPECT_EQ(usage::VersionText(Sample()),
              std::string("vantrel-x ") + usage::Version() + " (revision " + usage::Revision() + ")\n");
    EXPECT_NE(std::string(usage::Revision()), "");
}

}  // namespace
