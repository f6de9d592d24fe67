// Reading the command line: wisplog's own options, Qt's options left for the
// application object, and what is refused with exit status 2.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Action = CommandLine::TAction;

CommandLine Parse(std::initializer_list<const char*> arguments)
{
    std::vector<const char*> argv{"wisplog"};
    argv.insert(argv.end(), arguments);
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, RunsWithItsOwnAndQtsOptions)
{
    EXPECT_EQ(Parse({}).Action, Action::Run);
    EXPECT_FALSE(Parse({}).DesktopStart);
    EXPECT_TRUE(Parse({"--desktop"}).DesktopStart);
    // Qt's options with one dash or two, their values taken whatever they
    // look like, and the -name=value forms.
    const CommandLine qt = Parse({"-platform", "offscreen", "--style", "--desktop", "-reverse",
                                  "-stylesheet=a.qss", "--desktop", "-display", ":1", "--"});
    EXPECT_EQ(qt.Action, Action::Run) << qt.Error;
    EXPECT_TRUE(qt.DesktopStart);
}

TEST(CommandLine, FirstHelpOrVersionDecides)
{
    EXPECT_EQ(Parse({"--help"}).Action, Action::Help);
    EXPECT_EQ(Parse({"-h", "--version"}).Action, Action::Help);
    EXPECT_EQ(Parse({"--desktop", "--version", "--help"}).Action, Action::Version);
    // What comes after is not read, a mistake included.
    EXPECT_EQ(Parse({"--help", "--bogus"}).Action, Action::Help);
}

TEST(CommandLine, RefusesWhatItDoesNotKnow)
{
    struct Case {
        std::vector<const char*> Arguments;
        std::string Error;
    };
    const std::vector<Case> cases{
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--desktop", "-x", "--help"}, "unknown option '-x'"},
        {{"--Desktop"}, "unknown option '--Desktop'"},
        {{"--desktop=1"}, "unknown option '--desktop=1'"},
        {{"-style="}, "unknown option '-style='"},
        {{"server.log"}, "unexpected argument 'server.log'"},
        {{"-"}, "unexpected argument '-'"},
        {{""}, "unexpected argument ''"},
        {{"--", "--help"}, "unexpected argument '--help'"},
        {{"-platform"}, "option '-platform' needs a value"},
        // A control character would break the one-line report.
        {{"--a\nb\x1b[2J"}, "unknown option '--a?b?[2J'"},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"wisplog"};
        argv.insert(argv.end(), c.Arguments.begin(), c.Arguments.end());
        const CommandLine result = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(result.Action, Action::Error) << c.Error;
        EXPECT_EQ(result.Error, c.Error);
    }
}

// Reads back what ReportCommandLine wrote to a temporary file.
std::string Contents(std::FILE* file)
{
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
        text += static_cast<char>(c);
    return text;
}

TEST(CommandLine, ReportsOnTheRightStreamWithTheRightStatus)
{
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out && err);
    EXPECT_EQ(ReportCommandLine(Parse({"--help"}), out, err), 0);
    const std::string usage = Contents(out);
    EXPECT_EQ(usage.rfind("Usage: wisplog", 0), 0U) << usage;
    EXPECT_EQ(Contents(err), "");

    EXPECT_EQ(ReportCommandLine(Parse({"--bogus"}), out, err), 2);
    EXPECT_EQ(Contents(err), "wisplog: unknown option '--bogus'\n" + usage);
    std::fclose(out);
    std::fclose(err);

    // A --help whose output cannot be written is a failure, not a success.
    std::FILE* full = std::fopen("/dev/full", "w");
    if (full != nullptr) {
        EXPECT_EQ(ReportCommandLine(Parse({"--version"}), full, stderr), 1);
        std::fclose(full);
    }
}

} // namespace
